#include "state/app_state.h"

#include "api/endpoints.h"
#include "platform/clock.h"
#include "platform/defaults_keys.h"
#include "platform/defaults_store.h"
#include "platform/http.h"
#include "platform/signal_wait.h"
#include "update/installer.h"
#include "vpn/keychain.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_facility.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QProcess>

#include <limits>

namespace {

constexpr std::chrono::milliseconds refreshInterval{30'000};
constexpr std::chrono::milliseconds updateInterval{21'600'000};
constexpr int maxDismissed = 100;

qint64 saturatingAdd(qint64 a, qint64 b) {
    qint64 out = 0;
    if (!__builtin_add_overflow(a, b, &out)) return out;
    return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
}

// Notice links may only lead to the web: any other scheme would let the service start local handlers.
std::optional<QUrl> webLink(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty()) return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return std::nullopt;
    return url;
}

void openWithDesktop(const QUrl& url) {
    // The URL goes as one argument, never through a shell. A desktop without a handler shows nothing,
    // as a browser that does not start would; the program keeps no log.
    (void)QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

Http::Path pathFor(VpnStatus system) {
    switch (system) {
    case VpnStatus::disconnecting: return Http::Path::leaving;
    case VpnStatus::connected:
    case VpnStatus::reasserting: return Http::Path::tunnel;
    default: return Http::Path::direct;
    }
}

} // namespace

AppState::AppState(DefaultsStore& store, Environment env, QObject* parent)
    : QObject(parent), m_store(store), m_env(std::move(env)), m_token(store.string(DefaultsKeys::token)),
      m_email(store.string(DefaultsKeys::email).value_or(QString())),
      m_plan(store.string(DefaultsKeys::plan).value_or(QStringLiteral("FREE"))),
      m_activeServerId(store.string(DefaultsKeys::server)) {
    if (!m_env.openUrl) m_env.openUrl = openWithDesktop;
    if (!m_env.installUpdate)
        m_env.installUpdate = [](Updater::Info info) { return Updater::downloadAndInstall(std::move(info)); };
    keychain().setWaitingObserver([this](bool waiting) { setWaitingForKeychain(waiting); });
    // Connections follow the facility this state watches, not what an earlier one last said.
    Http::setPath(pathFor(facility().status()));
    if (m_env.startWork) startUpWork();
}

// The keychain outlives this object.
AppState::~AppState() { keychain().setWaitingObserver({}); }

Clock& AppState::clock() const { return m_env.clock ? *m_env.clock : Clock::system(); }
VpnFacility& AppState::facility() const { return m_env.facility ? *m_env.facility : VpnFacility::shared(); }
Keychain& AppState::keychain() const { return m_env.keychain ? *m_env.keychain : Keychain::shared(); }

void AppState::storeText(const QString& key, const QString& value) {
    // The field holds the value whether or not the file took it; there is no log to tell.
    (void)m_store.setString(key, value);
}

// Sign-in and sign-out.

QCoro::Task<> AppState::login(QString email, QString password) {
    QPointer<AppState> self(this);
    setBusy(true);
    setErrorMessage(std::nullopt);
    const Result<LoginResponse> r = co_await API::login(email, password);
    if (!self) co_return;
    if (!r.ok()) {
        setErrorMessage(r.error().description());
        setBusy(false);
        co_return;
    }
    setToken(r->token);
    setEmail(r->user.email);
    setPlan(r->user.plan.value_or(QStringLiteral("FREE")));
    storeText(DefaultsKeys::token, r->token);
    storeText(DefaultsKeys::email, r->user.email);
    storeText(DefaultsKeys::plan, m_plan);
    setBusy(false);
}

void AppState::logout() {
    m_stopAsked = true;
    m_wasUp = false;
    VPNController::stop(facility());
    setToken(std::nullopt);
    setExitIp(std::nullopt);
    setStatus(ConnectionStatus::idle);
    (void)m_store.remove(DefaultsKeys::token);
}

// Servers.

QCoro::Task<> AppState::loadServers() {
    QPointer<AppState> self(this);
    const Result<ServersResponse> r = co_await API::servers();
    if (!self || !r.ok()) co_return;
    setServers(r->servers);
}

qint64 AppState::score(const Server& server) { return saturatingAdd(server.load, server.pingMs.value_or(999)); }

std::optional<Server> AppState::bestServer() const {
    if (m_servers.isEmpty()) return std::nullopt;
    const Server* best = &m_servers.first();
    qint64 bestScore = score(*best);
    for (const Server& s : m_servers) {
        const qint64 sc = score(s);
        if (sc < bestScore) {
            best = &s;
            bestScore = sc;
        }
    }
    return *best;
}

std::optional<Server> AppState::activeServer() const {
    if (!m_activeServerId) return std::nullopt;
    for (const Server& s : m_servers)
        if (s.id == *m_activeServerId) return s;
    return std::nullopt;
}

// Connect and disconnect.

QCoro::Task<> AppState::toggle() {
    if (m_status == ConnectionStatus::connected || m_status == ConnectionStatus::connecting) {
        m_stopAsked = true;
        VPNController::stop(facility());
        co_return;
    }
    std::optional<Server> server = activeServer();
    if (!server) server = bestServer();
    if (!server) {
        setErrorMessage(QStringLiteral("Sunucu listesi henüz yüklenmedi"));
        co_return;
    }
    co_await connect(*server);
}

QCoro::Task<> AppState::connect(Server server) {
    if (!m_token) co_return;
    co_await connectFlow(std::move(server));
}

QCoro::Task<> AppState::connectFlow(Server server) {
    QPointer<AppState> self(this);
    const QString token = *m_token;
    m_stopAsked = false;
    setBusy(true);
    setErrorMessage(std::nullopt);
    setStatus(ConnectionStatus::connecting);
    setActiveServerId(server.id);
    storeText(DefaultsKeys::server, server.id);

    const auto fail = [this](const Error& e) {
        setErrorMessage(e.description());
        setStatus(ConnectionStatus::idle);
        setBusy(false);
    };

    // Pressed again right after a stop: the old tunnel is still going down. A lookup now would go
    // through it and hang once it is gone, and a start would meet it; both wait for it, bounded.
    for (QDeadlineTimer limit(5000); facility().status() == VpnStatus::disconnecting && !limit.hasExpired();) {
        co_await nextEmission(&facility(), &VpnFacility::statusChanged,
                              std::chrono::milliseconds(std::max<qint64>(1, limit.remainingTime())));
        if (!self) co_return;
    }

    if (facility().status() != VpnStatus::connected) {
        co_await refreshIps();
        if (!self) co_return;
    }

    const Result<ConnectResponse> r = co_await API::connect(token, server.id);
    if (!self) co_return;
    if (!r.ok()) co_return fail(r.error());
    if (!r->gateway) co_return fail(APIError::server(QStringLiteral("Sunucu VPN bilgisi döndürmedi")));
    const Gateway gw = *r->gateway;

    // The facility and keychain outlive this object, so the steps below may run on after it is gone;
    // only field updates need it.
    VpnFacility& vpn = facility();
    Keychain& keys = keychain();
    Clock& time = clock();
    const Result<void> installed = co_await VPNController::install(vpn, keys, gw.host, gw.remoteId, gw.secret);
    if (!self) co_return;
    if (!installed.ok()) co_return fail(installed.error());

    Result<void> started = co_await VPNController::start(vpn, time);
    if (!self) co_return;
    if (!started.ok()) {
        setStatus(ConnectionStatus::connecting);
        const Result<void> again = co_await VPNController::reinstall(vpn, keys, gw.host, gw.remoteId, gw.secret);
        if (!self) co_return;
        if (!again.ok()) co_return fail(again.error());
        started = co_await VPNController::start(vpn, time);
        if (!self) co_return;
        if (!started.ok()) co_return fail(started.error());
    }

    setExitIp(r->exitIp);
    setStatus(ConnectionStatus::connected);
    setBusy(false);
}

// System status and addresses.

void AppState::observeSystemStatus() {
    // Queued: each notification becomes its own main-thread task; the connection dies with this object.
    m_statusObserver = QObject::connect(&facility(), &VpnFacility::statusChanged, this,
                                        &AppState::syncSystemStatus, Qt::QueuedConnection);
}

void AppState::syncSystemStatus() {
    const ConnectionStatus previous = m_status;
    const VpnStatus system = facility().status();
    // Up, down or going down, the routes change under the network connections.
    Http::setPath(pathFor(system));
    switch (system) {
    case VpnStatus::connecting:
    case VpnStatus::reasserting:
        setStatus(ConnectionStatus::connecting);
        break;
    case VpnStatus::connected:
        setStatus(ConnectionStatus::connected);
        break;
    case VpnStatus::invalid:
    case VpnStatus::disconnected:
    case VpnStatus::disconnecting:
        if (m_status == ConnectionStatus::connecting && m_busy) break;
        setStatus(ConnectionStatus::idle);
        setExitIp(std::nullopt);
        break;
    }
    if (m_status == ConnectionStatus::connected) m_wasUp = true;
    if (m_status == ConnectionStatus::idle && m_wasUp) {
        m_wasUp = false;
        if (!m_stopAsked) Q_EMIT tunnelDropped();
        m_stopAsked = false;
    }
    if (m_status != previous) refreshIps();
}

QCoro::Task<> AppState::refreshIps() {
    QPointer<AppState> self(this);
    // The system reports the tunnel going down a moment before its route is gone: a lookup started
    // then goes through the tunnel, and its answer is the exit address, not the user's own.
    const bool startedThroughTunnel = Tunnel::carriesTraffic(facility().status());
    const quint64 lookup = ++m_ipLookups;
    const std::optional<PublicGeo> geo = co_await API::publicGeo();
    if (!self) co_return;
    // Lookups overlap (a status change, the half-minute tick) and need not answer in order: an older
    // one may have gone by the path before the tunnel's and would show the user's own address as the exit.
    if (lookup != m_ipLookups) co_return;
    if (m_status == ConnectionStatus::connected) {
        if (geo) setExitIp(geo->ip);
        if (!m_originalIp) setOriginalIp(m_store.string(DefaultsKeys::originalIp));
        if (!m_originalPlace) setOriginalPlace(m_store.string(DefaultsKeys::originalPlace));
        co_return;
    }
    if (!geo || geo->ip.isEmpty() || startedThroughTunnel) co_return;
    setOriginalIp(geo->ip);
    storeText(DefaultsKeys::originalIp, geo->ip);
    QStringList parts;
    if (geo->city && !geo->city->isEmpty()) parts.append(*geo->city);
    if (geo->countryCode && !geo->countryCode->isEmpty()) parts.append(*geo->countryCode);
    const QString place = parts.join(QStringLiteral(", "));
    if (place.isEmpty()) co_return;
    setOriginalPlace(place);
    storeText(DefaultsKeys::originalPlace, place);
}

// Notices and updates.

QCoro::Task<> AppState::refreshNotices() {
    if (!m_token) co_return;
    QPointer<AppState> self(this);
    const Result<InboxResponse> r = co_await API::inbox(*m_token);
    if (!self || !r.ok()) co_return;
    const QStringList dismissed = m_store.stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList());
    std::optional<Campaign> chosen;
    for (auto it = r->campaigns.crbegin(); it != r->campaigns.crend(); ++it) {
        if (!dismissed.contains(it->id)) {
            chosen = *it;
            break;
        }
    }
    setNotice(chosen);
}

void AppState::dismissNotice() {
    if (!m_notice) return;
    QStringList list = m_store.stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList());
    list.append(m_notice->id);
    if (list.size() > maxDismissed) list = list.mid(list.size() - maxDismissed);
    (void)m_store.setStringList(DefaultsKeys::dismissedCampaigns, list);
    setNotice(std::nullopt);
}

void AppState::openNotice() {
    if (!m_notice || !m_notice->url) return;
    const std::optional<QUrl> url = webLink(*m_notice->url);
    if (!url) return;
    if (m_token) API::trackNotify(*m_token, m_notice->id, QStringLiteral("clicked"));
    m_env.openUrl(*url);
}

QCoro::Task<> AppState::applyUpdate() {
    if (!m_updateInfo || m_updating) co_return;
    QPointer<AppState> self(this);
    const Updater::Info info = *m_updateInfo;
    setUpdating(true);
    setErrorMessage(std::nullopt);
    const Result<void> r = co_await m_env.installUpdate(info);
    if (!self || r.ok()) co_return;
    setErrorMessage(QStringLiteral("Güncelleme başarısız: ") + r.error().description());
    setUpdating(false);
}

// Start-up work and timers.

void AppState::startUpWork() {
    // A Linux event-loop program is not throttled while it has no window; no activity to request.
    observeSystemStatus();
    startUpTask(syncAfterLoad());
    startUpTask(loadServers());

    // Precise: a coarse timer may come up to 5 % early, and these promise their intervals.
    m_refreshTimer = clock().createTimer();
    m_refreshTimer->setPrecise(true);
    QObject::connect(m_refreshTimer.get(), &ClockTimer::timeout, this, [this] { refreshTick(); });
    m_refreshTimer->start(refreshInterval, true);

    startUpTask(refreshNotices());
    startUpTask(checkForUpdate());

    m_updateTimer = clock().createTimer();
    m_updateTimer->setPrecise(true);
    QObject::connect(m_updateTimer.get(), &ClockTimer::timeout, this, [this] { checkForUpdate(); });
    m_updateTimer->start(updateInterval, true);
}

QCoro::Task<> AppState::startUpTask(QCoro::Task<> task) {
    QPointer<AppState> self(this);
    ++m_startUpPending;
    co_await std::move(task);
    if (!self) co_return;
    if (--m_startUpPending == 0) Q_EMIT startUpFinished();
}

QCoro::Task<> AppState::syncAfterLoad() {
    QPointer<AppState> self(this);
    (void)co_await facility().load();
    if (!self) co_return;
    syncSystemStatus();
    co_await refreshIps();
}

QCoro::Task<> AppState::refreshTick() {
    QPointer<AppState> self(this);
    co_await loadServers();
    if (!self) co_return;
    co_await refreshIps();
    if (!self) co_return;
    co_await refreshNotices();
}

QCoro::Task<> AppState::checkForUpdate() {
    QPointer<AppState> self(this);
    std::optional<Updater::Info> info = co_await Updater::check();
    if (!self) co_return;
    setUpdateInfo(std::move(info));
}

// Fire-and-forget forms.

void AppState::startLogin(const QString& email, const QString& password) { login(email, password); }
void AppState::startToggle() { toggle(); }
void AppState::startApplyUpdate() { applyUpdate(); }

void AppState::startConnect(const QString& serverId) {
    for (const Server& s : m_servers)
        if (s.id == serverId) {
            connect(s);
            return;
        }
}
