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
                if (it->contains(QStringLiteral("state"))) return it->value(QStringLiteral("state")).toObject();
            return {};
        }
        QList<QJsonValue> values(const QString& field) const {
            QList<QJsonValue> out;
            for (const QJsonObject& l : lines)
                if (l.value(QStringLiteral("field")).toString() == field) out.append(l.value(QStringLiteral("value")));
            return out;
        }
    };

    Run run(const QStringList& args, const QByteArray& input = {}, const QString& config = QStringLiteral("config"),
            bool headless = true) {
        QProcess p;
        p.setProcessEnvironment(programEnvironment(m_service, m_home.path(), m_home.filePath(config)));
        p.start(QStringLiteral(KESTRAVA_APP_PATH), (headless ? QStringList{QStringLiteral("--headless")} : QStringList()) + args);
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
    static bool ended(QProcess* p) { return p->state() == QProcess::NotRunning || p->waitForFinished(10'000); }

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

    void signsInAndConnects() {
        const Run r = run({QStringLiteral("--login"), QStringLiteral("a@kestrava.test"), QStringLiteral("--connect"),
                           QStringLiteral("tr-1")},
                          "pw\n");
        QCOMPARE(r.code, 0);
        const QJsonObject state = r.lastState();
        QCOMPARE(state.value(QStringLiteral("status")).toString(), QStringLiteral("connected"));
        QCOMPARE(state.value(QStringLiteral("exitIp")).toString(), QStringLiteral("203.0.113.7"));
        QCOMPARE(state.value(QStringLiteral("originalPlace")).toString(), QStringLiteral("Ankara, TR"));
        QCOMPARE(state.value(QStringLiteral("servers")).toArray().size(), 2);
        QCOMPARE(state.value(QStringLiteral("token")), QJsonValue(true));
        // Every change is a line; the status walked connecting, then connected.
        const QList<QJsonValue> statuses = r.values(QStringLiteral("status"));
        QVERIFY(statuses.contains(QJsonValue(QStringLiteral("connecting"))));
        QCOMPARE(statuses.last(), QJsonValue(QStringLiteral("connected")));
        // Secrets never reach the output.
        QVERIFY(!r.raw.contains("tok-1"));
        QVERIFY(!r.raw.contains("psk-1"));
        QVERIFY(!r.raw.contains("\"pw\""));
    }

    // A sign-in asks the service for nothing but the sign-in; whatever else the run did came before it.
    void signInAloneStartsNothingElse() {
        const Run r = run({QStringLiteral("--login"), QStringLiteral("a@kestrava.test")}, "pw\n",
                          QStringLiteral("config-login-only"));
        QCOMPARE(r.code, 0);
        QCOMPARE(r.lastState().value(QStringLiteral("token")), QJsonValue(true));
        QStringList after;
        bool signedIn = false;
        for (const QJsonValue& q : m_service.requests()) {
            const QString path = q.toObject().value(QStringLiteral("path")).toString();
            if (signedIn) after.append(path);
            signedIn = signedIn || path == QLatin1String("/auth/login");
        }
        QVERIFY(signedIn);
        QCOMPARE(after, QStringList());
    }

    // The program keeps no log, not even when the settings cannot be written: the state shows what
    // matters, and nothing reaches standard error.
    void writesNoLog() {
        QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral("config-blocked")));
        QFile blocker(m_home.filePath(QStringLiteral("config-blocked/kestrava")));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // where the settings folder should be
        blocker.close();
        const Run r = run({QStringLiteral("--login"), QStringLiteral("a@kestrava.test"), QStringLiteral("--connect"),
                           QStringLiteral("tr-1")},
                          "pw\n",
                          QStringLiteral("config-blocked"));
        QCOMPARE(r.code, 0);
        QCOMPARE(r.lastState().value(QStringLiteral("status")).toString(), QStringLiteral("connected"));
        QCOMPARE(QString::fromUtf8(r.errors), QString());
    }

    void aSecondRunIsStillSignedIn() {
        const Run r = run({});
        QCOMPARE(r.code, 0);
        // The version, the backend, then the state as it was at the start.
        QVERIFY(r.lines.size() > 3);
        QCOMPARE(r.lines.at(0).value(QStringLiteral("version")).toString(), QStringLiteral(KESTRAVA_VERSION_TEXT));
        QCOMPARE(r.lines.at(1).value(QStringLiteral("backend")).toString(), QStringLiteral("simulated"));
        QCOMPARE(r.lines.at(2).value(QStringLiteral("state")).toObject().value(QStringLiteral("email")).toString(),
                 QStringLiteral("a@kestrava.test"));
        QCOMPARE(r.lastState().value(QStringLiteral("servers")).toArray().size(), 2);
        QVERIFY(m_service.requests(QStringLiteral("GET"), QStringLiteral("/notify/inbox")).size() == 1);
    }

    // Help, the version and a mistyped option answer at once, in either mode, display or not.
    void commandLine_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        const QByteArray usage = "Kullanım: kestrava";
        QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << usage << QByteArray();
        QTest::newRow("help, headless") << QStringList{QStringLiteral("--headless"), QStringLiteral("--help")} << 0
                                        << usage << QByteArray();
        QTest::newRow("version") << QStringList{QStringLiteral("--version")} << 0 << QByteArray("Kestrava 1.") << QByteArray();
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--shwo")} << 2 << QByteArray()
                                        << QByteArray("Kestrava: Bilinmeyen seçenek: --shwo\n\n") + usage;
        QTest::newRow("stray argument") << QStringList{QStringLiteral("--show"), QStringLiteral("extra")} << 2
                                        << QByteArray() << QByteArray("Bilinmeyen bağımsız değişken: extra");
    }
    void commandLine() {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const qsizetype before = m_service.requests().size();
        const Run r = run(args, {}, QStringLiteral("config"), false);
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
        QTest::newRow("closed port") << QStringLiteral("http://127.0.0.1:1") << QStringLiteral("Bağlantı reddedildi");
        QTest::newRow("unknown host") << QStringLiteral("http://api.kestrava.invalid")
                                      << QStringLiteral("api.kestrava.invalid ana bilgisayarı bulunamadı");
    }
    void transportTextsAreTurkish() {
        QFETCH(QString, origin);
        QFETCH(QString, text);
        QStringList command{QStringLiteral(KESTRAVA_APP_PATH)};
        if (origin.contains(QStringLiteral(".invalid"))) {
            if (::geteuid() != 0) QSKIP("needs root for a network namespace");
            command.prepend(QStringLiteral("-n"));
            command.prepend(QStringLiteral("unshare"));
        }
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(QStringLiteral("t")));
        env.insert(QStringLiteral("KESTRAVA_API_ORIGIN"), origin);
        QProcess p;
        p.setProcessEnvironment(env);
        const QString program = command.takeFirst();
        p.start(program, command + QStringList{QStringLiteral("--headless"), QStringLiteral("--login"),
                                               QStringLiteral("a@kestrava.test")});
        QVERIFY(p.waitForStarted(10'000));
        p.write("pw\n");
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(60'000));
        const QByteArray out = p.readAllStandardOutput();
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(QString::fromUtf8(out).contains(QStringLiteral("\"errorMessage\",\"value\":\"%1\"").arg(text)), out.constData());
    }

    void failures_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error");
        QTest::newRow("wrong password") << QStringList{QStringLiteral("--login"), QStringLiteral("a@kestrava.test")}
                                        << QByteArray("nope\n") << 1 << QStringLiteral("E-posta veya şifre hatalı");
        QTest::newRow("unknown server") << QStringList{QStringLiteral("--connect"), QStringLiteral("xx-9")} << QByteArray()
                                        << 1 << QStringLiteral("Sunucu bulunamadı: xx-9");
        QTest::newRow("server without gateway") << QStringList{QStringLiteral("--connect"), QStringLiteral("de-1")}
                                                << QByteArray() << 1 << QStringLiteral("Sunucu VPN bilgisi döndürmedi");
        QTest::newRow("bad option") << QStringList{QStringLiteral("--bogus")} << QByteArray() << 2
                                    << QStringLiteral("Bilinmeyen seçenek: --bogus");
        QTest::newRow("login without address") << QStringList{QStringLiteral("--login")} << QByteArray() << 2
                                               << QStringLiteral("--login bir e-posta adresi bekliyor");
        QTest::newRow("login without password")
            << QStringList{QStringLiteral("--login"), QStringLiteral("a@kestrava.test")} << QByteArray() << 2
            << QStringLiteral("Şifre okunamadı: --login şifreyi standart girdinin ilk satırında bekler");
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
            if (!error.startsWith(QStringLiteral("Şifre"))) QVERIFY2(r.errors.contains("Kullanım: kestrava"), r.errors.constData());
        }
        bool seen = false;
        for (const QJsonObject& l : r.lines)
            seen = seen || l.value(QStringLiteral("error")).toString() == error ||
                   (l.value(QStringLiteral("field")).toString() == QLatin1String("errorMessage") &&
                    l.value(QStringLiteral("value")).toString() == error);
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

QTEST_GUILESS_MAIN(HeadlessTest)
#include "headless_test.moc"
