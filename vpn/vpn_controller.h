#pragma once

#include "platform/clock.h"
#include "platform/result.h"
#include "vpn/ike_profile.h"
#include "vpn/keychain.h"
#include "vpn/vpn_facility.h"

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>

// The errors of tunnel control, as Error values: Kind::Keychain carries the keychain status in code.
namespace VPNControllerError {
Error keychain(int code);
Error rejected(const QString& message);
} // namespace VPNControllerError

// Stateless operations on the system VPN profile and tunnel, on the facility, keychain and clock given.
// The user's texts of this layer are made here and nowhere below.
namespace VPNController {

inline constexpr const char* keychainService = "app.kestrava.linux.ike";
// The service of items stored by earlier builds: found, and moved to keychainService once.
inline constexpr const char* legacyKeychainService = "app.kestrava.macos.ike";
inline constexpr const char* keychainAccount = "shared-secret";
// The gateways know the client's IKE identity by this value.
inline constexpr const char* localIdentifier = "kestrava-macos";
inline constexpr const char* profileDescription = IkeProfile::name;
inline constexpr double startTimeoutSeconds = 28.0;

inline constexpr const char* timedOutText = "VPN bağlantısı zaman aşımına uğradı";
inline constexpr const char* refusedText = "Sistem VPN bağlantıyı reddetti";
inline constexpr const char* couldNotOpenText = "Sistem VPN açılamadı";

QCoro::Task<Result<QByteArray>> storeSecret(Keychain& keychain, const QString& secret);

QCoro::Task<Result<void>> install(VpnFacility& facility, Keychain& keychain, QString hostname, QString remoteId,
                                  QString secret);
QCoro::Task<Result<void>> reinstall(VpnFacility& facility, Keychain& keychain, QString hostname, QString remoteId,
                                    QString secret);
QCoro::Task<Result<void>> start(VpnFacility& facility, Clock& clock);
void stop(VpnFacility& facility);

// The profile that install saves for a gateway.
VpnProfile profileFor(const QString& hostname, const QString& remoteId, const QByteArray& secretRef);

// Settles a started tunnel: (ok, message) from the first status notification that decides it, or
// from the status at the time-out.
struct WaitOutcome {
    bool ok = false;
    std::optional<QString> message;
};
QCoro::Task<WaitOutcome> waitForTunnel(VpnFacility& facility, Clock& clock, double timeoutSeconds);

} // namespace VPNController
