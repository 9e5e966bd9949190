// The settings file as it may be found on disk: read, then written again and read back.
#include "platform/defaults_store.h"

#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString dir = [] {
        // Memory-backed where there is one: every save syncs to disk.
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString d = base + QStringLiteral("/kestrava-fuzz-defaults-%1").arg(::getpid());
        QDir().mkpath(d);
        return d;
    }();
    const QString path = dir + QStringLiteral("/defaults.json");
    QFile::remove(path + QStringLiteral(".corrupt"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    DefaultsStore store(path);
    const std::optional<QString> token = store.string(QStringLiteral("kestrava-token"));
    (void)store.stringList(QStringLiteral("kestrava-dismissed-campaigns"));
    if (!store.setString(QStringLiteral("kestrava-email"), QStringLiteral("a@b.c")).ok()) return 0;
    DefaultsStore again(path);
    if (again.string(QStringLiteral("kestrava-token")) != token) __builtin_trap(); // nothing else is lost
    if (again.string(QStringLiteral("kestrava-email")) != QStringLiteral("a@b.c")) __builtin_trap();
    return 0;
}
