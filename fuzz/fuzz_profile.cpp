// The charon backend's profile file as it may be found on disk: what decodes encodes back to the same.
#include "vpn/strongswan/profile_file.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const Result<VpnProfile> profile = strongswan::decodeProfile(bytes);
    if (!profile) return 0;
    const Result<VpnProfile> again = strongswan::decodeProfile(strongswan::encodeProfile(profile.value()));
    if (!again || !(again.value() == profile.value())) __builtin_trap();
    return 0;
}
