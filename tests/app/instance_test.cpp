#include "support/service_fixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

// Real copies of the program, one user's runtime folder: a new copy ends the older ones.
class InstanceTest : public QObject {
    Q_OBJECT
    DevService m_service;
    QTemporaryDir m_home;
    QList<QProcess*> m_started;

    QString folder() const { return m_home.filePath(u"runtime/kestrava"_qs); }
    QString socketOf(qint64 pid) const { return folder() + u"/instance-%1.sock"_qs.arg(pid); }

    QProcess* start() {
        auto* p = new QProcess(this);
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(u"config"_qs));
        env.insert(u"XDG_RUNTIME_DIR"_qs, m_home.filePath(u"runtime"_qs));
        env.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
        // No session bus: the instance sockets alone keep one copy, and nothing breaks for the missing bus.
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_qs, u"unix:path=/nonexistent/kestrava-bus"_qs);
        env.insert(u"QT_QUICK_BACKEND"_qs, u"software"_qs);
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(KESTRAVA_APP_PATH), {});
        m_started << p;
        return p;
    }
    // Started and listening: its socket is in the folder.
    bool listening(QProcess* p) {
        if (!p->waitForStarted(10'000)) return false;
        return QTest::qWaitFor([&] { return QFile::exists(socketOf(p->processId())); }, 15'000);
    }

    // Ended already while the test waited for something else, or ends within the limit.
    static bool ended(QProcess* p) {
        return p->state() == QProcess::NotRunning || p->waitForFinished(10'000);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        QVERIFY(QDir().mkpath(m_home.filePath(u"runtime"_qs)));
        QFile::setPermissions(m_home.filePath(u"runtime"_qs),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(m_service.start(basicScenario()));
    }
    void cleanup() {
        for (QProcess* p : std::as_const(m_started)) {
            if (p->state() != QProcess::NotRunning) {
                ::kill(pid_t(p->processId()), SIGCONT);
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
        m_started.clear();
    }

    void newCopyEndsTheOlderOne() {
        QProcess* first = start();
        QVERIFY(listening(first));
        const qint64 firstPid = first->processId();
        QProcess* second = start();
        QVERIFY(listening(second));
        // The first one goes through its own quit path (no tunnel: at once) and tidies up.
        QVERIFY(ended(first));
        QCOMPARE(first->exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->exitCode(), 0);
        QVERIFY(!QFile::exists(socketOf(firstPid)));
        QCOMPARE(second->state(), QProcess::Running);
        // Without a tray host it says so in one line and stays usable.
        const QString err = QString::fromUtf8(first->readAllStandardError());
        QVERIFY2(err.contains(u"sistem tepsisi yok"_qs), qPrintable(err));
    }

    void hungCopyIsKilled() {
        QProcess* hung = start();
        QVERIFY(listening(hung));
        const qint64 hungPid = hung->processId();
        ::kill(pid_t(hungPid), SIGSTOP);
        QProcess* next = start();
        QVERIFY(listening(next));
        QVERIFY(ended(hung));
        QCOMPARE(hung->exitStatus(), QProcess::CrashExit);
        QCOMPARE(hung->exitCode(), SIGKILL);
        QVERIFY(!QFile::exists(socketOf(hungPid)));
        QCOMPARE(next->state(), QProcess::Running);
    }

    // Left-over sockets: one of a copy long gone, one whose pid now belongs to another program
    // (this test). Neither stops the start; the other program lives on.
    void leftOverSocketsAreCleared() {
        QProcess gone;
        gone.start(u"true"_qs, {});
        QVERIFY(gone.waitForStarted(5000));
        const qint64 gonePid = gone.processId();
        QVERIFY(gone.waitForFinished(5000));
        QVERIFY(QDir().mkpath(folder()));
        for (qint64 pid : {gonePid, QCoreApplication::applicationPid()}) {
            QFile f(socketOf(pid));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QProcess* copy = start();
        QVERIFY(listening(copy));
        QVERIFY(QTest::qWaitFor([&] { return !QFile::exists(socketOf(QCoreApplication::applicationPid())); }, 10'000));
        QVERIFY(!QFile::exists(socketOf(gonePid)));
        QCOMPARE(copy->state(), QProcess::Running);
    }

    void sigtermQuitsAtOnceWithoutATunnel() {
        QProcess* copy = start();
        QVERIFY(listening(copy));
        const qint64 pid = copy->processId();
        ::kill(pid_t(pid), SIGTERM);
        QVERIFY(ended(copy));
        QCOMPARE(copy->exitStatus(), QProcess::NormalExit);
        QCOMPARE(copy->exitCode(), 0);
        QVERIFY(!QFile::exists(socketOf(pid)));
        QVERIFY(copy->readAllStandardOutput().startsWith("{\"version\":"));
    }
};

QTEST_GUILESS_MAIN(InstanceTest)
#include "instance_test.moc"
