// Chooses the process-wide VPN facility and keychain: the one file that knows every wing.
#include "vpn/backends.h"

#include "vpn/keychain.h"
#include "vpn/keychain/memory_keychain.h"
#include "vpn/keychain/secret_service_keychain.h"
#include "vpn/networkmanager/networkmanager_facility.h"
#include "vpn/simulated/simulated_facility.h"
#include "vpn/strongswan/charon_failures.h"
#include "vpn/strongswan/strongswan_facility.h"
#include "vpn/vpn_facility.h"

#include <QCoreApplication>
#include <QtGlobal>

namespace {

// Stands in when the machine has no IKEv2 facility: nothing to load, and connecting says why.
class UnavailableFacility final : public VpnFacility {
public:
    explicit UnavailableFacility(QString why) : m_why(std::move(why)) {}
    QCoro::Task<Result<void>> load() override {
        m_profile = VpnProfile{};
        co_return Result<void>();
    }
    QCoro::Task<Result<void>> save() override { co_return error(); }
    QCoro::Task<Result<void>> remove() override { co_return error(); }
    Result<void> startTunnel() override { return error(); }
    void stopTunnel() override {}
    QCoro::Task<std::optional<Error>> fetchLastDisconnectError() override { co_return std::nullopt; }
    VpnStatus status() const override { return VpnStatus::invalid; }
    QString backendName() const override { return QStringLiteral("none"); }

private:
    Error error() const { return Error{Error::Kind::Io, m_why}; }
    QString m_why;
};

std::unique_ptr<VpnFacility>& facilitySlot() {
    static std::unique_ptr<VpnFacility> slot;
    return slot;
}

std::unique_ptr<Keychain>& keychainSlot() {
    static std::unique_ptr<Keychain> slot;
    return slot;
}

QString forcedBackend() { return qEnvironmentVariable("KESTRAVA_VPN_BACKEND").trimmed().toLower(); }

bool simulated() { return forcedBackend() == QLatin1String("simulated"); }

// The facility reads the secret from the keychain only when it hands it to the system.
VpnFacility::SecretResolver keychainResolver() {
    return [](QByteArray reference) { return secretResolver(Keychain::shared())(std::move(reference)); };
}

std::unique_ptr<VpnFacility> strongSwan() {
    return std::make_unique<StrongSwanFacility>(StrongSwanFacility::defaultSocketPath(),
                                                StrongSwanFacility::defaultProfilePath(), keychainResolver());
}

std::unique_ptr<VpnFacility> networkManager() {
    return std::make_unique<NetworkManagerFacility>(QDBusConnection::systemBus(), keychainResolver());
}

std::unique_ptr<VpnFacility> chooseFacility() {
    const QString forced = forcedBackend();
    if (forced == QLatin1String("simulated")) return std::make_unique<SimulatedFacility>();
    if (forced == QLatin1String("strongswan")) return strongSwan();
    if (forced == QLatin1String("networkmanager")) return networkManager();
    if (!forced.isEmpty() && forced != QLatin1String("auto"))
        return std::make_unique<UnavailableFacility>(
            QStringLiteral("Bilinmeyen VPN altyapısı: %1 (networkmanager, strongswan veya simulated olmalı)").arg(forced));
    const bool nm = NetworkManagerFacility::available(QDBusConnection::systemBus());
    const QString socket = StrongSwanFacility::defaultSocketPath();
    switch (Backends::choose(nm, nm ? StrongSwanFacility::SocketAccess::missing : StrongSwanFacility::probeSocket(socket))) {
    case Backends::Choice::networkManager: return networkManager();
    case Backends::Choice::strongSwan: return strongSwan();
    case Backends::Choice::charonDenied:
        return std::make_unique<UnavailableFacility>(strongswan::accessDeniedError(socket).message);
    case Backends::Choice::none: break;
    }
    return std::make_unique<UnavailableFacility>(
        QStringLiteral("Bu bilgisayarda IKEv2 VPN hizmeti bulunamadı: NetworkManager'ın strongSwan eklentisi ya da "
                       "strongSwan gerekli"));
}

std::unique_ptr<Keychain> chooseKeychain() {
    // The demo's simulated tunnel keeps its secret in memory, never in the desktop's keyring.
    if (simulated()) return std::make_unique<MemoryKeychain>();
    return std::make_unique<SecretServiceKeychain>();
}

} // namespace

namespace Backends {

Choice choose(bool networkManagerAvailable, StrongSwanFacility::SocketAccess charon) {
    using A = StrongSwanFacility::SocketAccess;
    if (networkManagerAvailable) return Choice::networkManager;
    switch (charon) {
    case A::reachable:
    case A::refused: return Choice::strongSwan;
    case A::denied: return Choice::charonDenied;
    case A::missing: break;
    }
    return Choice::none;
}

} // namespace Backends

VpnFacility& VpnFacility::shared() {
    auto& slot = facilitySlot();
    if (!slot) slot = chooseFacility();
    return *slot;
}

void VpnFacility::setShared(std::unique_ptr<VpnFacility> facility) { facilitySlot() = std::move(facility); }

Keychain& Keychain::shared() {
    auto& slot = keychainSlot();
    if (!slot) slot = chooseKeychain();
    return *slot;
}

void Keychain::setShared(std::unique_ptr<Keychain> keychain) { keychainSlot() = std::move(keychain); }
