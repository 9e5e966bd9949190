// Real updates of this build's program under a temporary HOME, from squashfs images served by the
// stand-in service and mounted with squashfuse. Skips where FUSE cannot mount.
#include "support/dev_service.h"
#include "support/files.h"
#include "support/service_fixture.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
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

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString& program, const QStringList& args,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10'000)) return {};
    if (!p.waitForFinished(120'000)) {
        p.kill();
        p.waitForFinished(5'000);
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAll()};
}

Run mksquashfs(const QString& from, const QString& image) {
    QDir().mkpath(QFileInfo(image).absolutePath());
    QFile::remove(image);
    return run(u"mksquashfs"_s, {from, image, u"-noappend"_s, u"-quiet"_s, u"-no-progress"_s, u"-all-root"_s});
}

// The output a pipe gave until it ended (ended set) or the time ran out.
QByteArray drain(int fd, int limitMs, bool& ended) {
    QByteArray data;
    QDeadlineTimer deadline(limitMs);
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if ((ended = n == 0) || (n < 0 && errno != EINTR)) break;
        if (n > 0) data.append(buffer, n);
    }
    return data;
}

// A process running program, which this test did not start itself; 0 when there is none.
qint64 runningProgram(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString program = canonical.isEmpty() ? path : canonical;
    for (const QString& name : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = name.toLongLong(&ok);
        if (ok && QFile::symLinkTarget(u"/proc/%1/exe"_s.arg(pid)) == program) return pid;
    }
    return 0;
}

bool mounted(const QString& path) {
    return readFile(u"/proc/self/mounts"_s).contains(" " + QFile::encodeName(path) + " ");
}

QStringList entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

qulonglong freeBlocks(const QString& dir) {
    struct statvfs st {};
    return ::statvfs(QFile::encodeName(dir).constData(), &st) == 0 ? st.f_bfree : 0;
}

const QString scripts = QStringLiteral(KESTRAVA_SOURCE_DIR "/scripts");
const QString build = QStringLiteral(KESTRAVA_BUILD_DIR);

} // namespace

class UpdateRealTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    qint64 m_newCopy = 0; // started by the hand-off, so ended here
    QString m_newProgram; // where it runs from, to find it when a check failed before it was seen

    QString path(const QString& rel) const { return m_dir.path() + u'/' + rel; }

    // A bundle of this build at `at`, saying `version`; copied from one made once per version.
    bool bundle(const QString& at, const QString& version) {
        const QString made = path(u"made/"_s + version + u"/Kestrava.app"_s);
        if (!QFileInfo::exists(made)) {
            const Run r = run(scripts + u"/make-bundle"_s, {build, made, version});
            if (r.exitCode != 0) qWarning("%s", r.output.constData());
            if (r.exitCode != 0) return false;
        }
        QDir(at).removeRecursively();
        QDir().mkpath(QFileInfo(at).absolutePath());
        return run(u"cp"_s, {u"-a"_s, made, at}).exitCode == 0;
    }

    // The service offering 2.0.0 at /desktop/u.squashfs, and the program's environment for it.
    QProcessEnvironment serveUpdate(DevService& service, const QString& image, const QString& home,
                                    const QString& runtime, const QString& tmp) {
        QJsonObject scenario{{u"accounts"_s, QJsonArray{}}, {u"servers"_s, QJsonArray{}}};
        if (!service.start(scenario)) return {};
        scenario.insert(u"manifest"_s, QJsonObject{{u"mac"_s, QJsonObject{{u"version"_s, u"2.0.0"_s},
                                                                          {u"url"_s, service.origin() + u"/desktop/u.squashfs"_s}}}});
        scenario.insert(u"files"_s, QJsonObject{{u"/desktop/u.squashfs"_s, image}});
        if (!service.setScenario(scenario)) return {};
        for (const QString& d : {runtime, tmp}) {
            QDir(d).removeRecursively();
            QDir().mkpath(d);
        }
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QProcessEnvironment env = programEnvironment(service, home, home + u"/.config"_s);
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        env.insert(u"TMPDIR"_s, tmp);
        return env;
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
                QSKIP(qPrintable(u"%1 is missing (packages squashfuse, fuse3, squashfs-tools)"_s.arg(QLatin1String(tool))));
        if (!QFileInfo(u"/dev/fuse"_s).isWritable()) QSKIP("no usable /dev/fuse here");
        QVERIFY(m_dir.isValid());
        // A probe image: FUSE may be there and still refuse to mount (no privilege in a container).
        QDir().mkpath(path(u"probe/src/P.app"_s));
        QDir().mkpath(path(u"probe/mnt"_s));
        const Run image = mksquashfs(path(u"probe/src"_s), path(u"probe/img"_s));
        QVERIFY2(image.exitCode == 0, image.output.constData());
        const Run mount = run(u"squashfuse"_s, {path(u"probe/img"_s), path(u"probe/mnt"_s)});
        if (mount.exitCode != 0) QSKIP(qPrintable(u"FUSE cannot mount here: %1"_s.arg(QString::fromUtf8(mount.output))));
        run(u"fusermount3"_s, {u"-u"_s, u"-q"_s, path(u"probe/mnt"_s)});
    }

    // An image made with mksquashfs whose bundle cannot be trusted, cannot run or does not fit: v1
    // refuses it, says so and stays; its bundle, the temporary folder and the mount are as before.
    void hostileImage_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("homeMb"); // ~/Applications on a tmpfs with this much room beside v1 (root only)
        const QString notFound = u"Güncelleme görüntüsü içinde uygulama bulunamadı"_s;
        QTest::newRow("bundle is a link to a planted folder") << u"link"_s << notFound << 0;
        QTest::newRow("bundle without its program") << u"noprogram"_s << notFound << 0;
        QTest::newRow("Info.json naming 9.9.9") << u"version"_s << notFound << 0;
        QTest::newRow("300 MB of zeros into a home with 40 MB free") << u"bomb"_s << u"Güncelleme için yeterli yer yok"_s << 40;
    }
    void hostileImage() {
        QFETCH(QString, shape);
        QFETCH(QString, text);
        QFETCH(int, homeMb);
        const QString home = path(u"h-home"_s);
        const QString apps = home + u"/Applications"_s;
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
            const qint64 v1Mb =
                run(u"du"_s, {u"-sm"_s, build + u"/app/kestrava"_s}).output.split('\t').value(0).toLongLong() + 8;
            const QByteArray size = "size=" + QByteArray::number(v1Mb + homeMb) + "m";
            if (::mount("tmpfs", QFile::encodeName(apps).constData(), "tmpfs", 0, size.constData()) != 0)
                QSKIP("cannot mount tmpfs here");
            unmount.where = QFile::encodeName(apps);
        }
        const QString installed = apps + u"/Kestrava.app"_s;
        QVERIFY(bundle(installed, u"1.0.0"_s));

        const QString root = path(u"h-image"_s);
        const QString app = root + u"/Kestrava.app"_s;
        QDir(root).removeRecursively();
        QVERIFY(QDir().mkpath(root));
        if (shape == "link"_L1) {
            QVERIFY(bundle(path(u"planted/Kestrava.app"_s), u"99"_s));
            QVERIFY(QFile::link(path(u"planted/Kestrava.app"_s), app));
        } else {
            QVERIFY(bundle(app, shape == "version"_L1 ? u"9.9.9"_s : u"2.0.0"_s));
        }
        if (shape == "noprogram"_L1) QVERIFY(QFile::remove(app + u"/bin/kestrava"_s));
        if (shape == "bomb"_L1) {
            QFile zeros(app + u"/share/zeros"_s);
            QDir().mkpath(QFileInfo(zeros).absolutePath());
            QVERIFY(zeros.open(QIODevice::WriteOnly) && zeros.resize(300LL * 1024 * 1024));
        }
        const QString image = path(u"served/hostile.squashfs"_s);
        const Run made = mksquashfs(root, image);
        QVERIFY2(made.exitCode == 0, made.output.constData());
        QDir(root).removeRecursively();

        DevService service;
        const QString runtime = path(u"h-run"_s);
        const QString tmp = path(u"h-tmp"_s);
        const QProcessEnvironment env = serveUpdate(service, image, home, runtime, tmp);
        QVERIFY(!env.isEmpty());
        const qulonglong before = freeBlocks(apps);
        const Run v1 = run(installed + u"/kestrava"_s, {u"--headless"_s, u"--update"_s}, env);
        // Refused: v1 ends its run as a failure of its own, not through the update's quit.
        QVERIFY2(v1.exitCode == 1, v1.output.constData());
        QVERIFY2(QString::fromUtf8(v1.output).contains(text), v1.output.constData());
        QCOMPARE(service.requests(u"GET"_s, u"/desktop/u.squashfs"_s).size(), 1);
        QVERIFY(readFile(installed + u"/Info.json"_s).contains("\"1.0.0\""));
        QVERIFY(!QFileInfo(installed).isSymLink());
        QCOMPARE(entries(apps), QStringList{u"Kestrava.app"_s});
        QCOMPARE(entries(tmp), QStringList());
        QVERIFY(!mounted(runtime + u"/kestrava-update-mount"_s));
        if (homeMb > 0) QCOMPARE(freeBlocks(apps), before); // not a byte of it went home
    }

    // The packaged copy runs the newer per-user one in its place, and itself when that one cannot run.
    void packagedCopyHandsOver_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QByteArray>("runs");
        QTest::newRow("newer per-user copy") << u"newer"_s << "2.0.0"_ba;
        QTest::newRow("older per-user copy") << u"older"_s << "1.0.0"_ba;
        QTest::newRow("per-user program cut short") << u"cut"_s << "1.0.0"_ba;
        QTest::newRow("per-user Info.json a FIFO") << u"fifo"_s << "1.0.0"_ba;
    }
    void packagedCopyHandsOver() {
        QFETCH(QString, shape);
        QFETCH(QByteArray, runs);
        const QString packaged = path(u"usr/lib/kestrava/Kestrava.app"_s);
        if (!QFileInfo::exists(packaged)) QVERIFY(bundle(packaged, u"1.0.0"_s));
        const QString home = path(u"p-home"_s);
        const QString user = home + u"/Applications/Kestrava.app"_s;
        QVERIFY(bundle(user, shape == "older"_L1 ? u"0.9"_s : u"2.0.0"_s));
        if (shape == "cut"_L1) QVERIFY(QFile::resize(user + u"/bin/kestrava"_s, 1024 * 1024));
        if (shape == "fifo"_L1) {
            QVERIFY(QFile::remove(user + u"/Info.json"_s));
            QCOMPARE(::mkfifo(QFile::encodeName(user + u"/Info.json"_s).constData(), 0644), 0);
        }
        // As the tray starts it, but without a display: it says its version and ends.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(name));
        env.insert(u"HOME"_s, home);
        const QByteArray out = run(packaged + u"/kestrava"_s, {}, env).output;
        QVERIFY2(out.contains("{\"version\":\"" + runs + "\"}"), out.constData());
    }

    // v1 checks, downloads, mounts with squashfuse, installs, quits, and its hand-off starts v2.
    void v1UpdatesItselfToV2() {
        const QString home = path(u"home"_s);
        const QString runtime = path(u"run"_s);
        const QString installed = home + u"/Applications/Kestrava.app"_s;
        // The real program twice: v1 installed, v2 in an image under another bundle name.
        QVERIFY(bundle(installed, u"1.0.0"_s));
        const QString image = path(u"served/Kestrava-2.0.0.squashfs"_s);
        QDir().mkpath(path(u"served"_s));
        const Run made = run(scripts + u"/make-update-image"_s, {build, image, u"2.0.0"_s, u"Kestrava 2.app"_s});
        QVERIFY2(made.exitCode == 0, made.output.constData());

        DevService service;
        QProcessEnvironment env = serveUpdate(service, image, home, runtime, path(u"tmp"_s));
        QVERIFY(!env.isEmpty());
        // v2 is the tray program: on the offscreen platform it stays up until it is told to quit.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) env.remove(QString::fromLatin1(name));
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);

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
        m_newProgram = installed + u"/bin/kestrava"_s;
        QElapsedTimer timer;
        timer.start();
        v1.start(installed + u"/kestrava"_s, {u"--headless"_s, u"--update"_s});
        ::close(output[1]);
        const bool v1Ended = v1.waitForFinished(180'000);
        const qint64 v1Ms = timer.elapsed();
        // The output ends with v1: neither the hand-off nor v2 holds it.
        bool ended = false;
        const QByteArray out = drain(output[0], 30'000, ended);
        ::close(output[0]);
        QVERIFY2(v1Ended && v1.exitStatus() == QProcess::NormalExit && v1.exitCode() == 0, out.constData());
        QVERIFY2(ended, out.constData());
        QVERIFY2(out.contains("{\"version\":\"1.0.0\"}"), out.constData());

        // v2 starts from the installed bundle once v1 is gone, and runs on standard streams of its own.
        QTRY_VERIFY_WITH_TIMEOUT((m_newCopy = runningProgram(m_newProgram)) > 0, 30'000);
        qInfo("v1 -> v2: v1 ran %lld ms (check, download, mount, install, quit); v2 ran after %lld ms", v1Ms,
              timer.elapsed());
        for (int fd = 0; fd <= 2; ++fd)
            QCOMPARE(QFile::symLinkTarget(u"/proc/%1/fd/%2"_s.arg(m_newCopy).arg(fd)), u"/dev/null"_s);
        QVERIFY(readFile(installed + u"/Info.json"_s).contains("\"2.0.0\""));
        QVERIFY(QFileInfo(installed + u"/bin/kestrava"_s).isExecutable());
        QCOMPARE(entries(home + u"/Applications"_s), QStringList{u"Kestrava.app"_s});
        QVERIFY(QFileInfo::exists(path(u"tmp/Kestrava-update-2.0.0.squashfs"_s)));
        // Detached by the clean-up and again by the hand-off.
        QTRY_VERIFY_WITH_TIMEOUT(!mounted(runtime + u"/kestrava-update-mount"_s), 10'000);
        // v2 checks for an update too and finds none newer than itself.
        QTRY_VERIFY_WITH_TIMEOUT(service.requests(u"GET"_s, u"/desktop/latest.json"_s).size() >= 2, 30'000);
        QCOMPARE(service.requests(u"GET"_s, u"/desktop/u.squashfs"_s).size(), 1);
        QVERIFY(endNewCopy());
    }
};

QTEST_GUILESS_MAIN(UpdateRealTest)

#include "update_real_test.moc"
