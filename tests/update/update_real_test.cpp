// One real update: bundle v1 of this build installed under a temporary HOME, an update image v2 of the
// same build served by the stand-in service; v1 checks, downloads, mounts with squashfuse, installs,
// quits, and its hand-off starts v2. Skips where FUSE cannot mount.
#include "support/dev_service.h"
#include "support/service_fixture.h"

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

bool mounted(const QString& path) {
    return readFile(QStringLiteral("/proc/self/mounts")).contains(" " + QFile::encodeName(path) + " ");
}

const QString scripts = QStringLiteral(KESTRAVA_SOURCE_DIR "/scripts");
const QString build = QStringLiteral(KESTRAVA_BUILD_DIR);

} // namespace

class UpdateRealTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString path(const QString& rel) const { return m_dir.path() + QLatin1Char('/') + rel; }

private Q_SLOTS:
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
        // No display: v2, the tray program, must end by itself.
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        QDir().mkpath(path(QStringLiteral("tmp")));

        // Both copies write into one log: the hand-off and v2 inherit v1's output.
        const QString log = path(QStringLiteral("program.log"));
        QElapsedTimer timer;
        timer.start();
        const Run v1 = run(QStringLiteral("/bin/sh"),
                           {QStringLiteral("-c"), QStringLiteral("exec \"$0\" --headless --update >>\"$1\" 2>&1"),
                            installed + QStringLiteral("/kestrava"), log},
                           env);
        const qint64 v1Ms = timer.elapsed();
        QVERIFY2(v1.exitCode == 0, readFile(log).constData());
        QVERIFY2(readFile(log).contains("{\"version\":\"1.0.0\"}"), readFile(log).constData());

        // v2 starts once v1 is gone, and says so.
        QTRY_VERIFY2_WITH_TIMEOUT(readFile(log).contains("{\"version\":\"2.0.0\"}"), readFile(log).constData(), 30'000);
        const qint64 totalMs = timer.elapsed();
        qInfo("v1 -> v2: v1 ran %lld ms (check, download, mount, install, quit); v2 said its version after %lld ms",
              v1Ms, totalMs);

        QVERIFY(readFile(installed + QStringLiteral("/Info.json")).contains("\"2.0.0\""));
        QVERIFY(QFileInfo(installed + QStringLiteral("/bin/kestrava")).isExecutable());
        QVERIFY(!QFileInfo::exists(home + QStringLiteral("/Applications/Kestrava 2.app")));
        QCOMPARE(QDir(home + QStringLiteral("/Applications")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Kestrava.app")});
        QVERIFY(QFileInfo::exists(path(QStringLiteral("tmp/Kestrava-update-2.0.0.squashfs"))));
        // Detached by the clean-up and again by the hand-off.
        const QString mountPoint = runtime + QStringLiteral("/kestrava-update-mount");
        QTRY_VERIFY_WITH_TIMEOUT(!mounted(mountPoint), 10'000);
        // v2 is the tray program; without a display it says so and ends, having fetched nothing again.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains("ekran bulunamad"), 30'000);
        QCOMPARE(service.requests(QStringLiteral("GET"), QStringLiteral("/desktop/k2.squashfs")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(UpdateRealTest)

#include "update_real_test.moc"
