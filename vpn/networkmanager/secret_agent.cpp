#include "vpn/networkmanager/secret_agent.h"

#include <QDBusConnectionInterface>
#include <QPointer>

namespace networkmanager {

SecretAgent::SecretAgent(QDBusConnection bus, SecretResolver resolver, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_resolver(std::move(resolver)) {}

NMSettings SecretAgent::GetSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath,
                                   const QString& settingName, const QStringList&, uint, const QDBusMessage& message) {
    auto refuse = [&](const char* why) {
        m_bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.SecretAgent.NoSecrets"),
                                            QString::fromLatin1(why)));
        return NMSettings{};
    };
    message.setDelayedReply(true);
    // Only our own profile's key, and only to NetworkManager itself.
    if (settingName != QLatin1String("vpn") || !isOurs(connection)) return refuse("not a Kestrava connection");
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

QCoro::Task<> SecretAgent::answer(QByteArray reference, QString connectionPath, QDBusMessage message, quint64 request) {
    QPointer<SecretAgent> self(this);
    std::optional<QByteArray> secret = co_await m_resolver(reference);
    if (!self) co_return;
    if (m_pending.value(connectionPath) != request) co_return; // cancelled; NetworkManager had its answer
    m_pending.remove(connectionPath);
    if (!secret || secret->isEmpty()) {
        m_bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.SecretAgent.NoSecrets"),
                                            QStringLiteral("the keychain has no such item")));
        co_return;
    }
    NMStringMap secrets;
    secrets.insert(QStringLiteral("password"), QString::fromUtf8(*secret));
    secret->fill('\0');
    NMSettings reply;
    reply.insert(QStringLiteral("vpn"), QVariantMap{{QStringLiteral("secrets"), QVariant::fromValue(secrets)}});
    m_bus.send(message.createReply(QVariant::fromValue(reply)));
    ++m_answered;
}

void SecretAgent::CancelGetSecrets(const QDBusObjectPath& connectionPath, const QString&) {
    m_pending.remove(connectionPath.path());
}

// The key lives in the keychain; NetworkManager has nothing of ours to save or delete.
void SecretAgent::SaveSecrets(const NMSettings&, const QDBusObjectPath&) {}
void SecretAgent::DeleteSecrets(const NMSettings&, const QDBusObjectPath&) {}

} // namespace networkmanager
