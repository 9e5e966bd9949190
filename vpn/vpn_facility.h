#pragma once

#include "platform/result.h"
#include "vpn/vpn_status.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

struct IkeSaParameters {
    int encryptionAlgorithm = 4; // AES-256
    int integrityAlgorithm = 3;  // SHA-256
    int diffieHellmanGroup = 14; // modp2048
    bool operator==(const IkeSaParameters&) const = default;
};

// The IKEv2 protocol of the profile. Backends turn it into their own configuration; the secret itself
// is never part of it, only the keychain reference.
struct IkeV2Protocol {
    std::optional<QString> serverAddress;
    std::optional<QString> remoteIdentifier;
    std::optional<QString> localIdentifier;
    int authenticationMethod = 2; // shared secret
    std::optional<QByteArray> sharedSecretReference;
    bool useExtendedAuthentication = false;
    bool disconnectOnSleep = false;
    int deadPeerDetectionRate = 2; // medium
    IkeSaParameters ikeSecurityAssociationParameters;
    IkeSaParameters childSecurityAssociationParameters;
    bool operator==(const IkeV2Protocol&) const = default;
};

// The one system VPN profile of the program, as the facility holds it.
struct VpnProfile {
    std::optional<IkeV2Protocol> protocolConfiguration;
    QString localizedDescription;
    bool isEnabled = false;
    bool isOnDemandEnabled = false;
    bool operator==(const VpnProfile&) const = default;
};

// The system's VPN facility: one profile and its connection. Every operation completes exactly once;
// none blocks the event loop. Errors carry the platform's own text.
class VpnFacility : public QObject {
    Q_OBJECT
public:
    // Reads the secret behind a keychain reference when a backend hands it to the system; nothing when
    // the keychain has no such item or cannot be reached.
    using SecretResolver = std::function<QCoro::Task<std::optional<QByteArray>>(QByteArray reference)>;

    using QObject::QObject;
    ~VpnFacility() override = default;

    // Reads the stored profile and the current status into profile() and status().
    virtual QCoro::Task<Result<void>> load() = 0;
    // Stores profile() as it is set now.
    virtual QCoro::Task<Result<void>> save() = 0;
    // Removes the stored profile.
    virtual QCoro::Task<Result<void>> remove() = 0;
    // Fails at once with an error, or the status moves on afterwards.
    virtual Result<void> startTunnel() = 0;
    virtual void stopTunnel() = 0;
    // Why the last attempt ended, if the system says.
    virtual QCoro::Task<std::optional<Error>> fetchLastDisconnectError() = 0;

    virtual VpnStatus status() const = 0;
    VpnProfile& profile() { return m_profile; }
    const VpnProfile& profile() const { return m_profile; }

    // Short backend name for logs and the headless output ("networkmanager", "strongswan", "simulated").
    virtual QString backendName() const = 0;

    // The process-wide facility; chosen at first use unless one was installed.
    static VpnFacility& shared();
    static void setShared(std::unique_ptr<VpnFacility> facility);

Q_SIGNALS:
    // Emitted after each change of status().
    void statusChanged();

protected:
    VpnProfile m_profile;
};
