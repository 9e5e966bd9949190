#include "app/process/drop_notice.h"

#include "app/tray/tray_look.h"
#include "app/tray/tray_shell.h"
#include "state/app_state.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

const QString DropNotice::summary = QStringLiteral("VPN bağlantısı kesildi");
const QString DropNotice::body =
    QStringLiteral("Tünel siz kapatmadan kapandı; trafiğiniz artık VPN’den geçmiyor. "
                   "Yeniden bağlanmak için Kestrava’yı açın.");

DropNotice::DropNotice(TrayShell& shell, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_shell(shell), m_bus(std::move(bus)) {
    QObject::connect(&shell.state(), &AppState::tunnelDropped, this, &DropNotice::tell);
    QObject::connect(&shell, &TrayShell::quitStarted, this, [this] { m_quitting = true; });
    if (!m_bus.isConnected()) return;
    m_bus.connect(service, objectPath, interface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onAction(uint, QString)));
    m_bus.connect(service, objectPath, interface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onClosed(uint, uint)));
}

void DropNotice::tell() {
    if (m_quitting || m_shell.panelVisible() || !m_bus.isConnected()) return;
    // A second drop before the first notice's id came back would stack a second notice.
    if (m_asking) {
        m_again = true;
        return;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(service, objectPath, interface, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), QStringLiteral("app.kestrava.linux")},
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))},
        {QStringLiteral("category"), QStringLiteral("network.disconnected")},
    };
    // The tunnel is down: the slashed shield, not the application's ticked one.
    notify << QStringLiteral("Kestrava") << m_shownId << TrayLook::themeName(false) << summary << body
           << QStringList{QStringLiteral("default"), QStringLiteral("Kestrava’yı aç")} << hints << int(-1);
    // Never waited for: a desktop without a notification service must not hold the program up.
    m_asking = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(notify), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isValid()) m_shownId = reply.value();
        w->deleteLater();
        m_asking = false;
        if (std::exchange(m_again, false)) tell();
    });
}

void DropNotice::onAction(uint id, const QString& action) {
    if (id != 0 && id == m_shownId && action == QStringLiteral("default")) m_shell.showPanel();
}

void DropNotice::onClosed(uint id, uint) {
    if (id == m_shownId) m_shownId = 0;
}
