#pragma once

#include "vpn/keychain.h"

#include <chrono>
#include <memory>

class KeychainPrompt;

// The keychain over the desktop's Secret Service (libsecret). An item's reference is its D-Bus
// object path, which stays the same while the item is updated in place.
//
// KWallet offers over the Secret Service only the wallets that existed when it started; the default
// wallet of a first login (made by pam_kwallet after that) is reached through KWallet's own interface
// instead, and its items are referenced as "kwallet:WALLET/FOLDER/KEY". Once the wallet is offered (the
// next login), the key moves into it and the wallet's copy is removed.
//
// Every call runs asynchronously on the main thread's GLib context, so nothing ever blocks the program
// or holds the service while a person thinks. A call waits up to its bound for a person to answer the
// keychain's own dialog (unlock, or create the default collection); its other requests are cancelled
// when it ends. The dialog itself is never dismissed from here (gnome-keyring 42.1 crashes when a
// pending unlock prompt is dismissed by its client): it stays open, and a later call joins it instead of
// opening a second one. Failures map onto keychain statuses:
//
// | Secret Service outcome                                   | status                   |
// |----------------------------------------------------------|--------------------------|
// | no session bus, or no keychain installed on it           | notAvailable (-25291)    |
// | no item with the service and account                     | itemNotFound (-25300)    |
// | the collection stays locked (no way to unlock it)        | authFailed (-25293)      |
// | the keychain's dialog was cancelled                      | userCanceled (-128)      |
// | the dialog not answered within the bound                 | interactionNotAllowed (-25308) |
// | anything else                                            | ioError (-36)            |
class SecretServiceKeychain final : public Keychain {
public:
    // The bound is a person's time to answer a dialog, as long as polkit's in the NetworkManager wing.
    explicit SecretServiceKeychain(std::chrono::milliseconds bound = std::chrono::minutes(5));
    ~SecretServiceKeychain() override;

    QCoro::Task<KeychainResult<void>> update(QString service, QString account, QByteArray data) override;
    QCoro::Task<KeychainResult<QByteArray>> add(QString service, QString account, QByteArray data) override;
    QCoro::Task<KeychainResult<QByteArray>> copyMatching(QString service, QString account) override;
    QCoro::Task<KeychainResult<QByteArray>> secretFor(QByteArray reference) override;
    QCoro::Task<KeychainResult<void>> rename(QString service, QString account, QString newService) override;
    struct Call;

private:
    QCoro::Task<bool> ensureUnlocked(Call& call, QByteArray path, const char* interface);
    QCoro::Task<bool> waitForPrompt(Call& call, QByteArray path, const char* interface);
    QCoro::Task<bool> createDefault(Call& call, QByteArray label);
    QCoro::Task<int> openWallet(Call& call, QByteArray name, bool ask = true);
    QCoro::Task<KeychainResult<QByteArray>> addToWallet(Call& call, QByteArray name, QByteArray key, QByteArray data);
    QCoro::Task<KeychainResult<QByteArray>> readWallet(Call& call, QByteArray reference);
    QCoro::Task<> forgetWalletCopy(Call& call, QByteArray key);
    void setPrompt(std::shared_ptr<KeychainPrompt> prompt);

    std::chrono::milliseconds m_bound;
    std::shared_ptr<KeychainPrompt> m_prompt; // the keychain dialog of ours still open, if any
};
