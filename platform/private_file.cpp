#include "platform/private_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString reason(const QString& what, int err) {
    return QStringLiteral("%1 (%2)").arg(what, QString::fromLocal8Bit(strerror(err)));
}

Error readError(const QString& path, const QString& leadIn, int err) {
    return Error{Error::Kind::Io, QStringLiteral("%1: %2").arg(leadIn, reason(path, err)), err};
}

bool writeAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// mkdir -p: the folders above get the usual mode (the umask decides), the file's own folder 0700;
// on failure errno says why.
bool makeFolders(const QByteArray& dir, mode_t mode) {
    if (::mkdir(dir.constData(), mode) == 0) return true;
    if (errno == EEXIST) {
        struct stat st {};
        if (::stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    const qsizetype slash = dir.lastIndexOf('/');
    if (errno != ENOENT || slash <= 0) return false;
    if (!makeFolders(dir.left(slash), 0777)) return false;
    // EEXIST: made meanwhile by another writer.
    return ::mkdir(dir.constData(), mode) == 0 || errno == EEXIST;
}

} // namespace

namespace PrivateFile {

Error ioError(const QString& path, int err) { return Error{Error::Kind::Io, reason(path, err), err}; }

QString configPath(const QString& fileName) {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/kestrava/") + fileName;
}

Result<void> makeFolder(const QString& path) {
    const QString folder = QDir::cleanPath(QFileInfo(path).absolutePath());
    const QByteArray dir = QFile::encodeName(folder);
    if (!makeFolders(dir, 0700)) return ioError(folder, errno);
    // A folder made by an older copy, or by hand, is made private too; failing that is no reason to stop.
    ::chmod(dir.constData(), 0700);
    return {};
}

Result<void> write(const QString& path, const QByteArray& data) {
    if (Result<void> made = makeFolder(path); !made) return made;
    const QByteArray dir = QFile::encodeName(QDir::cleanPath(QFileInfo(path).absolutePath()));

    const QByteArray target = QFile::encodeName(path);
    QByteArray temp = target + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return ioError(path, errno);
    int err = 0;
    if (::fchmod(fd, 0600) != 0 || !writeAll(fd, data) || ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(temp.constData(), target.constData()) != 0) err = errno;
    if (err) {
        ::unlink(temp.constData());
        return ioError(path, err);
    }
    // The rename itself must survive a power cut too.
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

Result<void> remove(const QString& path) {
    if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT) return {};
    return ioError(path, errno);
}

QString setAside(const QString& path) {
    const QString aside = path + QStringLiteral(".corrupt");
    const QByteArray to = QFile::encodeName(aside);
    // rename() replaces a file, but not one of the other kind (a folder found at the path).
    ::unlink(to.constData());
    if (::rename(QFile::encodeName(path).constData(), to.constData()) != 0) return {};
    return aside;
}

namespace detail {

int openToRead(const QString& path) {
    // Non-blocking: a FIFO left at the path must not hang the start; it reads as empty.
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

Result<std::optional<QByteArray>> readAtMost(const QString& path, qint64 limit, const QString& leadIn) {
    const int fd = openToRead(path);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::optional<QByteArray>();
        return readError(path, leadIn, errno);
    }
    Result<QByteArray> data = readFrom(fd, limit, path, leadIn);
    ::close(fd);
    if (!data) return data.error();
    return std::optional<QByteArray>(std::move(*data));
}

Result<QByteArray> readFrom(int fd, qint64 limit, const QString& path, const QString& leadIn) {
    QByteArray data(qMin<qint64>(limit, 64 * 1024), Qt::Uninitialized);
    qint64 size = 0;
    int err = 0;
    while (size < limit) {
        if (size == data.size()) data.resize(qMin(limit, size * 2));
        const ssize_t n = ::read(fd, data.data() + size, size_t(data.size() - size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        size += n;
    }
    if (err) return readError(path, leadIn, err);
    data.truncate(size);
    return data;
}

} // namespace detail

} // namespace PrivateFile
