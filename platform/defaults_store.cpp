#include "platform/defaults_store.h"

#include "platform/private_file.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

DefaultsStore* g_installed = nullptr;

const QString readLeadIn = QStringLiteral("Ayarlar okunamadı");

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(Descriptor&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    Descriptor& operator=(Descriptor&& o) noexcept {
        std::swap(m_fd, o.m_fd);
        return *this;
    }
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd = -1;
};

// How a file looked: a stat that matches says it is unchanged, with no read.
struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{}, changed{};

    static Stamp of(const struct stat& st) {
        return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const Stamp& o) const {
        auto same = [](const timespec& a, const timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               same(modified, o.modified) && same(changed, o.changed);
    }
};

// What one read of the file found.
struct Snapshot {
    bool missing = true;
    std::optional<QJsonObject> values; // nullopt with a file: damaged, or it cannot be read
    Descriptor file;                   // the file read, still open
    Stamp stamp;
};

Snapshot readStore(const QString& path) {
    Snapshot out;
    Descriptor fd(PrivateFile::detail::openToRead(path));
    struct stat st {};
    if (fd.get() < 0) {
        out.missing = errno == ENOENT || errno == ENOTDIR;
        return out;
    }
    out.missing = false;
    if (::fstat(fd.get(), &st) == 0) out.stamp = Stamp::of(st);
    const Result<QByteArray> bytes =
        PrivateFile::detail::readFrom(fd.get(), DefaultsStore::maxFileSize + 1, path, readLeadIn);
    out.file = std::move(fd);
    if (!bytes) return out;
    // Any object is a store; the kinds of its values are checked as they are read.
    Result<QJsonObject> decoded = PrivateFile::decodeJson<QJsonObject>(
        *bytes, DefaultsStore::maxFileSize, readLeadIn, [](JsonDecoder&, const QJsonObject& o) { return o; });
    if (decoded) out.values = std::move(*decoded);
    return out;
}

// The right to change the file, among every copy of the program. The file itself is replaced by
// rename, so the lock is taken on one beside it. flock dies with its holder: a lock file left by a
// killed copy blocks no one. The holder removes the lock file as it lets go, so none is left behind;
// a waiter that got the lock of a removed file tries again with the one now at the path.
class WriteLock {
public:
    static Result<WriteLock> take(const QString& path) {
        const QByteArray name = QFile::encodeName(path);
        const QDeadlineTimer deadline(DefaultsStore::lockWaitMs);
        for (;;) {
            // Never followed: a link planted here would have us create or lock a file elsewhere.
            Descriptor fd(::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
            struct stat held {};
            const int openErr = fd.get() < 0 ? errno : 0;
            const bool plain = fd.get() >= 0 && ::fstat(fd.get(), &held) == 0 && S_ISREG(held.st_mode);
            if (!plain) {
                // Only a regular file is ever a lock; anything else at the path (a link, a folder, a
                // FIFO, a socket) was put there by someone else and would fail every save from now on.
                if (openErr != 0 && openErr != ELOOP && openErr != EISDIR && openErr != ENXIO)
                    return PrivateFile::ioError(path, openErr);
                if (PrivateFile::setAside(path).isEmpty() || deadline.hasExpired())
                    return PrivateFile::ioError(path, openErr != 0 ? openErr : EINVAL);
                continue;
            }
            // Polled, not waited for: a copy that hangs holding it must not hang this one too.
            int pauseMs = 1;
            while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
                const int err = errno;
                if (err == EINTR) continue;
                if (err != EWOULDBLOCK || deadline.hasExpired()) return PrivateFile::ioError(path, err);
                ::usleep(useconds_t(pauseMs) * 1000);
                pauseMs = qMin(pauseMs * 2, 8);
            }
            struct stat named {};
            if (::lstat(name.constData(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                return WriteLock(name, std::move(fd));
            if (deadline.hasExpired()) return PrivateFile::ioError(path, EWOULDBLOCK);
        }
    }
    WriteLock(WriteLock&&) = default;
    ~WriteLock() {
        if (m_fd.get() >= 0) ::unlink(m_name.constData());
    }

private:
    WriteLock(QByteArray name, Descriptor fd) : m_name(std::move(name)), m_fd(std::move(fd)) {}
    QByteArray m_name;
    Descriptor m_fd;
};

Error notSaved(Error error) {
    error.message = QStringLiteral("Ayarlar kaydedilemedi: %1").arg(error.message);
    return error;
}

} // namespace

// Kept open so that its inode number cannot be handed to a newer file with the same size and time.
struct DefaultsStore::Seen {
    Descriptor file;
    Stamp stamp;
    bool damaged = false;

    void take(Snapshot& s) {
        file = std::move(s.file);
        stamp = s.stamp;
        damaged = !s.missing && !s.values;
    }
};

DefaultsStore::DefaultsStore(QString filePath)
    : m_path(std::move(filePath)), m_seen(std::make_unique<Seen>()) {
    load();
}

DefaultsStore::~DefaultsStore() = default;

QString DefaultsStore::defaultPath() { return PrivateFile::configPath(QStringLiteral("defaults.json")); }

DefaultsStore& DefaultsStore::shared() {
    if (g_installed) return *g_installed;
    static DefaultsStore store(defaultPath());
    return store;
}

void DefaultsStore::setShared(DefaultsStore* store) { g_installed = store; }

void DefaultsStore::load() {
    Snapshot now = readStore(m_path);
    if (!now.missing && !now.values) {
        // Only under the lock: another copy may be putting a good file in its place right now. One
        // that cannot be opened goes aside too: kept to inspect, and the path is free for the next save.
        if (Result<WriteLock> lock = WriteLock::take(m_path + QStringLiteral(".lock"))) {
            now = readStore(m_path);
            if (!now.missing && !now.values) {
                m_setAside = PrivateFile::setAside(m_path);
                now = Snapshot{};
            }
        }
    }
    m_seen->take(now);
    if (now.values) adopt(std::move(*now.values));
}

void DefaultsStore::refresh() const {
    struct stat st {};
    Stamp stamp;
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0)
        stamp = Stamp::of(st);
    else if (errno != ENOENT && errno != ENOTDIR)
        return; // cannot tell now
    if (stamp == m_seen->stamp) return;
    Snapshot now = readStore(m_path);
    m_seen->take(now);
    if (now.missing) adopt({});
    // A damaged file keeps the view as it was; the next write sets it aside under the lock.
    else if (now.values) adopt(std::move(*now.values));
}

void DefaultsStore::adopt(QJsonObject file, const QString& writing) const {
    for (auto it = m_unsaved.begin(); it != m_unsaved.end();) {
        if (it.key() == writing) {
            it->base = file.value(it.key());
        } else if (file.value(it.key()) != it->base) {
            // Another copy has written the key since: the newer value holds.
            it = m_unsaved.erase(it);
            continue;
        }
        ++it;
    }
    m_file = std::move(file);
    m_values = m_file;
    for (auto it = m_unsaved.cbegin(); it != m_unsaved.cend(); ++it) {
        if (it->value) m_values.insert(it.key(), *it->value);
        else m_values.remove(it.key());
    }
}

std::optional<QString> DefaultsStore::string(const QString& key) const {
    refresh();
    const QJsonValue v = m_values.value(key);
    if (!v.isString()) return std::nullopt;
    return v.toString();
}

std::optional<QStringList> DefaultsStore::stringList(const QString& key) const {
    refresh();
    const QJsonValue v = m_values.value(key);
    if (!v.isArray()) return std::nullopt;
    QStringList out;
    for (const QJsonValue& item : v.toArray()) {
        if (!item.isString()) return std::nullopt;
        out.append(item.toString());
    }
    return out;
}

bool DefaultsStore::contains(const QString& key) const {
    refresh();
    return m_values.contains(key);
}

Result<void> DefaultsStore::setString(const QString& key, const QString& value) {
    return change(key, QJsonValue(value));
}

Result<void> DefaultsStore::setStringList(const QString& key, const QStringList& value) {
    return change(key, QJsonArray::fromStringList(value));
}

Result<void> DefaultsStore::remove(const QString& key) {
    if (!contains(key)) return {};
    return change(key, std::nullopt);
}

// Read, change one key, replace: all under the lock, so that no other copy's write falls in between.
Result<void> DefaultsStore::change(const QString& key, std::optional<QJsonValue> value) {
    refresh();
    // What the file already holds is not written again (the address refresh stores its unchanged
    // findings every 30 s: two renames and four fsyncs each time), unless the file is damaged, which
    // only a write sets aside, or changes of ours still wait for one.
    const bool held = value ? m_file.contains(key) && m_file.value(key) == *value : !m_file.contains(key);
    if (held && m_unsaved.isEmpty() && !m_seen->damaged) return {};
    m_unsaved.insert(key, Unsaved{std::move(value), m_file.value(key)});
    adopt(m_file, key);

    if (Result<void> made = PrivateFile::makeFolder(m_path); !made) return notSaved(made.error());
    Result<WriteLock> lock = WriteLock::take(m_path + QStringLiteral(".lock"));
    if (!lock) return notSaved(lock.error());
    Snapshot now = readStore(m_path);
    if (!now.missing && !now.values) {
        // Nothing of a damaged file is carried over, and none of what this copy last saw of it.
        m_setAside = PrivateFile::setAside(m_path);
        now = Snapshot{};
    }
    m_seen->take(now);
    adopt(now.values.value_or(QJsonObject()), key);

    const QByteArray data = QJsonDocument(m_values).toJson(QJsonDocument::Indented);
    const Result<void> written = PrivateFile::write(m_path, data);
    if (!written) return notSaved(written.error());
    m_file = m_values;
    m_unsaved.clear();
    // Still under the lock, so what is at the path is what was just written.
    Snapshot ours;
    ours.file = Descriptor(PrivateFile::detail::openToRead(m_path));
    struct stat st {};
    if (ours.file.get() >= 0 && ::fstat(ours.file.get(), &st) == 0) ours.stamp = Stamp::of(st);
    else ours.stamp = Stamp{true}; // matches no stat: the next read looks again
    m_seen->take(ours);
    return {};
}
