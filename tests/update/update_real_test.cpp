// One real update: bundle v1 of this build installed under a temporary HOME, an update image v2 of the
// same build served by the stand-in service; v1 checks, downloads, mounts with squashfuse, installs,
// quits, and its hand-off starts v2. Skips where FUSE cannot mount.
#include "support/dev_service.h"
#include "support/service_fixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
        int limitMs = 120'000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10'000)) return r;
    if (!p.waitForFinished(limitMs)) {
        p.kill();
        p.waitForFinished(5'000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = p.readAll();
    return r;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The output a pipe gave until it ended or the time ran out.
struct Drained {
    bool ended = false;
    QByteArray data;
};

Drained drain(int fd, int limitMs) {
    Drained d;
    QDeadlineTimer deadline(limitMs);
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            d.ended = true;
            break;
        }
        if (n > 0) d.data.append(buffer, n);
        else if (errno != EINTR) break;
    }
    return d;
}

// A process running program, which this test did not start itself; 0 when there is none.
qint64 runningProgram(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString program = canonical.isEmpty() ? path : canonical;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = name.toLongLong(&ok);
        if (ok && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == program) return pid;
    }
    return 0;
}

bool mounted(const QString& path) {
    return readFile(QStringLiteral("/proc/self/mounts")).contains(" " + QFile::encodeName(path) + " ");
}

const QString scripts = QStringLiteral(KESTRAVA_SOURCE_DIR "/scripts");
const QString build = QStringLiteral(KESTRAVA_BUILD_DIR);

} // namespace

class UpdateRealTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    qint64 m_newCopy = 0; // started by the hand-off, so ended here
    QString m_newProgram; // where it runs from, to find it when a check failed before it was seen

    QString path(const QString& rel) const { return m_dir.path() + QLatin1Char('/') + rel; }

    // A bundle of this build at `at`, saying `version`; copied from one made once per version.
    bool bundle(const QString& at, const QString& version) {
        const QString made = path(QStringLiteral("made/") + version + QStringLiteral("/Kestrava.app"));
        if (!QFileInfo::exists(made)) {
            const Run r = run(scripts + QStringLiteral("/make-bundle"), {build, made, version});
            if (r.exitCode != 0) {
                qWarning("%s", r.output.constData());
                return false;
            }
        }
        QDir(at).removeRecursively();
        QDir().mkpath(QFileInfo(at).absolutePath());
        return run(QStringLiteral("cp"), {QStringLiteral("-a"), made, at}).exitCode == 0;
    }

    // The program as the tray starts it, but without a display: it says its version and ends.
    QByteArray versionRun(const QString& program, const QString& home) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), home);
        return run(program, {}, env, 30'000).output;
    }

    bool endNewCopy() {
        if (m_newCopy <= 0 && !m_newProgram.isEmpty()) m_newCopy = runningProgram(m_newProgram);
        if (m_newCopy <= 0) return true;
        const pid_t pid = pid_t(m_newCopy);
        m_newCopy = 0;
        ::kill(pid, SIGTERM);
        if (QTest::qWaitFor([pid] { return ::kill(pid, 0) != 0; }, 15'000)) return true;
        ::kill(pid, SIGKILL);
        return false;
    }

private Q_SLOTS:
    void cleanup() { endNewCopy(); }

    void initTestCase() {
        for (const char* tool : {"squashfuse", "fusermount3", "mksquashfs"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is missing (packages squashfuse, fuse3, squashfs-tools)").arg(QLatin1String(tool))));
        if (!QFileInfo(QStringLiteral("/dev/fuse")).isWritable()) QSKIP("no usable /dev/fuse here");
        QVERIFY(m_dir.isValid());
        // A probe image: FUSE may be there and still refuse to mount (no privilege in a container).
        QDir().mkpath(path(QStringLiteral("probe/src/P.app")));
        QDir().mkpath(path(QStringLiteral("probe/mnt")));
        const Run image = run(QStringLiteral("mksquashfs"), {path(QStringLiteral("probe/src")), path(QStringLiteral("probe/img")),
                                                              QStringLiteral("-noappend"), QStringLiteral("-quiet"),
                                                              QStringLiteral("-no-progress")});
        QVERIFY2(image.exitCode == 0, image.output.constData());
        const Run mount = run(QStringLiteral("squashfuse"), {path(QStringLiteral("probe/img")), path(QStringLiteral("probe/mnt"))});
        if (mount.exitCode != 0) QSKIP(qPrintable(QStringLiteral("FUSE cannot mount here: %1").arg(QString::fromUtf8(mount.output))));
        run(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-q"), path(QStringLiteral("probe/mnt"))});
    }

    // An image made with mksquashfs whose bundle cannot be trusted, cannot run or does not fit: v1
    // refuses it, says so and stays; its bundle, the temporary folder and the mount are as before.
    void hostileImage_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("homeMb"); // ~/Applications on a tmpfs with this much room beside v1 (root only)
        QTest::newRow("bundle is a link to a planted folder")
            << QStringLiteral("link") << QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı") << 0;
        QTest::newRow("bundle without its program")
            << QStringLiteral("noprogram") << QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı") << 0;
        QTest::newRow("Info.json naming 9.9.9")
            << QStringLiteral("version") << QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı") << 0;
        QTest::newRow("300 MB of zeros into a home with 40 MB free")
            << QStringLiteral("bomb") << QStringLiteral("Güncelleme için yeterli yer yok") << 40;
    }
    void hostileImage() {
        QFETCH(QString, shape);
        QFETCH(QString, text);
        QFETCH(int, homeMb);
        const QString home = path(QStringLiteral("h-home"));
        const QString apps = home + QStringLiteral("/Applications");
        const QString runtime = path(QStringLiteral("h-run"));
        const QString tmp = path(QStringLiteral("h-tmp"));
        for (const QString& d : {runtime, tmp}) {
            QDir(d).removeRecursively();
            QVERIFY(QDir().mkpath(d));
        }
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        struct Unmount {
            QByteArray where;
            ~Unmount() {
                if (!where.isEmpty()) ::umount(where.constData());
            }
        } unmount;
        QDir(home).removeRecursively();
        QVERIFY(QDir().mkpath(apps));
        if (homeMb > 0) {
            if (::geteuid() != 0) QSKIP("needs root to mount a small home");
            const qint64 v1Mb = run(QStringLiteral("du"), {QStringLiteral("-sm"), build + QStringLiteral("/app/kestrava")})
                                    .output.split('\t').value(0).toLongLong() + 8;
            const QByteArray size = "size=" + QByteArray::number(v1Mb + homeMb) + "m";
            if (::mount("tmpfs", QFile::encodeName(apps).constData(), "tmpfs", 0, size.constData()) != 0) QSKIP("cannot mount tmpfs here");
            unmount.where = QFile::encodeName(apps);
        }
        const QString installed = apps + QStringLiteral("/Kestrava.app");
        QVERIFY(bundle(installed, QStringLiteral("1.0.0")));

        const QString root = path(QStringLiteral("h-image"));
        QDir(root).removeRecursively();
        QVERIFY(QDir().mkpath(root));
        if (shape == QLatin1String("link")) {
            QVERIFY(bundle(path(QStringLiteral("planted/Kestrava.app")), QStringLiteral("99")));
            QVERIFY(QFile::link(path(QStringLiteral("planted/Kestrava.app")), root + QStringLiteral("/Kestrava.app")));
        } else {
            QVERIFY(bundle(root + QStringLiteral("/Kestrava.app"), shape == QLatin1String("version") ? QStringLiteral("9.9.9")
                                                                                                    : QStringLiteral("2.0.0")));
        }
        if (shape == QLatin1String("noprogram")) QVERIFY(QFile::remove(root + QStringLiteral("/Kestrava.app/bin/kestrava")));
        if (shape == QLatin1String("bomb")) {
            QFile zeros(root + QStringLiteral("/Kestrava.app/share/zeros"));
            QDir().mkpath(QFileInfo(zeros).absolutePath());
            QVERIFY(zeros.open(QIODevice::WriteOnly) && zeros.resize(300LL * 1024 * 1024));
        }
        const QString image = path(QStringLiteral("served/hostile.squashfs"));
        QDir().mkpath(path(QStringLiteral("served")));
        QFile::remove(image);
        const Run made = run(QStringLiteral("mksquashfs"), {root, image, QStringLiteral("-noappend"), QStringLiteral("-quiet"),
                                                            QStringLiteral("-no-progress"), QStringLiteral("-all-root")});
        QVERIFY2(made.exitCode == 0, made.output.constData());
        QDir(root).removeRecursively();

        DevService service;
        QJsonObject scenario{{QStringLiteral("accounts"), QJsonArray{}}, {QStringLiteral("servers"), QJsonArray{}}};
        QVERIFY(service.start(scenario));
        scenario.insert(QStringLiteral("manifest"),
                        QJsonObject{{QStringLiteral("mac"),
                                     QJsonObject{{QStringLiteral("version"), QStringLiteral("2.0.0")},
                                                 {QStringLiteral("url"), service.origin() + QStringLiteral("/desktop/h.squashfs")}}}});
        scenario.insert(QStringLiteral("files"), QJsonObject{{QStringLiteral("/desktop/h.squashfs"), image}});
        QVERIFY(service.setScenario(scenario));
        QProcessEnvironment env = programEnvironment(service, home, home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("TMPDIR"), tmp);
        struct statvfs before {};
        QCOMPARE(::statvfs(QFile::encodeName(apps).constData(), &before), 0);
        const Run v1 = run(installed + QStringLiteral("/kestrava"), {QStringLiteral("--headless"), QStringLiteral("--update")}, env);
        // Refused: v1 ends its run as a failure of its own, not through the update's quit.
        QVERIFY2(v1.exitCode == 1, v1.output.constData());
        QVERIFY2(QString::fromUtf8(v1.output).contains(text), v1.output.constData());
        QCOMPARE(service.requests(QStringLiteral("GET"), QStringLiteral("/desktop/h.squashfs")).size(), 1);
        QVERIFY(readFile(installed + QStringLiteral("/Info.json")).contains("\"1.0.0\""));
        QVERIFY(!QFileInfo(installed).isSymLink());
        QCOMPARE(QDir(apps).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{QStringLiteral("Kestrava.app")});
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QVERIFY(!mounted(runtime + QStringLiteral("/kestrava-update-mount")));
        struct statvfs after {};
        QCOMPARE(::statvfs(QFile::encodeName(apps).constData(), &after), 0);
        if (homeMb > 0) QCOMPARE(after.f_bfree, before.f_bfree); // not a byte of it went home
    }

    // The packaged copy runs the newer per-user one in its place, and itself when that one cannot run.
    void packagedCopyHandsOver_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QByteArray>("runs");
        QTest::newRow("newer per-user copy") << QStringLiteral("newer") << QByteArray("2.0.0");
        QTest::newRow("older per-user copy") << QStringLiteral("older") << QByteArray("1.0.0");
        QTest::newRow("per-user program cut short") << QStringLiteral("cut") << QByteArray("1.0.0");
        QTest::newRow("per-user Info.json a FIFO") << QStringLiteral("fifo") << QByteArray("1.0.0");
    }
    void packagedCopyHandsOver() {
        QFETCH(QString, shape);
        QFETCH(QByteArray, runs);
        const QString packaged = path(QStringLiteral("usr/lib/kestrava/Kestrava.app"));
        if (!QFileInfo::exists(packaged)) QVERIFY(bundle(packaged, QStringLiteral("1.0.0")));
        const QString home = path(QStringLiteral("p-home"));
        const QString user = home + QStringLiteral("/Applications/Kestrava.app");
        QVERIFY(bundle(user, shape == QLatin1String("older") ? QStringLiteral("0.9") : QStringLiteral("2.0.0")));
        if (shape == QLatin1String("cut")) QVERIFY(QFile::resize(user + QStringLiteral("/bin/kestrava"), 1024 * 1024));
        if (shape == QLatin1String("fifo")) {
            QVERIFY(QFile::remove(user + QStringLiteral("/Info.json")));
            QCOMPARE(::mkfifo(QFile::encodeName(user + QStringLiteral("/Info.json")).constData(), 0644), 0);
        }
        const QByteArray out = versionRun(packaged + QStringLiteral("/kestrava"), home);
        QVERIFY2(out.contains("{\"version\":\"" + runs + "\"}"), out.constData());
    }

    void v1UpdatesItselfToV2() {
        const QString home = path(QStringLiteral("home"));
        const QString runtime = path(QStringLiteral("run"));
        const QString installed = home + QStringLiteral("/Applications/Kestrava.app");
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        // The real program twice: v1 installed, v2 in an image under another bundle name.
        Run made = run(scripts + QStringLiteral("/make-bundle"), {build, installed, QStringLiteral("1.0.0")});
        QVERIFY2(made.exitCode == 0, made.output.constData());
        const QString image = path(QStringLiteral("served/Kestrava-2.0.0.squashfs"));
        QDir().mkpath(path(QStringLiteral("served")));
        made = run(scripts + QStringLiteral("/make-update-image"),
                   {build, image, QStringLiteral("2.0.0"), QStringLiteral("Kestrava 2.app")});
        QVERIFY2(made.exitCode == 0, made.output.constData());

        DevService service;
        QJsonObject scenario{{QStringLiteral("accounts"), QJsonArray{}}, {QStringLiteral("servers"), QJsonArray{}}};
        QVERIFY(service.start(scenario));
        scenario.insert(QStringLiteral("manifest"),
                        QJsonObject{{QStringLiteral("mac"),
                                     QJsonObject{{QStringLiteral("version"), QStringLiteral("2.0.0")},
                                                 {QStringLiteral("url"), service.origin() + QStringLiteral("/desktop/k2.squashfs")}}}});
        scenario.insert(QStringLiteral("files"), QJsonObject{{QStringLiteral("/desktop/k2.squashfs"), image}});
        QVERIFY(service.setScenario(scenario));

        QProcessEnvironment env = programEnvironment(service, home, home + QStringLiteral("/.config"));
        // v2 is the tray program: on the offscreen platform it stays up until it is told to quit.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        QDir().mkpath(path(QStringLiteral("tmp")));

        // A caller reading v1's output to its end, through standard output, standard error and one
        // more descriptor, as a script's pipe would leave them.
        int output[2];
        QVERIFY(::pipe2(output, O_CLOEXEC) == 0);
        QProcess v1;
        v1.setProcessEnvironment(env);
        v1.setStandardOutputFile(QProcess::nullDevice());
        v1.setStandardErrorFile(QProcess::nullDevice());
        v1.setChildProcessModifier([w = output[1]] {
            ::dup2(w, 1);
            ::dup2(w, 2);
            ::dup2(w, 4);
        });
        m_newProgram = installed + QStringLiteral("/bin/kestrava");
        QElapsedTimer timer;
        timer.start();
        v1.start(installed + QStringLiteral("/kestrava"), {QStringLiteral("--headless"), QStringLiteral("--update")});
        ::close(output[1]);
        const bool v1Ended = v1.waitForFinished(180'000);
        const qint64 v1Ms = timer.elapsed();
        // The output ends with v1: neither the hand-off nor v2 holds it.
        const Drained out = drain(output[0], 30'000);
        ::close(output[0]);
        QVERIFY2(v1Ended && v1.exitStatus() == QProcess::NormalExit && v1.exitCode() == 0, out.data.constData());
        QVERIFY2(out.ended, out.data.constData());
        QVERIFY2(out.data.contains("{\"version\":\"1.0.0\"}"), out.data.constData());

        // v2 starts from the installed bundle once v1 is gone, and runs on standard streams of its own.
        QTRY_VERIFY_WITH_TIMEOUT((m_newCopy = runningProgram(m_newProgram)) > 0, 30'000);
        const qint64 totalMs = timer.elapsed();
        qInfo("v1 -> v2: v1 ran %lld ms (check, download, mount, install, quit); v2 ran after %lld ms", v1Ms, totalMs);
        for (int fd = 0; fd <= 2; ++fd)
            QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(m_newCopy).arg(fd)), QStringLiteral("/dev/null"));

        QVERIFY(readFile(installed + QStringLiteral("/Info.json")).contains("\"2.0.0\""));
        QVERIFY(QFileInfo(installed + QStringLiteral("/bin/kestrava")).isExecutable());
        QVERIFY(!QFileInfo::exists(home + QStringLiteral("/Applications/Kestrava 2.app")));
        QCOMPARE(QDir(home + QStringLiteral("/Applications")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Kestrava.app")});
        QVERIFY(QFileInfo::exists(path(QStringLiteral("tmp/Kestrava-update-2.0.0.squashfs"))));
        // Detached by the clean-up and again by the hand-off.
        const QString mountPoint = runtime + QStringLiteral("/kestrava-update-mount");
        QTRY_VERIFY_WITH_TIMEOUT(!mounted(mountPoint), 10'000);
        // v2 checks for an update too and finds none newer than itself.
        QTRY_VERIFY_WITH_TIMEOUT(service.requests(QStringLiteral("GET"), QStringLiteral("/desktop/latest.json")).size() >= 2, 30'000);
        QCOMPARE(service.requests(QStringLiteral("GET"), QStringLiteral("/desktop/k2.squashfs")).size(), 1);
        QVERIFY(endNewCopy());
    }
};

QTEST_GUILESS_MAIN(UpdateRealTest)

#include "update_real_test.moc"
