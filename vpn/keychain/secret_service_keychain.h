#pragma once

#include "vpn/keychain.h"

#include <chrono>

// The keychain over the desktop's Secret Service (libsecret). An item's reference is its D-Bus
// object path, which stays the same while the item is updated in place.
//
// Every call runs on a worker thread and is abandoned (cancelled) after the bound, so a missing or
// hung provider never blocks the program. Failures map onto keychain statuses:
//
// | Secret Service outcome                                   | status                   |
// |----------------------------------------------------------|--------------------------|
// | no session bus, or no provider on it                     | notAvailable (-25291)    |
// | no item with the service and account                     | itemNotFound (-25300)    |
// | the collection stays locked (no way to unlock it)        | authFailed (-25293)      |
// | the unlock prompt was dismissed                          | userCanceled (-128)      |
// | no answer within the bound                               | interactionNotAllowed (-25308) |
// | anything else                                            | ioError (-36)            |
class SecretServiceKeychain final : public Keychain {
public:
    explicit SecretServiceKeychain(std::chrono::milliseconds bound = std::chrono::seconds(15));

    QCoro::Task<KeychainResult<void>> update(QString service, QString account, QByteArray data) override;
    QCoro::Task<KeychainResult<QByteArray>> add(QString service, QString account, QByteArray data) override;
    QCoro::Task<KeychainResult<QByteArray>> copyMatching(QString service, QString account) override;
    QCoro::Task<KeychainResult<QByteArray>> secretFor(QByteArray reference) override;

    // Whether a Secret Service provider answers on the session bus (bounded).
    static bool isAvailable(std::chrono::milliseconds bound = std::chrono::seconds(3));

private:
    std::chrono::milliseconds m_bound;
};
