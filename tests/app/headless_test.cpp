#include "support/service_fixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

// The program as a script sees it: its own process, its own settings folder, the stand-in service.
// Real copies of it in one user's runtime folder: a new copy ends the older ones.
class HeadlessTest : public QObject {
    Q_OBJECT
    DevService m_service;
    QTemporaryDir m_home;
    QList<QProcess*> m_started;

    struct Run {
        int code = -1;
        QList<QJsonObject> lines;
        QByteArray raw;
        QByteArray errors; // standard error alone
        QJsonObject lastState() const {
            for (auto it = lines.crbegin(); it != lines.crend(); ++it)
                if (it->contains(u"state"_qs)) return it->value(u"state"_qs).toObject();
            return {};
        }
        QList<QJsonValue> values(const QString& field) const {
            QList<QJsonValue> out;
            for (const QJsonObject& l : lines)
                if (l.value(u"field"_qs).toString() == field) out.append(l.value(u"value"_qs));
            return out;
        }
    };

    Run run(const QStringList& args, const QByteArray& input = {}, const QString& config = u"config"_qs,
            bool headless = true) {
        QProcess p;
        p.setProcessEnvironment(programEnvironment(m_service, m_home.path(), m_home.filePath(config)));
        p.start(QStringLiteral(KESTRAVA_APP_PATH),
                (headless ? QStringList{u"--headless"_qs} : QStringList()) + args);
        Run r;
        if (!p.waitForStarted(10'000)) return r;
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(60'000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.code = p.exitCode();
        r.errors = p.readAllStandardError();
        r.raw = p.readAllStandardOutput() + r.errors;
        for (const QByteArray& line : r.raw.split('\n'))
            if (line.startsWith('{')) r.lines.append(QJsonDocument::fromJson(line).object());
        return r;
    }

    QString folder() const { return m_home.filePath(u"runtime/kestrava"_qs); }
    QString socketOf(qint64 pid) const { return folder() + u"/instance-%1.sock"_qs.arg(pid); }
    // A copy with no session bus: the instance sockets alone keep one copy, and nothing breaks for it.
    QProcess* start() {
        auto* p = new QProcess(this);
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(u"config"_qs));
        env.insert(u"XDG_RUNTIME_DIR"_qs, m_home.filePath(u"runtime"_qs));
        env.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_qs, u"unix:path=/nonexistent/kestrava-bus"_qs);
        env.insert(u"QT_QUICK_BACKEND"_qs, u"software"_qs);
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(KESTRAVA_APP_PATH), {});
        m_started << p;
        return p;
    }
    // Started and listening: its socket is in the folder.
    bool listening(QProcess* p) {
        return p->waitForStarted(10'000) &&
               QTest::qWaitFor([&] { return QFile::exists(socketOf(p->processId())); }, 15'000);
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
    void init() { QVERIFY(m_service.clearRequests()); }
    void cleanup() {
        endPrograms(m_started);
    }

    void signsInAndConnects() {
        const Run r = run({u"--login"_qs, u"a@kestrava.test"_qs, u"--connect"_qs, u"tr-1"_qs}, "pw\n");
        QCOMPARE(r.code, 0);
        const QJsonObject state = r.lastState();
        QCOMPARE(state.value(u"status"_qs).toString(), u"connected"_qs);
        QCOMPARE(state.value(u"exitIp"_qs).toString(), u"203.0.113.7"_qs);
        QCOMPARE(state.value(u"originalPlace"_qs).toString(), u"Ankara, TR"_qs);
        QCOMPARE(state.value(u"servers"_qs).toArray().size(), 2);
        QCOMPARE(state.value(u"token"_qs), QJsonValue(true));
        // Every change is a line; the status walked connecting, then connected.
        const QList<QJsonValue> statuses = r.values(u"status"_qs);
        QVERIFY(statuses.contains(QJsonValue(u"connecting"_qs)));
        QCOMPARE(statuses.last(), QJsonValue(u"connected"_qs));
        // Secrets never reach the output.
        QVERIFY(!r.raw.contains("tok-1"));
        QVERIFY(!r.raw.contains("psk-1"));
        QVERIFY(!r.raw.contains("\"pw\""));
    }

    // A sign-in asks the service for nothing but the sign-in; whatever else the run did came before it.
    void signInAloneStartsNothingElse() {
        const Run r = run({u"--login"_qs, u"a@kestrava.test"_qs}, "pw\n", u"config-login-only"_qs);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.lastState().value(u"token"_qs), QJsonValue(true));
        QStringList after;
        bool signedIn = false;
        for (const QJsonValue& q : m_service.requests()) {
            const QString path = q.toObject().value(u"path"_qs).toString();
            if (signedIn) after.append(path);
            signedIn = signedIn || path == QLatin1String("/auth/login");
        }
        QVERIFY(signedIn);
        QCOMPARE(after, QStringList());
    }

    // The program keeps no log, not even when the settings cannot be written: the state shows what
    // matters, and nothing reaches standard error.
    void writesNoLog() {
        QVERIFY(QDir(m_home.path()).mkpath(u"config-blocked"_qs));
        QFile blocker(m_home.filePath(u"config-blocked/kestrava"_qs));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // where the settings folder should be
        blocker.close();
        const Run r = run({u"--login"_qs, u"a@kestrava.test"_qs, u"--connect"_qs, u"tr-1"_qs}, "pw\n",
                          u"config-blocked"_qs);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.lastState().value(u"status"_qs).toString(), u"connected"_qs);
        QCOMPARE(QString::fromUtf8(r.errors), QString());
    }

    void aSecondRunIsStillSignedIn() {
        const Run r = run({});
        QCOMPARE(r.code, 0);
        // The version, the backend, then the state as it was at the start.
        QVERIFY(r.lines.size() > 3);
        QCOMPARE(r.lines.at(0).value(u"version"_qs).toString(), QStringLiteral(KESTRAVA_VERSION_TEXT));
        QCOMPARE(r.lines.at(1).value(u"backend"_qs).toString(), u"simulated"_qs);
        QCOMPARE(r.lines.at(2).value(u"state"_qs).toObject().value(u"email"_qs).toString(),
                 u"a@kestrava.test"_qs);
        QCOMPARE(r.lastState().value(u"servers"_qs).toArray().size(), 2);
        QVERIFY(m_service.requests(u"GET"_qs, u"/notify/inbox"_qs).size() == 1);
    }

    // Help, the version and a mistyped option answer at once, in either mode, display or not.
    void commandLine_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        const QByteArray usage = "Kullanım: kestrava";
        QTest::newRow("help") << QStringList{u"--help"_qs} << 0 << usage << QByteArray();
        QTest::newRow("help, headless")
            << QStringList{u"--headless"_qs, u"--help"_qs} << 0 << usage << QByteArray();
        QTest::newRow("version") << QStringList{u"--version"_qs} << 0 << QByteArray("Kestrava 1.")
                                 << QByteArray();
        QTest::newRow("unknown option") << QStringList{u"--shwo"_qs} << 2 << QByteArray()
                                        << QByteArray("Kestrava: Bilinmeyen seçenek: --shwo\n\n") + usage;
        QTest::newRow("stray argument") << QStringList{u"--show"_qs, u"extra"_qs} << 2 << QByteArray()
                                        << QByteArray("Bilinmeyen bağımsız değişken: extra");
    }
    void commandLine() {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const qsizetype before = m_service.requests().size();
        const Run r = run(args, {}, u"config"_qs, false);
        QCOMPARE(r.code, code);
        const QByteArray stdoutOnly = r.raw.left(r.raw.size() - r.errors.size());
        QVERIFY2(stdoutOnly.startsWith(out), stdoutOnly.constData());
        QVERIFY2(r.errors.contains(err), r.errors.constData());
        // Nothing started: no request, no version line of a starting program.
        QCOMPARE(m_service.requests().size(), before);
        QVERIFY(!r.raw.contains("{\"version\""));
    }

    // Qt's own transport texts reach the user in Turkish. The unknown host is looked up in an empty
    // network namespace, so that no lookup leaves this machine.
    void transportTextsAreTurkish_data() {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("text");
        QTest::newRow("closed port") << u"http://127.0.0.1:1"_qs << u"Bağlantı reddedildi"_qs;
        QTest::newRow("unknown host")
            << u"http://api.kestrava.invalid"_qs << u"api.kestrava.invalid ana bilgisayarı bulunamadı"_qs;
    }
    void transportTextsAreTurkish() {
        QFETCH(QString, origin);
        QFETCH(QString, text);
        QStringList command{QStringLiteral(KESTRAVA_APP_PATH)};
        if (origin.contains(u".invalid"_qs)) {
            if (::geteuid() != 0) QSKIP("needs root for a network namespace");
            command.prepend(u"-n"_qs);
            command.prepend(u"unshare"_qs);
        }
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(u"t"_qs));
        env.insert(u"KESTRAVA_API_ORIGIN"_qs, origin);
        QProcess p;
        p.setProcessEnvironment(env);
        const QString program = command.takeFirst();
        p.start(program, command + QStringList{u"--headless"_qs, u"--login"_qs, u"a@kestrava.test"_qs});
        QVERIFY(p.waitForStarted(10'000));
        p.write("pw\n");
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(60'000));
        const QByteArray out = p.readAllStandardOutput();
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(QString::fromUtf8(out).contains(u"\"errorMessage\",\"value\":\"%1\""_qs.arg(text)),
                 out.constData());
    }

    void failures_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        QTest::newRow("wrong password") << QStringList{u"--login"_qs, u"a@kestrava.test"_qs}
                                        << QByteArray("nope\n") << 1 << u"E-posta veya şifre hatalı"_qs;
        QTest::newRow("unknown server")
            << QStringList{u"--connect"_qs, u"xx-9"_qs} << QByteArray() << 1 << u"Sunucu bulunamadı: xx-9"_qs;
        QTest::newRow("server without gateway") << QStringList{u"--connect"_qs, u"de-1"_qs} << QByteArray()
                                                << 1 << u"Sunucu VPN bilgisi döndürmedi"_qs;
        QTest::newRow("bad option") << QStringList{u"--bogus"_qs} << QByteArray() << 2
                                    << u"Bilinmeyen seçenek: --bogus"_qs;
        QTest::newRow("login without address")
            << QStringList{u"--login"_qs} << QByteArray() << 2 << u"--login bir e-posta adresi bekliyor"_qs;
        QTest::newRow("login without password")
            << QStringList{u"--login"_qs, u"a@kestrava.test"_qs} << QByteArray() << 2
            << u"Şifre okunamadı: --login şifreyi standart girdinin ilk satırında bekler"_qs;
    }
    void failures() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, code);
        QFETCH(QString, error);
        const qsizetype before = m_service.requests().size();
        const Run r = run(args, input);
        QCOMPARE(r.code, code);
        // A wrong command line is refused before anything goes out, with the usage beside the error.
        if (code == 2) {
            QCOMPARE(m_service.requests().size(), before);
            if (!error.startsWith(u"Şifre"_qs))
                QVERIFY2(r.errors.contains("Kullanım: kestrava"), r.errors.constData());
        }
        bool seen = false;
        for (const QJsonObject& l : r.lines)
            seen = seen || l.value(u"error"_qs).toString() == error ||
                   (l.value(u"field"_qs).toString() == QLatin1String("errorMessage") &&
                    l.value(u"value"_qs).toString() == error);
        QVERIFY2(seen, r.raw.constData());
    }

    // --- copies of the program --------------------------------------------------------------------------
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
        QVERIFY(QTest::qWaitFor([&] { return !QFile::exists(socketOf(QCoreApplication::applicationPid())); },
                                10'000));
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

QTEST_GUILESS_MAIN(HeadlessTest)
#include "headless_test.moc"
