// Every reader of the service's replies, and the error body rule, from the same bytes: each returns,
// a refusal is a Decode error with a text, and a record that decodes comes back the same from its own
// JSON. The seeds hold what a broken or hostile service was seen to send (deep nesting, NULs, broken
// UTF-8, a BOM, binary).
#include "api/records.h"
#include "api/request.h"
#include "update/updater.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

using namespace API;

namespace {

template <class R> void roundTrip(const QByteArray& bytes) {
    Result<R> first = R::fromJson(bytes);
    if (!first) {
        if (first.error().kind != Error::Kind::Decode || first.error().description().isEmpty()) __builtin_trap();
        return;
    }
    Result<R> again = R::fromJson(QJsonDocument(first->toJson()).toJson(QJsonDocument::Compact));
    if (!again || !(again.value() == first.value())) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    roundTrip<LoginResponse>(bytes);
    roundTrip<ServersResponse>(bytes);
    roundTrip<ConnectResponse>(bytes);
    roundTrip<InboxResponse>(bytes);
    roundTrip<TrackResponse>(bytes);
    (void)PublicGeo::fromJson(bytes);
    (void)Updater::Manifest::fromJson(bytes);
    const int status = size >= 2 ? 100 + (data[0] << 8 | data[1]) % 500 : 500;
    // Any text goes, an empty "message" included (the rule shows it as it is); it must not crash.
    (void)API::errorMessage(status, bytes);
    return 0;
}
