// The update manifest and the version rule it feeds.
#include "update/installer.h"
#include "update/updater.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<Updater::Info> offer = Updater::offerFrom(bytes, QStringLiteral("1.0.0"));
    if (!offer) return 0;
    if (!Updater::isNewer(offer->version, QStringLiteral("1.0.0"))) __builtin_trap();
    if (Updater::isNewer(offer->version, offer->version)) __builtin_trap();
    // A name for the image is one plain file name in its folder.
    if (const auto name = Updater::imageFileName(offer->version)) {
        if (!name->startsWith(QLatin1String("Kestrava-update-")) || name->contains(QLatin1Char('/'))) __builtin_trap();
        for (const QChar c : *name)
            if (c.category() == QChar::Other_Control) __builtin_trap();
    }
    return 0;
}
