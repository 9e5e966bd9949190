#include "app/process/application_bus.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFileInfo>

#include <cstdio>

const QString ApplicationBus::name = QStringLiteral("app.kestrava.linux");
const QString ApplicationBus::path = QStringLiteral("/app/kestrava/linux");
const QString ApplicationBus::identityInterface = QStringLiteral("app.kestrava.linux.Instance");

namespace {

// A healthy copy answers in milliseconds; one that takes longer is treated as hung.
constexpr int answerLimitMs = 1500;

class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(ApplicationBus* owner) : QDBusAbstractAdaptor(owner), m_owner(owner) {}
public Q_SLOTS:
    void Activate(const QVariantMap& platformData) { m_owner->activate(platformData); }
    void Open(const QStringList& uris, const QVariantMap& platformData) { m_owner->open(uris, platformData); }
    void ActivateAction(const QString& action, const QVariantList& parameter, const QVariantMap& platformData) {
        m_owner->activateAction(action, parameter, platformData);
    }

private:
    ApplicationBus* m_owner;
};

class InstanceAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.kestrava.linux.Instance")
public:
    explicit InstanceAdaptor(ApplicationBus* owner) : QDBusAbstractAdaptor(owner), m_owner(owner) {}
public Q_SLOTS:
    QString Identity(QString& location) {
        const InstanceIdentity id = m_owner->identity();
        location = id.location;
        return id.version;
    }

private:
    ApplicationBus* m_owner;
};

} // namespace

InstanceIdentity InstanceIdentity::ofThisProgram() {
    // Read once at start: after an update swaps the bundle folder, the old path must still name this copy.
    const QString exe = QCoreApplication::applicationFilePath();
    const QString canonical = QFileInfo(exe).canonicalFilePath();
    return {QCoreApplication::applicationVersion(), canonical.isEmpty() ? exe : canonical};
}

ApplicationBus::ApplicationBus(InstanceIdentity self, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_self(std::move(self)), m_bus(std::move(bus)) {
    new ApplicationAdaptor(this);
    new InstanceAdaptor(this);
}

ApplicationBus::~ApplicationBus() {
    if (!m_serving) return;
    m_bus.unregisterObject(path);
    m_bus.unregisterService(name);
}

ApplicationBus::Found ApplicationBus::findRunning() const {
    if (!m_bus.isConnected() || !m_bus.interface()) return Found::none;
    const QDBusReply<bool> owned = m_bus.interface()->isServiceRegistered(name);
    if (!owned.isValid() || !owned.value()) return Found::none;
    QDBusMessage ask = QDBusMessage::createMethodCall(name, path, identityInterface, QStringLiteral("Identity"));
    const QDBusMessage reply = m_bus.call(ask, QDBus::Block, answerLimitMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // Gone meanwhile is the same as never there; anything else is an owner that cannot answer.
        const QDBusReply<bool> still = m_bus.interface()->isServiceRegistered(name);
        return still.isValid() && !still.value() ? Found::none : Found::unanswered;
    }
    const QList<QVariant> args = reply.arguments();
    if (args.size() != 2) return Found::other;
    const InstanceIdentity running{args.at(0).toString(), args.at(1).toString()};
    return running == m_self ? Found::twin : Found::other;
}

bool ApplicationBus::activateRunning() const {
    QDBusMessage call = QDBusMessage::createMethodCall(name, path, QStringLiteral("org.freedesktop.Application"),
                                                       QStringLiteral("Activate"));
    call << platformData();
    return m_bus.call(call, QDBus::Block, answerLimitMs).type() == QDBusMessage::ReplyMessage;
}

bool ApplicationBus::serve() {
    if (!m_bus.isConnected() || !m_bus.interface()) return false;
    if (!m_bus.registerObject(path, this, QDBusConnection::ExportAdaptors)) return false;
    // The older copy allowed the replacement and is asked to quit through the instance socket meanwhile.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> r = m_bus.interface()->registerService(
        name, QDBusConnectionInterface::ReplaceExistingService, QDBusConnectionInterface::AllowReplacement);
    if (!r.isValid() || r.value() != QDBusConnectionInterface::ServiceRegistered) {
        m_bus.unregisterObject(path);
        std::fprintf(stderr, "Kestrava: %s oturum veri yolunda alınamadı; ikinci açılış bu kopyayı bulamayacak.\n",
                     qPrintable(name));
        return false;
    }
    m_serving = true;
    return true;
}

QVariantMap ApplicationBus::platformData() {
    QVariantMap data;
    const QString token = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
    if (!token.isEmpty()) data.insert(QStringLiteral("activation-token"), token);
    const QString startup = qEnvironmentVariable("DESKTOP_STARTUP_ID");
    if (!startup.isEmpty()) data.insert(QStringLiteral("desktop-startup-id"), startup);
    return data;
}

void ApplicationBus::activate(const QVariantMap&) { Q_EMIT activateRequested(); }

// The program opens no files or links of its own; an Open still brings it forward, as a launcher expects.
void ApplicationBus::open(const QStringList&, const QVariantMap& platformData) { activate(platformData); }

void ApplicationBus::activateAction(const QString& action, const QVariantList&, const QVariantMap& platformData) {
    if (action == QStringLiteral("show")) return activate(platformData);
    if (action == QStringLiteral("quit")) {
        Q_EMIT quitRequested();
        return;
    }
    if (calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("Bilinmeyen eylem: %1").arg(action));
}

#include "application_bus.moc"
