#pragma once

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

// Status codes of keychain operations, in the system's numbering (shown to the user in error texts).
namespace KeychainStatus {
inline constexpr int success = 0;
inline constexpr int itemNotFound = -25300;
inline constexpr int notAvailable = -25291;       // no keychain provider reachable
inline constexpr int authFailed = -25293;         // the collection stayed locked
inline constexpr int userCanceled = -128;         // the unlock prompt was dismissed
inline constexpr int interactionNotAllowed = -25308; // the provider did not answer in time
inline constexpr int ioError = -36;               // any other provider failure
} // namespace KeychainStatus

// One generic-password item store, addressed by service and account. The reference of an item is
// opaque bytes, stable for the item's life, compared byte for byte.
class Keychain {
public:
    virtual ~Keychain() = default;

    struct RefResult {
        int status = KeychainStatus::success;
        QByteArray reference; // empty unless status is success
    };

    // Replaces the data of the existing item; itemNotFound when there is none.
    virtual QCoro::Task<int> update(QString service, QString account, QByteArray data) = 0;
    // Adds a new item and returns its reference.
    virtual QCoro::Task<RefResult> add(QString service, QString account, QByteArray data) = 0;
    // The reference of the existing item.
    virtual QCoro::Task<RefResult> copyMatching(QString service, QString account) = 0;
    // The data of the item a reference names, for the VPN facility that must hand it to the system.
    virtual QCoro::Task<std::optional<QByteArray>> secretFor(QByteArray reference) = 0;

    static Keychain& shared();
    static void setShared(std::unique_ptr<Keychain> keychain);
};
