#pragma once

#include <QString>

// Every key the program keeps in the defaults store.
namespace DefaultsKeys {
inline const QString token = QStringLiteral("kestrava-token");
inline const QString email = QStringLiteral("kestrava-email");
inline const QString plan = QStringLiteral("kestrava-plan");
inline const QString server = QStringLiteral("kestrava-server");
inline const QString originalIp = QStringLiteral("kestrava-original-ip");
inline const QString originalPlace = QStringLiteral("kestrava-original-place");
inline const QString dismissedCampaigns = QStringLiteral("kestrava-dismissed-campaigns");
inline const QString fingerprint = QStringLiteral("kestrava-fingerprint");
} // namespace DefaultsKeys
