#include "platform/defaults_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DefaultsStore* g_installed = nullptr;

Error ioError(const QString& what, int err) {
    return Error{Error::Kind::Io,
                 QStringLiteral("Ayarlar kaydedilemedi: %1 (%2)").arg(what, QString::fromLocal8Bit(strerror(err))),
                 err};
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

} // namespace

DefaultsStore::DefaultsStore(QString filePath) : m_path(std::move(filePath)) { load(); }

QString DefaultsStore::defaultPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/kestrava/defaults.json");
}

DefaultsStore& DefaultsStore::shared() {
    if (g_installed) return *g_installed;
    static DefaultsStore store(defaultPath());
    return store;
}

void DefaultsStore::setShared(DefaultsStore* store) { g_installed = store; }

void DefaultsStore::load() {
    QFile file(m_path);
    if (!file.exists()) return;
    QByteArray data;
    bool readable = file.open(QIODevice::ReadOnly) && file.size() <= maxFileSize;
    if (readable) data = file.read(maxFileSize + 1);
    file.close();
    if (readable && data.size() <= maxFileSize) {
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(data, &err);
        if (err.error == QJsonParseError::NoError && doc.isObject()) {
            m_values = doc.object();
            return;
        }
    }
    // Keep the damaged file for inspection instead of overwriting it with the next save.
    const QString aside = m_path + QStringLiteral(".corrupt");
    QFile::remove(aside);
    if (QFile::rename(m_path, aside)) m_setAside = aside;
}

std::optional<QString> DefaultsStore::string(const QString& key) const {
    const QJsonValue v = m_values.value(key);
    if (!v.isString()) return std::nullopt;
    return v.toString();
}

std::optional<QStringList> DefaultsStore::stringList(const QString& key) const {
    const QJsonValue v = m_values.value(key);
    if (!v.isArray()) return std::nullopt;
    QStringList out;
    for (const QJsonValue& item : v.toArray()) {
        if (!item.isString()) return std::nullopt;
        out.append(item.toString());
    }
    return out;
}

Result<void> DefaultsStore::setString(const QString& key, const QString& value) {
    m_values.insert(key, value);
    return save();
}

Result<void> DefaultsStore::setStringList(const QString& key, const QStringList& value) {
    m_values.insert(key, QJsonArray::fromStringList(value));
    return save();
}

Result<void> DefaultsStore::remove(const QString& key) {
    if (!m_values.contains(key)) return {};
    m_values.remove(key);
    return save();
}

Result<void> DefaultsStore::save() {
    const QFileInfo info(m_path);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    if (!QDir().mkpath(info.absolutePath())) return ioError(info.absolutePath(), errno ? errno : EACCES);
    ::chmod(dir.constData(), 0700);

    const QByteArray data = QJsonDocument(m_values).toJson(QJsonDocument::Indented);
    QByteArray tmpl = QFile::encodeName(m_path) + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return ioError(m_path, errno);
    int err = 0;
    if (::fchmod(fd, 0600) != 0 || !writeAll(fd, data) || ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmpl.constData(), QFile::encodeName(m_path).constData()) != 0) err = errno;
    if (err) {
        ::unlink(tmpl.constData());
        return ioError(m_path, err);
    }
    // Make the rename itself durable.
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}
