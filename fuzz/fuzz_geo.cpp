// The address lookup's reply: lenient, but an accepted reply always has an address.
#include "api/records.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

using namespace API;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<PublicGeo> geo = PublicGeo::fromJson(bytes);
    if (!geo) return 0;
    if (geo->ip.isEmpty()) __builtin_trap();
    const auto again = PublicGeo::fromJson(QJsonDocument(geo->toJson()).toJson());
    if (!again || !(*again == *geo)) __builtin_trap();
    return 0;
}
