#include "update/bundle.h"

#include "update/updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Updater {

namespace {

constexpr qint64 maxInfoBytes = 64 * 1024;

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

QString errorText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// Whether a link at `linkDir` (relative to the bundle, "" for its top) naming `target` stays inside,
// judged by name alone.
bool staysInside(const QString& linkDir, const QByteArray& target) {
    if (target.isEmpty() || target.startsWith('/')) return false;
    QStringList at = linkDir.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QByteArray& part : target.split('/')) {
        if (part.isEmpty() || part == ".") continue;
        if (part == "..") {
            if (at.isEmpty()) return false;
            at.removeLast();
        } else {
            at.append(QFile::decodeName(part));
        }
    }
    return true;
}

QByteArray linkTarget(const QByteArray& path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.constData(), buffer, sizeof buffer);
    return n < 0 || size_t(n) >= sizeof buffer ? QByteArray() : QByteArray(buffer, int(n));
}

// Visits every entry below `bundle` by lstat, depth first, folders included; `visit` gets the path
// relative to the bundle and the stat, and stops the walk by returning a reason.
template <class Visit> std::optional<QString> walk(const QString& bundle, Visit visit) {
    std::vector<QString> folders{QString()};
    qint64 seen = 0;
    while (!folders.empty()) {
        const QString rel = folders.back();
        folders.pop_back();
        const QByteArray dirPath = QFile::encodeName(rel.isEmpty() ? bundle : bundle + QLatin1Char('/') + rel);
        DIR* dir = ::opendir(dirPath.constData());
        if (!dir) return QStringLiteral("%1 okunamadı (%2)").arg(QFile::decodeName(dirPath), errorText(errno));
        std::optional<QString> stop;
        while (!stop) {
            errno = 0;
            const dirent* e = ::readdir(dir);
            if (!e) {
                if (errno != 0) stop = QStringLiteral("%1 okunamadı (%2)").arg(QFile::decodeName(dirPath), errorText(errno));
                break;
            }
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (++seen > maxBundleEntries) {
                stop = QStringLiteral("uygulama %1 ögeden fazlasını tutuyor").arg(maxBundleEntries);
                break;
            }
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                stop = QStringLiteral("%1 okunamadı (%2)").arg(QFile::decodeName(e->d_name), errorText(errno));
                break;
            }
            const QString child = rel.isEmpty() ? QFile::decodeName(e->d_name) : rel + QLatin1Char('/') + QFile::decodeName(e->d_name);
            stop = visit(child, st);
            if (!stop && S_ISDIR(st.st_mode)) folders.push_back(child);
        }
        ::closedir(dir);
        if (stop) return stop;
    }
    return std::nullopt;
}

QString parentOf(const QString& rel) {
    const qsizetype slash = rel.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : rel.left(slash);
}

// How many times `key` is a key of the top-level object of `json`, which already parsed as JSON.
// The parser keeps one of two equal keys silently; a file naming two versions is not to be trusted.
int topLevelKeyCount(const QByteArray& json, const QString& key) {
    int depth = 0;
    int count = 0;
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '"') {
            qsizetype j = i + 1;
            while (j < json.size() && json[j] != '"') j += json[j] == '\\' ? 2 : 1;
            const QByteArray raw = json.mid(i, j - i + 1);
            qsizetype k = j + 1;
            while (k < json.size() && (json[k] == ' ' || json[k] == '\t' || json[k] == '\n' || json[k] == '\r')) ++k;
            if (depth == 1 && k < json.size() && json[k] == ':' &&
                QJsonDocument::fromJson("[" + raw + "]").array().at(0).toString() == key)
                ++count;
            i = j;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return count;
}

// The kind of program this process is: class, byte order and machine of its own ELF header.
const ElfW(Ehdr)* ownHeader() {
    static const std::optional<ElfW(Ehdr)> header = []() -> std::optional<ElfW(Ehdr)> {
        Fd f{::open("/proc/self/exe", O_RDONLY | O_CLOEXEC)};
        ElfW(Ehdr) h{};
        if (f.fd < 0 || ::pread(f.fd, &h, sizeof h, 0) != ssize_t(sizeof h)) return std::nullopt;
        return h;
    }();
    return header ? &*header : nullptr;
}

} // namespace

Result<BundleSize, Refused> inspectBundle(const QString& bundle) {
    struct stat top {};
    if (::lstat(QFile::encodeName(bundle).constData(), &top) != 0)
        return Refused{QStringLiteral("%1 okunamadı (%2)").arg(bundle, errorText(errno))};
    if (!S_ISDIR(top.st_mode)) return Refused{QStringLiteral("%1 bir klasör değil").arg(QFileInfo(bundle).fileName())};
    BundleSize size;
    bool tooLarge = false;
    const std::optional<QString> stop = walk(bundle, [&](const QString& rel, const struct stat& st) -> std::optional<QString> {
        ++size.entries;
        if (S_ISLNK(st.st_mode)) {
            const QByteArray target = linkTarget(QFile::encodeName(bundle + QLatin1Char('/') + rel));
            if (!staysInside(parentOf(rel), target))
                return QStringLiteral("%1 uygulamanın dışını gösteriyor (%2)").arg(rel, QFile::decodeName(target));
        } else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            return QStringLiteral("%1 ne dosya ne klasör").arg(rel);
        }
        if (!S_ISDIR(st.st_mode)) size.bytes += qint64(st.st_size);
        tooLarge = size.bytes > maxBundleBytes;
        if (tooLarge)
            return QStringLiteral("uygulama açılınca %1 MB'tan büyük").arg(maxBundleBytes / (1024 * 1024));
        return std::nullopt;
    });
    if (stop) return Refused{*stop, tooLarge || size.entries >= maxBundleEntries};
    return size;
}

std::optional<QString> linkLeavingBundle(const QString& bundle) {
    const QString root = QFileInfo(bundle).canonicalFilePath();
    if (root.isEmpty()) return QStringLiteral("%1 okunamadı").arg(bundle);
    return walk(bundle, [&](const QString& rel, const struct stat& st) -> std::optional<QString> {
        if (!S_ISLNK(st.st_mode)) return std::nullopt;
        const QString path = bundle + QLatin1Char('/') + rel;
        const QByteArray target = linkTarget(QFile::encodeName(path));
        // By name, and where it really lands: a link through another link may climb out.
        const QString lands = QFileInfo(path).canonicalFilePath();
        if (!staysInside(parentOf(rel), target) ||
            (!lands.isEmpty() && lands != root && !lands.startsWith(root + QLatin1Char('/'))))
            return QStringLiteral("%1 uygulamanın dışını gösteriyor (%2)").arg(rel, QFile::decodeName(target));
        return std::nullopt;
    });
}

std::optional<QString> programProblem(const QString& program) {
    const QByteArray path = QFile::encodeName(program);
    const QString name = QFileInfo(program).fileName();
    Fd f{::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (f.fd < 0) return QStringLiteral("%1 açılamadı (%2)").arg(name, errorText(errno));
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return QStringLiteral("%1 bir dosya değil").arg(name);
    if (::access(path.constData(), X_OK) != 0 || (st.st_mode & 0111) == 0)
        return QStringLiteral("%1 çalıştırılabilir değil").arg(name);
    const qint64 size = st.st_size;
    ElfW(Ehdr) h{};
    if (::pread(f.fd, &h, sizeof h, 0) != ssize_t(sizeof h) || std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0)
        return QStringLiteral("%1 bir program değil").arg(name);
    const ElfW(Ehdr)* own = ownHeader();
    if (!own || h.e_ident[EI_CLASS] != own->e_ident[EI_CLASS] || h.e_ident[EI_DATA] != own->e_ident[EI_DATA] ||
        h.e_machine != own->e_machine)
        return QStringLiteral("%1 bu bilgisayarın mimarisi için değil").arg(name);
    if (h.e_type != ET_EXEC && h.e_type != ET_DYN) return QStringLiteral("%1 bir program değil").arg(name);
    const QString cut = QStringLiteral("%1 eksik (yarıda kesilmiş)").arg(name);
    if (h.e_phentsize != sizeof(ElfW(Phdr)) || h.e_phnum == 0 ||
        qint64(h.e_phoff) + qint64(h.e_phnum) * h.e_phentsize > size)
        return cut;
    // The section table comes last in the file: a file cut anywhere before its end loses it.
    if (h.e_shoff != 0 && qint64(h.e_shoff) + qint64(h.e_shnum) * h.e_shentsize > size) return cut;
    std::vector<ElfW(Phdr)> segments(h.e_phnum);
    const ssize_t want = ssize_t(segments.size() * sizeof(ElfW(Phdr)));
    if (::pread(f.fd, segments.data(), size_t(want), off_t(h.e_phoff)) != want) return cut;
    for (const ElfW(Phdr)& p : segments) {
        if (qint64(p.p_offset) + qint64(p.p_filesz) > size) return cut;
        if (p.p_type != PT_INTERP) continue;
        if (p.p_filesz < 2 || p.p_filesz > PATH_MAX) return QStringLiteral("%1 bir program değil").arg(name);
        QByteArray interpreter(qsizetype(p.p_filesz), '\0');
        if (::pread(f.fd, interpreter.data(), p.p_filesz, off_t(p.p_offset)) != ssize_t(p.p_filesz) ||
            interpreter.back() != '\0')
            return cut;
        interpreter.chop(1);
        if (::access(interpreter.constData(), X_OK) != 0)
            return QStringLiteral("%1 için gereken %2 bu bilgisayarda yok").arg(name, QFile::decodeName(interpreter));
    }
    return std::nullopt;
}

Result<QString, Refused> infoVersion(const QString& infoPath) {
    Fd f{::open(QFile::encodeName(infoPath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (f.fd < 0) return Refused{QStringLiteral("Info.json açılamadı (%1)").arg(errorText(errno))};
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return Refused{QStringLiteral("Info.json bir dosya değil")};
    if (st.st_size > maxInfoBytes) return Refused{QStringLiteral("Info.json çok büyük")};
    QByteArray bytes(qsizetype(st.st_size), '\0');
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(f.fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    bytes.truncate(got);
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) return Refused{QStringLiteral("Info.json okunamadı: %1").arg(error.errorString())};
    if (!doc.isObject()) return Refused{QStringLiteral("Info.json bir JSON nesnesi değil")};
    const QString key = QStringLiteral("version");
    const int keys = topLevelKeyCount(bytes, key);
    if (keys > 1) return Refused{QStringLiteral("Info.json birden çok sürüm söylüyor")};
    const QJsonValue v = doc.object().value(key);
    if (keys == 0 || !v.isString() || v.toString().isEmpty()) return Refused{QStringLiteral("Info.json sürüm söylemiyor")};
    return v.toString();
}

std::optional<QString> bundleProblem(const QString& bundle, const QString& version) {
    if (std::optional<QString> p = programProblem(bundle + QLatin1Char('/') + QLatin1String(bundleProgram))) return p;
    const Result<QString, Refused> v = infoVersion(bundle + QLatin1Char('/') + QLatin1String(bundleInfo));
    if (!v) return v.error().why;
    if (*v != version) return QStringLiteral("Info.json %1 diyor, sunulan sürüm %2").arg(*v, version);
    return std::nullopt;
}

QString perUserBundle() { return QDir::homePath() + QStringLiteral("/Applications/Kestrava.app"); }

std::optional<QString> newerCopyThan(const QString& ownBundle, const QString& userBundle) {
    struct stat st {};
    if (::lstat(QFile::encodeName(userBundle).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    const QString own = QFileInfo(ownBundle).canonicalFilePath();
    if (own.isEmpty() || own == QFileInfo(userBundle).canonicalFilePath()) return std::nullopt;
    const Result<QString, Refused> mine = infoVersion(userBundle + QLatin1Char('/') + QLatin1String(bundleInfo));
    const Result<QString, Refused> ours = infoVersion(ownBundle + QLatin1Char('/') + QLatin1String(bundleInfo));
    if (!mine || !ours || !isNewer(*mine, *ours)) return std::nullopt;
    const QString program = userBundle + QLatin1Char('/') + QLatin1String(bundleProgram);
    if (programProblem(program)) return std::nullopt;
    return program;
}

void handOverToNewerCopy(char** argv) {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0 || qEnvironmentVariableIsEmpty("HOME")) return;
    // Only a copy started from a bundle (…/Kestrava.app/bin/kestrava) chooses; a build run from the
    // tree is always itself.
    const QString bin = QFileInfo(QFile::decodeName(QByteArray(self, int(n)))).absolutePath();
    if (QFileInfo(bin).fileName() != QLatin1String("bin")) return;
    const std::optional<QString> other = newerCopyThan(QFileInfo(bin).absolutePath(), perUserBundle());
    if (!other) return;
    ::execv(QFile::encodeName(*other).constData(), argv);
    // It would not start: this copy runs instead.
}

} // namespace Updater
