#include "vpn/networkmanager/secret_agent.h"

#include "vpn/networkmanager/nm_bus.h"
#include "vpn/networkmanager/nm_status.h"

#include <QDBusConnectionInterface>
#include <QPointer>

#include <algorithm>

namespace networkmanager {

SecretAgent::SecretAgent(QDBusConnection bus, SecretResolver resolver, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_resolver(std::move(resolver)) {}

NMSettings SecretAgent::GetSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath,
                                   const QString& settingName, const QStringList&, uint, const QDBusMessage& message) {
    auto refuse = [&](const char* why) {
        m_bus.send(message.createErrorReply(bus::noSecretsError,
                                            QString::fromLatin1(why)));
        return NMSettings{};
    };
    message.setDelayedReply(true);
    // Only our own profile's key, known by its UUID (a look-alike of the same name gets nothing), and
    // only to NetworkManager itself.
    if (settingName != QLatin1String("vpn") || !isOurs(connection) || m_uuid.isEmpty() || uuidOf(connection) != m_uuid)
        return refuse("not a Kestrava connection");
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(QString::fromLatin1(service));
    if (!owner.isValid() || owner.value() != message.service()) return refuse("not asked by NetworkManager");
    const NMStringMap user = stringMap(connection.value(QStringLiteral("user")).value(QStringLiteral("data")));
    auto reference =
        QByteArray::fromBase64Encoding(user.value(QString::fromLatin1(referenceKey)).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!reference || reference.decoded.isEmpty() || !m_resolver) return refuse("no keychain reference");
    const quint64 request = ++m_request;
    m_pending.insert(connectionPath.path(), request);
    answer(*reference, connectionPath.path(), message, request);
    return {};
}

QCoro::Task<bool> SecretAgent::activationWaitsFor(QString connectionPath) {
    QPointer<SecretAgent> self(this);
    constexpr std::chrono::milliseconds limit{5'000};
    const auto actives = co_await bus::property(m_bus, bus::managerPath, bus::managerInterface,
                                                QStringLiteral("ActiveConnections"), limit);
    if (!self || !actives) co_return false;
    for (const QDBusObjectPath& active : qdbus_cast<QList<QDBusObjectPath>>(*actives)) {
        const auto connection =
            co_await bus::property(m_bus, active.path(), bus::activeInterface, QStringLiteral("Connection"), limit);
        if (!self) co_return false;
        if (!connection || qdbus_cast<QDBusObjectPath>(*connection).path() != connectionPath) continue;
        const auto state = co_await bus::property(m_bus, active.path(), bus::vpnInterface, QStringLiteral("VpnState"), limit);
        if (!self || !state) co_return false;
        // Up to the point where the plugin has the key; an activated or ending one asks for nothing.
        const auto s = VpnState(state->toUInt());
        co_return s == VpnState::prepare || s == VpnState::needAuth || s == VpnState::connect;
    }
    co_return false;
}

QCoro::Task<> SecretAgent::answer(QByteArray reference, QString connectionPath, QDBusMessage message, quint64 request) {
    QPointer<SecretAgent> self(this);
    // A request to show the saved secrets (nmcli -s, a settings dialog) comes with no activation
    // waiting: the key is the keychain's to show, not ours.
    const bool due = co_await activationWaitsFor(connectionPath);
    if (!self) co_return;
    if (m_pending.value(connectionPath) != request) co_return; // cancelled; NetworkManager had its answer
    if (!due) {
        m_pending.remove(connectionPath);
        m_bus.send(message.createErrorReply(bus::noSecretsError,
                                            QStringLiteral("no activation of this connection asks for it")));
        co_return;
    }
    std::optional<QByteArray> secret = co_await m_resolver(reference);
    if (!self) co_return;
    if (m_pending.value(connectionPath) != request) co_return; // cancelled; NetworkManager had its answer
    m_pending.remove(connectionPath);
    if (!secret || secret->isEmpty()) {
        m_bus.send(message.createErrorReply(bus::noSecretsError,
                                            QStringLiteral("the keychain has no such item")));
        co_return;
    }
    QString password = QString::fromUtf8(*secret);
    secret->fill('\0');
    {
        NMStringMap secrets;
        secrets.insert(QStringLiteral("password"), password);
        NMSettings reply;
        reply.insert(QStringLiteral("vpn"), QVariantMap{{QStringLiteral("secrets"), QVariant::fromValue(secrets)}});
        m_bus.send(message.createReply(QVariant::fromValue(reply)));
    }
    // Marshalled and gone; the last copy of ours is wiped, not left in freed memory.
    std::fill(password.begin(), password.end(), QChar(u'\0'));
    ++m_answered;
}

void SecretAgent::CancelGetSecrets(const QDBusObjectPath& connectionPath, const QString&) {
    m_pending.remove(connectionPath.path());
}

// The key lives in the keychain; NetworkManager has nothing of ours to save or delete.
void SecretAgent::SaveSecrets(const NMSettings&, const QDBusObjectPath&) {}
void SecretAgent::DeleteSecrets(const NMSettings&, const QDBusObjectPath&) {}

} // namespace networkmanager
