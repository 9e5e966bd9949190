#pragma once

#include "vpn/networkmanager/nm_settings.h"
#include "vpn/vpn_facility.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QObject>

namespace networkmanager {

// The agent that hands our connection's pre-shared key to NetworkManager when the plugin asks.
class SecretAgent : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager.SecretAgent")
public:
    using SecretResolver = VpnFacility::SecretResolver;
    SecretAgent(QDBusConnection bus, SecretResolver resolver, QObject* parent = nullptr);

    int requestsAnswered() const { return m_answered; }
    // The one connection whose key the agent hands out, by its UUID; none while empty.
    void setConnection(const QString& uuid) { m_uuid = uuid; }

public Q_SLOTS:
    Q_SCRIPTABLE NMSettings GetSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath,
                                       const QString& settingName, const QStringList& hints, uint flags,
                                       const QDBusMessage& message);
    Q_SCRIPTABLE void CancelGetSecrets(const QDBusObjectPath& connectionPath, const QString& settingName);
    Q_SCRIPTABLE void SaveSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath);
    Q_SCRIPTABLE void DeleteSecrets(const NMSettings& connection, const QDBusObjectPath& connectionPath);

private:
    QCoro::Task<> answer(QByteArray reference, QString connectionPath, QDBusMessage message, quint64 request);
    // Whether an activation of the connection waits for its secrets now: the only time the key is due.
    QCoro::Task<bool> activationWaitsFor(QString connectionPath);

    QDBusConnection m_bus;
    SecretResolver m_resolver;
    quint64 m_request = 0;
    QHash<QString, quint64> m_pending; // connection path -> request still being answered
    int m_answered = 0;
    QString m_uuid;
};

} // namespace networkmanager
