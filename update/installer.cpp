#include "update/installer.h"

#include "update/bundle.h"

#include "platform/config.h"
#include "platform/http.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QUrl>

#include <qcoro/qcoroprocess.h>
#include <qcoro/qcorosignal.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace Updater {

namespace {

// Larger than any bundle we ship; a bigger body is not an update.
constexpr qint64 maxImageBytes = 1024LL * 1024 * 1024;

Error platformError(const QString& text, int code = 0) { return Error{Error::Kind::Io, text, code}; }

// The mount case; which tool failed, and how, goes in the detail.
Error toolFailed(const QString& how) {
    Error e = updateError(UpdateError::mount);
    e.detail = how;
    return e;
}

// A download we refuse ourselves: the download case's own text, and why in the detail.
Error downloadError(const QString& why) {
    Error e = updateError(UpdateError::download);
    e.detail = why;
    return e;
}

bool isWebAddress(const QUrl& url) {
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

// A manifest fetched over https that sends us to plain http would let anyone on the path swap the
// image. This machine cannot be on the path, and an http website (tests, the demo) has nothing to lose.
bool trustedSource(const QUrl& image, const QUrl& webOrigin) {
    return image.scheme() == QLatin1String("https") || webOrigin.scheme() == QLatin1String("http") ||
           QHostAddress(image.host()).isLoopback();
}

Error untrustedSource() { return downloadError(QStringLiteral("Güncelleme dosyası güvenli olmayan bir adresten sunuluyor")); }

QString resolved(const QString& tool) {
    if (tool.startsWith(QLatin1Char('/'))) return tool;
    return QStandardPaths::findExecutable(tool);
}

// Single-quoted for sh, whatever the path holds.
QString shellQuoted(const QString& s) {
    QString out = s;
    out.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

// Best effort and bounded: used where a failure changes nothing (leftover and clean-up unmounts).
void unmountQuietly(const QString& unmountTool, const QString& mountPoint) {
    const QString tool = resolved(unmountTool);
    if (tool.isEmpty()) return;
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(tool, {QStringLiteral("-u"), QStringLiteral("-q"), mountPoint});
    if (!p.waitForStarted(5'000)) return;
    if (!p.waitForFinished(10'000)) {
        p.kill();
        p.waitForFinished(2'000);
    }
}

// Runs the clean-up unmount on every way out once the image is mounted.
struct MountedImage {
    QString unmountTool;
    QString mountPoint;
    ~MountedImage() {
        unmountQuietly(unmountTool, mountPoint);
        QDir().rmdir(mountPoint);
    }
};

// The mount point, created fresh and private: nobody else can have prepared it.
Result<void> freshMountPoint(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (QFileInfo(path).isDir() && !QDir().rmdir(path))
        return updateError(UpdateError::mount); // still mounted, or not empty: not ours to reuse
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        if (!QFile::remove(path)) return updateError(UpdateError::mount);
    }
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0) {
        const int err = errno;
        return platformError(QStringLiteral("Bağlama noktası oluşturulamadı: %1 (%2)")
                                 .arg(path, QString::fromLocal8Bit(std::strerror(err))),
                             err);
    }
    return {};
}

// A bundle we refuse: the case's own text, and why in the detail.
Error refused(UpdateError kind, const QString& why) {
    Error e = updateError(kind);
    e.detail = why;
    return e;
}

// Room for the unpacked bundle where it goes, counted before anything is copied: a full home is
// reported as such, and never filled by us first.
Result<void> roomFor(const QString& installedApp, const BundleSize& size) {
    QString at = QFileInfo(installedApp).absolutePath();
    while (!QFileInfo::exists(at) && QFileInfo(at).absolutePath() != at) at = QFileInfo(at).absolutePath();
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(at).constData(), &fs) != 0) return {}; // cannot tell; a failed copy is undone
    const qint64 block = fs.f_frsize > 0 ? qint64(fs.f_frsize) : 4096;
    // Every file's last block and every folder take a whole block.
    const qint64 need = size.bytes + size.entries * block;
    const qint64 free = qint64(fs.f_bavail) * block;
    const bool inodes = fs.f_files == 0 || qint64(fs.f_favail) >= size.entries;
    if (need <= free && inodes) return {};
    const auto mb = [](qint64 bytes) { return QString::number((bytes + 1024 * 1024 - 1) / (1024 * 1024)); };
    return platformError(QStringLiteral("Güncelleme için yeterli yer yok: %1 MB gerekiyor, %2 MB boş (%3)")
                             .arg(mb(need), mb(free), QString::fromLocal8Bit(std::strerror(ENOSPC))),
                         ENOSPC);
}

bool removeTree(const QString& path) {
    const QFileInfo info(path);
    if (info.isSymLink() || info.isFile()) return QFile::remove(path);
    if (!info.exists()) return true;
    return QDir(path).removeRecursively();
}

// Downloads into a temporary file beside the image; the caller moves it into place. Only a whole
// reply comes back: a transfer that breaks, stalls or comes up short removes what it wrote.
QCoro::Task<Result<std::unique_ptr<QTemporaryFile>>> download(QUrl url, QString dir, std::chrono::milliseconds stall,
                                                              QUrl webOrigin) {
    auto file = std::make_unique<QTemporaryFile>(dir + QStringLiteral("/Kestrava-download-XXXXXX"));
    if (!file->open())
        co_return platformError(QStringLiteral("Güncelleme dosyası yazılamadı: %1").arg(file->errorString()));
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(int(stall.count()));
    QPointer<QNetworkReply> reply = Http::manager().get(request);
    bool tooLarge = false;
    bool writeFailed = false;
    bool untrustedRedirect = false;
    QUrl current = url;
    // Each hop is held to the rule of the first address, and none goes from https down to http.
    QObject::connect(reply, &QNetworkReply::redirected, reply, [&, r = reply.data()](const QUrl& to) {
        const QUrl next = current.resolved(to);
        const bool downgrade = current.scheme() == QLatin1String("https") && next.scheme() != QLatin1String("https");
        if (downgrade || !isWebAddress(next) || !trustedSource(next, webOrigin)) {
            untrustedRedirect = true;
            r->abort();
            return;
        }
        current = next;
        Q_EMIT r->redirectAllowed();
    });
    QTemporaryFile* out = file.get();
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [&, r = reply.data()] {
        const QByteArray chunk = r->readAll();
        if (out->size() + chunk.size() > maxImageBytes) {
            tooLarge = true;
            r->abort();
            return;
        }
        if (out->write(chunk) != chunk.size()) {
            writeFailed = true;
            r->abort();
        }
    });
    if (!reply->isFinished()) co_await qCoro(reply.data(), &QNetworkReply::finished);
    reply->deleteLater();
    if (untrustedRedirect) co_return untrustedSource();
    if (tooLarge) co_return downloadError(QStringLiteral("Güncelleme dosyası beklenenden büyük"));
    if (writeFailed)
        co_return platformError(QStringLiteral("Güncelleme dosyası yazılamadı: %1").arg(file->errorString()));
    // An error page is a reply like any other and is saved; a reply that did not arrive whole is not,
    // and its failure is the platform's own, as every transport failure of the download.
    if (reply->error() != QNetworkReply::NoError && !Http::isStatusReply(*reply))
        co_return Error{Error::Kind::Transport, reply->errorString(), int(reply->error())};
    const QByteArray rest = reply->readAll();
    if (!rest.isEmpty() && file->write(rest) != rest.size())
        co_return platformError(QStringLiteral("Güncelleme dosyası yazılamadı: %1").arg(file->errorString()));
    if (!file->flush())
        co_return platformError(QStringLiteral("Güncelleme dosyası yazılamadı: %1").arg(file->errorString()));
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != file->size())
        co_return downloadError(QStringLiteral("%1 bayttan %2 bayt geldi").arg(length.toLongLong()).arg(file->size()));
    co_return std::move(file);
}

// Closes every descriptor from `from` up, except `keep`. Called between fork and exec: system calls only.
void closeDescriptorsFrom(int from, int keep, int limit) {
    const bool below = keep <= from || ::close_range(unsigned(from), unsigned(keep - 1), 0) == 0;
    if (below && ::close_range(unsigned(keep + 1), ~0U, 0) == 0) return;
    for (int fd = from; fd < limit; ++fd) // a kernel without close_range
        if (fd != keep) ::close(fd);
}

// Starts the hand-off with nothing of ours: a session of its own, /dev/null for its standard streams
// and no other descriptor, so whoever reads our output sees its end when we quit, not when the new
// copy does. Forked twice, so that it is never our child to wait for.
Result<void> startHandOff(const QString& program, const QStringList& arguments) {
    QList<QByteArray> args{QFile::encodeName(program)};
    for (const QString& a : arguments) args.append(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    rlimit files{};
    const int limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? int(files.rlim_cur) : 65536;
    const auto failed = [&](int err) {
        return platformError(QStringLiteral("%1 başlatılamadı: %2").arg(program, QString::fromLocal8Bit(std::strerror(err))), err);
    };

    // The grandchild's exec closes this pipe; a failure to get there writes its errno first.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return failed(errno);
    const pid_t middle = ::fork();
    if (middle < 0) {
        const int err = errno;
        ::close(report[0]);
        ::close(report[1]);
        return failed(err);
    }
    if (middle == 0) {
        // Only async-signal-safe calls until exec.
        ::setsid();
        const pid_t child = ::fork();
        if (child != 0) {
            if (child < 0) {
                const int err = errno;
                (void)!::write(report[1], &err, sizeof err);
            }
            ::_exit(0);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int keep = ::fcntl(report[1], F_DUPFD_CLOEXEC, 3);
        const int null = ::open("/dev/null", O_RDWR);
        if (keep >= 0 && null >= 0 && ::dup2(null, 0) == 0 && ::dup2(null, 1) == 1 && ::dup2(null, 2) == 2) {
            closeDescriptorsFrom(3, keep, limit);
            ::execv(argv[0], argv.data());
        }
        const int err = errno;
        (void)!::write(keep >= 0 ? keep : report[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(report[1]);
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n = 0;
    while ((n = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == sizeof err) return failed(err);
    return {};
}

// Copies the bundle beside the installed one, checks the copy and swaps it in by rename; on any
// failure the installed bundle is exactly as it was and nothing of the new one is left.
QCoro::Task<Result<void>> installBundle(QString source, QString version, InstallPlan plan) {
    const QFileInfo target(plan.installedApp);
    const QString parent = target.absolutePath();
    const bool hadParent = QFileInfo(parent).isDir();
    if (!QDir().mkpath(parent))
        co_return platformError(QStringLiteral("Uygulama klasörü oluşturulamadı: %1").arg(parent));
    // A folder made for a bundle that never came is not left behind either.
    struct MadeParent {
        QString path;
        bool keep;
        ~MadeParent() {
            if (!keep) QDir().rmdir(path);
        }
    } madeParent{parent, hadParent};
    const QString staging = parent + QStringLiteral("/.") + target.fileName() + QStringLiteral(".new-%1").arg(plan.processId);
    const QString old = parent + QStringLiteral("/.") + target.fileName() + QStringLiteral(".old-%1").arg(plan.processId);
    removeTree(staging);
    const QStringList copyArgs{QStringLiteral("-a"), QStringLiteral("--"), source, staging};
    const Result<int> copied = co_await runProcess(plan.copyTool, copyArgs, plan.toolLimit);
    if (!copied) {
        removeTree(staging);
        co_return copied.error();
    }
    // Our own copy now, which nobody else can change before the swap: every link stays inside, the
    // program runs here and the bundle is the version offered.
    std::optional<QString> problem = linkLeavingBundle(staging);
    if (!problem) problem = bundleProblem(staging, version);
    if (problem) {
        removeTree(staging);
        co_return refused(UpdateError::appNotFound, *problem);
    }
    removeTree(old);
    const bool hadOne = QFileInfo::exists(plan.installedApp) || QFileInfo(plan.installedApp).isSymLink();
    if (hadOne && !QFile::rename(plan.installedApp, old)) {
        removeTree(staging);
        co_return updateError(UpdateError::mount);
    }
    if (!QFile::rename(staging, plan.installedApp)) {
        if (hadOne) QFile::rename(old, plan.installedApp);
        removeTree(staging);
        co_return updateError(UpdateError::mount);
    }
    if (hadOne) removeTree(old);
    madeParent.keep = true;
    co_return Result<void>();
}

} // namespace

Error updateError(UpdateError e) {
    switch (e) {
    case UpdateError::download:
        return Error{Error::Kind::Update, QStringLiteral("Güncelleme indirilemedi"), int(e), QStringLiteral("download")};
    case UpdateError::mount:
        return Error{Error::Kind::Update, QStringLiteral("Güncelleme görüntüsü açılamadı"), int(e), QStringLiteral("mount")};
    case UpdateError::appNotFound:
        return Error{Error::Kind::Update, QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı"), int(e),
                     QStringLiteral("appNotFound")};
    }
    return Error{Error::Kind::Update, QString()};
}

InstallPlan InstallPlan::forThisUser() {
    InstallPlan plan;
    plan.imageDir = QDir::tempPath();
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString privateDir = !runtime.isEmpty() && QFileInfo(runtime).isDir()
                                   ? runtime
                                   : QDir::homePath() + QStringLiteral("/.cache/kestrava");
    plan.mountPoint = privateDir + QStringLiteral("/kestrava-update-mount");
    plan.installedApp = perUserBundle();
    plan.processId = QCoreApplication::applicationPid();
    plan.webOrigin = Config::webOrigin();
    plan.terminate = [] {
        if (auto* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    };
    return plan;
}

QCoro::Task<Result<int>> runProcess(QString executable, QStringList arguments, std::chrono::milliseconds limit) {
    const QString program = resolved(executable);
    if (program.isEmpty())
        co_return platformError(QStringLiteral("Araç bulunamadı: %1").arg(executable));
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // The tool sees our own standard streams and environment.
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start();
    if (!process.waitForStarted(10'000))
        co_return platformError(QStringLiteral("%1 başlatılamadı: %2").arg(executable, process.errorString()));
    const bool finished = co_await qCoro(process).waitForFinished(limit);
    if (!finished) {
        process.kill();
        process.waitForFinished(2'000);
        co_return toolFailed(QStringLiteral("%1 did not finish in time").arg(executable));
    }
    if (process.exitStatus() != QProcess::NormalExit)
        co_return toolFailed(QStringLiteral("%1 ended by a signal").arg(executable));
    if (process.exitCode() != 0)
        co_return toolFailed(QStringLiteral("%1 exited with %2").arg(executable).arg(process.exitCode()));
    co_return 0;
}

std::optional<QString> imageFileName(const QString& version) {
    if (version.contains(QLatin1Char('/')) || version.contains(QLatin1Char('\\')) || version.contains(QLatin1String("..")))
        return std::nullopt;
    QString safe;
    for (const QChar c : version) {
        if (c.category() == QChar::Other_Control) return std::nullopt;
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('-') ||
            c == QLatin1Char('_') || c == QLatin1Char('+'))
            safe += c;
    }
    if (safe.isEmpty() || safe == QLatin1String(".")) return std::nullopt;
    return QStringLiteral("Kestrava-update-") + safe.left(64) + QStringLiteral(".squashfs");
}

QString handOffScript(qint64 processId, const QString& unmountTool, const QString& mountPoint,
                      const QString& installedApp) {
    return QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 0.5; done\n").arg(processId) +
           shellQuoted(unmountTool) + QStringLiteral(" -u -q ") + shellQuoted(mountPoint) +
           QStringLiteral(" 2>/dev/null\n") +
           shellQuoted(installedApp + QLatin1Char('/') + QLatin1String(bundleProgram));
}

QCoro::Task<Result<void>> downloadAndInstall(Info info) {
    co_return co_await downloadAndInstall(std::move(info), InstallPlan::forThisUser());
}

QCoro::Task<Result<void>> downloadAndInstall(Info info, InstallPlan plan) {
    // Only a web address is an update; a file: or data: one would read this machine instead.
    const QUrl url(info.url, QUrl::StrictMode);
    if (info.url.trimmed().isEmpty() || !isWebAddress(url)) co_return updateError(UpdateError::download);
    if (!trustedSource(url, plan.webOrigin)) co_return untrustedSource();
    const std::optional<QString> fileName = imageFileName(info.version);
    if (!fileName) co_return updateError(UpdateError::download);
    const QString imagePath = plan.imageDir + QLatin1Char('/') + *fileName;

    // The body, whatever the status.
    Result<std::unique_ptr<QTemporaryFile>> downloaded = co_await download(url, plan.imageDir, plan.transferStall, plan.webOrigin);
    if (!downloaded) co_return downloaded.error();

    // Into place under the versioned name.
    QFile::remove(imagePath);
    std::unique_ptr<QTemporaryFile> file = std::move(downloaded.value());
    file->close();
    if (!file->rename(imagePath))
        co_return platformError(QStringLiteral("Güncelleme dosyası taşınamadı: %1").arg(file->errorString()));
    file->setAutoRemove(false);
    // An update that fails from here leaves no image behind; one that succeeds keeps it.
    struct KeptImage {
        QString path;
        bool keep = false;
        ~KeptImage() {
            if (!keep) QFile::remove(path);
        }
    } keptImage{imagePath};

    // A leftover mount of an earlier run goes first; the folder is made anew.
    unmountQuietly(plan.unmountTool, plan.mountPoint);
    if (Result<void> fresh = freshMountPoint(plan.mountPoint); !fresh) co_return fresh.error();

    // Mount.
    const QStringList mountArgs{imagePath, plan.mountPoint};
    const Result<int> ran = co_await runProcess(plan.mountTool, mountArgs, plan.toolLimit);
    if (!ran) {
        QDir().rmdir(plan.mountPoint);
        co_return ran.error();
    }
    // Unmounted again on every way out from here.
    MountedImage guard{plan.unmountTool, plan.mountPoint};

    // The first bundle folder, in the listing's own order.
    QDir mounted(plan.mountPoint);
    if (!mounted.exists() || !mounted.isReadable())
        co_return platformError(QStringLiteral("Güncelleme görüntüsü okunamadı: %1").arg(plan.mountPoint));
    const QStringList names = mounted.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                                QDir::Unsorted);
    // A link named like a bundle is none: it would install whatever it points at.
    QString bundle;
    for (const QString& name : names) {
        struct stat st {};
        if (name.endsWith(QLatin1String(".app")) && ::lstat(QFile::encodeName(mounted.filePath(name)).constData(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            bundle = name;
            break;
        }
    }
    if (bundle.isEmpty()) co_return updateError(UpdateError::appNotFound);

    // Walked in the image's own tables before a byte is copied: nothing but folders, files and
    // links that stay inside, no bigger than a bundle can be, and room for it at home.
    const Result<BundleSize, Refused> size = inspectBundle(mounted.filePath(bundle));
    if (!size)
        co_return refused(size.error().tooLarge ? UpdateError::mount : UpdateError::appNotFound, size.error().why);
    if (Result<void> room = roomFor(plan.installedApp, *size); !room) co_return room.error();

    // Installed under our own name, whatever the image calls it.
    if (Result<void> installed = co_await installBundle(mounted.filePath(bundle), info.version, plan); !installed)
        co_return installed.error();

    // The hand-off outlives this process.
    const QString script = handOffScript(plan.processId, plan.unmountTool, plan.mountPoint, plan.installedApp);
    const QString shell = resolved(plan.shell);
    if (shell.isEmpty()) co_return platformError(QStringLiteral("Araç bulunamadı: %1").arg(plan.shell));
    if (Result<void> started = startHandOff(shell, {QStringLiteral("-c"), script}); !started)
        co_return started.error();

    // Quit through the application's normal path; if it stays, the update still succeeded.
    keptImage.keep = true;
    if (plan.terminate) plan.terminate();
    co_return Result<void>();
}

} // namespace Updater
