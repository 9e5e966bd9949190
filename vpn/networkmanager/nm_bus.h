#pragma once

#include <QDBusConnection>
#include <QString>
#include <QVariant>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

// NetworkManager's objects and interfaces on the system bus, and reading one of their properties.
namespace networkmanager::bus {

inline const QString managerPath = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString settingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
inline const QString agentManagerPath = QStringLiteral("/org/freedesktop/NetworkManager/AgentManager");
inline const QString pluginPath = QStringLiteral("/org/freedesktop/NetworkManager/VPN/Plugin");
inline const QString managerInterface = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString settingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
inline const QString connectionInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
inline const QString activeInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
inline const QString vpnInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
inline const QString agentManagerInterface = QStringLiteral("org.freedesktop.NetworkManager.AgentManager");
inline const QString pluginInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Plugin");
inline const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
inline const QString noSecretsError = QStringLiteral("org.freedesktop.NetworkManager.SecretAgent.NoSecrets");

// The value of one property of a NetworkManager object; nothing when it is not there or no answer
// came within the limit.
QCoro::Task<std::optional<QVariant>> property(QDBusConnection bus, QString path, QString interface, QString name,
                                              std::chrono::milliseconds limit);

} // namespace networkmanager::bus
