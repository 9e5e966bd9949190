// The settings file as it may be found on disk: read, then written again and read back; and the
// same bytes found by a write of a store that had read a good file before.
#include "platform/defaults_store.h"

#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString dir = [] {
        // Memory-backed where there is one: every save syncs to disk.
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString d = base + QStringLiteral("/kestrava-fuzz-defaults-%1").arg(::getpid());
        QDir().mkpath(d);
        return d;
    }();
    // Registered after dir is made, so it runs before dir is gone; a finding leaves the folder to look at.
    static const bool cleanUp = std::atexit([] { QDir(dir).removeRecursively(); }) == 0;
    (void)cleanUp;
    const QString path = dir + QStringLiteral("/defaults.json");
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    auto place = [&] {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(input) == input.size();
    };
    QFile::remove(path + QStringLiteral(".corrupt"));
    if (!place()) return 0;
    DefaultsStore store(path);
    const std::optional<QString> token = store.string(QStringLiteral("kestrava-token"));
    const std::optional<QString> email = store.string(QStringLiteral("kestrava-email"));
    (void)store.stringList(QStringLiteral("kestrava-dismissed-campaigns"));
    if (!store.setString(QStringLiteral("kestrava-email"), QStringLiteral("a@b.c")).ok()) return 0;
    DefaultsStore again(path);
    if (again.string(QStringLiteral("kestrava-token")) != token) __builtin_trap(); // nothing else is lost
    if (again.string(QStringLiteral("kestrava-email")) != QStringLiteral("a@b.c")) __builtin_trap();

    // The same bytes found by a write instead, after the store has read a good file: the write reads
    // them as load did, and carries nothing over from what the store saw before.
    if (!place()) return 0;
    if (!again.setString(QStringLiteral("kestrava-plan"), QStringLiteral("FREE")).ok()) return 0;
    const DefaultsStore last(path);
    if (last.string(QStringLiteral("kestrava-token")) != token) __builtin_trap();
    if (last.string(QStringLiteral("kestrava-plan")) != QStringLiteral("FREE")) __builtin_trap();
    if (last.string(QStringLiteral("kestrava-email")) != email) __builtin_trap();
    return 0;
}
