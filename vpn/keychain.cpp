#include "vpn/keychain.h"

namespace {

// A coroutine of its own: its parameters live in its frame, whatever happens to the resolver object.
QCoro::Task<std::optional<QByteArray>> readSecret(Keychain* keychain, QByteArray reference) {
    KeychainResult<QByteArray> secret = co_await keychain->secretFor(std::move(reference));
    if (!secret) co_return std::nullopt;
    co_return std::move(secret).value();
}

} // namespace

VpnFacility::SecretResolver secretResolver(Keychain& keychain) {
    return [&keychain](QByteArray reference) { return readSecret(&keychain, std::move(reference)); };
}
