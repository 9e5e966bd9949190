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
