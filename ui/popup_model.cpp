#include "ui/popup_model.h"

#include "platform/config.h"
#include "state/app_state.h"
#include "state/app_state_fields.h"
#include "ui/view_text.h"

#include <QDesktopServices>

#include "build_config.h"

void ServerListModel::setServers(QList<Server> servers) {
    beginResetModel();
    m_servers = std::move(servers);
    endResetModel();
}

int ServerListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_servers.size());
}

QVariant ServerListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_servers.size()) return {};
    const Server& s = m_servers.at(index.row());
    switch (role) {
    case IdRole: return s.id;
    case FlagRole: return Views::flagEmoji(s.countryCode);
    case CityRole: return s.city;
    case DetailRole: return Views::serverDetail(s);
    case TierRole: return Views::tierText(s);
    case PlusRole: return Views::isPlusTier(s);
    default: return {};
    }
}

QHash<int, QByteArray> ServerListModel::roleNames() const {
    return {{IdRole, "serverId"}, {FlagRole, "flag"},   {CityRole, "city"},
            {DetailRole, "detail"}, {TierRole, "tier"}, {PlusRole, "plus"}};
}

PopupModel::PopupModel(AppState& state, std::function<void(const QUrl&)> openUrl, QObject* parent)
    : QObject(parent), m_state(state), m_openUrl(std::move(openUrl)) {
    if (!m_openUrl) m_openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    // Slots run in the order they were connected: the derived server line is current before the
    // views hear of the change.
    QObject::connect(&m_state, &AppState::serversChanged, this, [this] {
        m_servers.setServers(m_state.servers());
        refreshServerLine();
    });
    QObject::connect(&m_state, &AppState::activeServerIdChanged, this, &PopupModel::refreshServerLine);
    for (const AppStateField& f : appStateFields())
        QObject::connect(&m_state, f.changed, this, &PopupModel::changed);
    m_servers.setServers(m_state.servers());
    refreshServerLine();
}

void PopupModel::refreshServerLine() {
    const std::optional<Server> active = m_state.activeServer();
    const std::optional<Server> best = active ? std::nullopt : m_state.bestServer();
    m_serverFlag = Views::serverLineFlag(active, best);
    m_serverName = Views::serverLineName(active);
    m_serverDestination = Views::serverLineDestination(active, best);
}

bool PopupModel::signedIn() const { return m_state.signedIn(); }
bool PopupModel::busy() const { return m_state.busy(); }
bool PopupModel::connected() const { return m_state.status() == ConnectionStatus::connected; }
bool PopupModel::connecting() const { return m_state.status() == ConnectionStatus::connecting; }
QString PopupModel::pillText() const { return Views::pillText(m_state.status()); }
QString PopupModel::headline() const { return Views::caption(m_state.status()).headline; }
QString PopupModel::explanation() const {
    return Views::caption(m_state.status(), m_state.waitingForKeychain()).explanation;
}
bool PopupModel::hasError() const { return m_state.errorMessage().has_value(); }
QString PopupModel::errorText() const { return m_state.errorMessage().value_or(QString()); }
bool PopupModel::powerEnabled() const { return Views::powerEnabled(m_state.busy(), m_state.status()); }
QString PopupModel::loginButtonText() const { return Views::loginButtonText(m_state.busy()); }

QString PopupModel::upper(const QString& text) const { return Views::upperTurkish(text); }

QString PopupModel::originalValue() const {
    return Views::originalCard(m_state.originalIp(), m_state.originalPlace(), connected()).value;
}
QString PopupModel::originalMeta() const {
    return Views::originalCard(m_state.originalIp(), m_state.originalPlace(), connected()).meta;
}
QString PopupModel::exitValue() const { return Views::exitCard(m_state.exitIp(), connected()).value; }
QString PopupModel::exitMeta() const { return Views::exitCard(m_state.exitIp(), connected()).meta; }
QString PopupModel::email() const { return m_state.email(); }
QString PopupModel::planBadgeText() const { return Views::planBadgeText(m_state.plan()); }
QString PopupModel::upgradeText() const { return Views::upgradeText(m_state.plan()); }

bool PopupModel::hasUpdate() const { return m_state.updateInfo().has_value(); }
bool PopupModel::updating() const { return m_state.updating(); }
QString PopupModel::updateText() const {
    const auto& info = m_state.updateInfo();
    return Views::updateBannerText(info ? info->version : QString(), m_state.updating());
}

bool PopupModel::hasNotice() const { return m_state.notice().has_value(); }
QString PopupModel::noticeTitle() const { return m_state.notice() ? m_state.notice()->title : QString(); }
QString PopupModel::noticeBody() const { return m_state.notice() ? m_state.notice()->body : QString(); }
bool PopupModel::noticeHasLink() const { return m_state.notice() && m_state.notice()->url.has_value(); }
QString PopupModel::noticeCallToAction() const {
    return Views::noticeCallToAction(m_state.notice() ? m_state.notice()->cta : std::nullopt);
}

QString PopupModel::domain() const { return QString::fromUtf8(BuildConfig::domain); }

bool PopupModel::loginEnabled(const QString& email, const QString& password) const {
    return Views::loginEnabled(m_state.busy(), email, password);
}

// A disabled control can still be reached by a script or a fast second click; the rules hold here too.
void PopupModel::login(const QString& email, const QString& password) {
    if (loginEnabled(email, password)) m_state.startLogin(email, password);
}
void PopupModel::toggle() {
    if (powerEnabled()) m_state.startToggle();
}
void PopupModel::connectTo(const QString& serverId) { m_state.startConnect(serverId); }
void PopupModel::logout() { m_state.logout(); }
void PopupModel::applyUpdate() {
    if (!m_state.updating()) m_state.startApplyUpdate();
}
void PopupModel::openNotice() { m_state.openNotice(); }
void PopupModel::dismissNotice() { m_state.dismissNotice(); }
void PopupModel::openForgotPassword() { openWebPath(QStringLiteral("/forgot")); }
void PopupModel::openRegister() { openWebPath(QStringLiteral("/register")); }
void PopupModel::openPlans() { openWebPath(QStringLiteral("/#plans")); }
void PopupModel::quit() { Q_EMIT quitRequested(); }

void PopupModel::openWebPath(const QString& path) {
    m_openUrl(QUrl(Config::webOriginText() + path));
}
