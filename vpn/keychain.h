#pragma once

#include "platform/result.h"
#include "vpn/vpn_facility.h"

#include <QByteArray>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

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

// A keychain call that did not succeed, with the system's status code (never success).
struct KeychainFailure {
    int status = KeychainStatus::ioError;
    bool operator==(const KeychainFailure&) const = default;
};

template <class T> using KeychainResult = Result<T, KeychainFailure>;

// One generic-password item store, addressed by service and account. The reference of an item is
// opaque bytes, stable for the item's life, compared byte for byte.
class Keychain {
public:
    virtual ~Keychain() = default;

    // Replaces the data of the existing item; itemNotFound when there is none.
    virtual QCoro::Task<KeychainResult<void>> update(QString service, QString account, QByteArray data) = 0;
    // Adds a new item and returns its reference (empty if the provider gave none).
    virtual QCoro::Task<KeychainResult<QByteArray>> add(QString service, QString account, QByteArray data) = 0;
    // The reference of the existing item.
    virtual QCoro::Task<KeychainResult<QByteArray>> copyMatching(QString service, QString account) = 0;
    // The data of the item a reference names, for the VPN facility that must hand it to the system.
    virtual QCoro::Task<KeychainResult<QByteArray>> secretFor(QByteArray reference) = 0;
    // Moves the existing item to another service, keeping its data and reference; itemNotFound when none.
    virtual QCoro::Task<KeychainResult<void>> rename(QString service, QString account, QString newService) = 0;

    // Whether a call waits for the person to answer the keychain's own dialog; the observer hears each change.
    bool waitingForUser() const { return m_waiting; }
    void setWaitingObserver(std::function<void(bool)> observer) { m_observer = std::move(observer); }

    static Keychain& shared();
    static void setShared(std::unique_ptr<Keychain> keychain);

protected:
    void setWaitingForUser(bool waiting) {
        if (waiting == m_waiting) return;
        m_waiting = waiting;
        if (m_observer) m_observer(waiting);
    }

private:
    bool m_waiting = false;
    std::function<void(bool)> m_observer;
};

// Lets a facility read the secret behind a reference from this keychain; nothing when the keychain
// fails. The keychain must outlive the facility.
VpnFacility::SecretResolver secretResolver(Keychain& keychain);
