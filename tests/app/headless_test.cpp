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
        QByteArray out, errors; // standard output and standard error
        QByteArray raw() const { return out + errors; }
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

    // An unknown host is looked up in an empty network namespace, so that no lookup leaves this machine.
    Run run(QStringList args, const QByteArray& input = {}, const QString& config = u"config"_qs,
            const QString& origin = {}) {
        QProcessEnvironment env = programEnvironment(m_service, m_home.path(), m_home.filePath(config));
        if (!origin.isEmpty()) env.insert(u"KESTRAVA_API_ORIGIN"_qs, origin);
        QString program = QStringLiteral(KESTRAVA_APP_PATH);
        if (origin.contains(u".invalid"_qs)) {
            args = QStringList{u"-n"_qs, program} + args;
            program = u"unshare"_qs;
        }
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
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
        r.out = p.readAllStandardOutput();
        r.errors = p.readAllStandardError();
        for (const QByteArray& line : r.raw().split('\n'))
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

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        QVERIFY(QDir().mkpath(m_home.filePath(u"runtime"_qs)));
        QFile::setPermissions(m_home.filePath(u"runtime"_qs),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(m_service.start(basicScenario()));
    }
    void init() { QVERIFY(m_service.clearRequests()); }
    void cleanup() { endPrograms(m_started); }

    // The program keeps no log, not even when the settings cannot be written: the state shows what
    // matters, and nothing reaches standard error.
    void signsInAndConnects_data() {
        QTest::addColumn<QString>("config");
        QTest::newRow("settings kept") << u"config"_qs;
        QTest::newRow("settings folder blocked by a file") << u"config-blocked"_qs;
    }
    void signsInAndConnects() {
        QFETCH(QString, config);
        if (config.endsWith(u"blocked"_qs)) {
            QVERIFY(QDir(m_home.path()).mkpath(config));
            QFile blocker(m_home.filePath(config + u"/kestrava"_qs));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        const Run r = run({u"--headless"_qs, u"--login"_qs, u"a@kestrava.test"_qs, u"--connect"_qs, u"tr-1"_qs},
                          "pw\n", config);
        QCOMPARE(r.code, 0);
        QCOMPARE(QString::fromUtf8(r.errors), QString());
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
        for (const char* secret : {"tok-1", "psk-1", "\"pw\""}) QVERIFY2(!r.raw().contains(secret), secret);
    }

    // A sign-in asks the service for nothing but the sign-in; whatever else the run did came before it.
    void signInAloneStartsNothingElse() {
        const Run r = run({u"--headless"_qs, u"--login"_qs, u"a@kestrava.test"_qs}, "pw\n", u"config-login-only"_qs);
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

    void aSecondRunIsStillSignedIn() {
        const Run r = run({u"--headless"_qs});
        QCOMPARE(r.code, 0);
        // The version, the backend, then the state as it was at the start.
        QVERIFY(r.lines.size() > 3);
        QCOMPARE(r.lines.at(0).value(u"version"_qs).toString(), QStringLiteral(KESTRAVA_VERSION_TEXT));
        QCOMPARE(r.lines.at(1).value(u"backend"_qs).toString(), u"simulated"_qs);
        QCOMPARE(r.lines.at(2).value(u"state"_qs).toObject().value(u"email"_qs).toString(), u"a@kestrava.test"_qs);
        QCOMPARE(r.lastState().value(u"servers"_qs).toArray().size(), 2);
        QCOMPARE(m_service.requests(u"GET"_qs, u"/notify/inbox"_qs).size(), 1);
    }

    // Help, the version and a wrong command line answer at once, in either mode, and start nothing: no
    // request, no version line. A failed run says why: on standard output or error (out, err) and, in
    // the headless mode, as its error or errorMessage line. Qt's own transport texts are in Turkish.
    void failures_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("error");
        const QByteArray usage = "Kullanım: kestrava";
        const QString h = u"--headless"_qs, login = u"--login"_qs, a = u"a@kestrava.test"_qs, none;
        QTest::newRow("help") << QStringList{u"--help"_qs} << QByteArray() << none << 0 << usage << QByteArray() << none;
        QTest::newRow("help, headless") << QStringList{h, u"--help"_qs} << QByteArray() << none << 0 << usage
                                        << QByteArray() << none;
        QTest::newRow("version") << QStringList{u"--version"_qs} << QByteArray() << none << 0 << QByteArray("Kestrava 1.")
                                 << QByteArray() << none;
        QTest::newRow("unknown option") << QStringList{u"--shwo"_qs} << QByteArray() << none << 2 << QByteArray()
                                        << QByteArray("Kestrava: Bilinmeyen seçenek: --shwo\n\n") + usage << none;
        QTest::newRow("stray argument") << QStringList{u"--show"_qs, u"extra"_qs} << QByteArray() << none << 2
                                        << QByteArray() << QByteArray("Bilinmeyen bağımsız değişken: extra") << none;
        QTest::newRow("wrong password") << QStringList{h, login, a} << QByteArray("nope\n") << none << 1 << QByteArray()
                                        << QByteArray() << u"E-posta veya şifre hatalı"_qs;
        QTest::newRow("unknown server") << QStringList{h, u"--connect"_qs, u"xx-9"_qs} << QByteArray() << none << 1
                                        << QByteArray() << QByteArray() << u"Sunucu bulunamadı: xx-9"_qs;
        QTest::newRow("server without gateway") << QStringList{h, u"--connect"_qs, u"de-1"_qs} << QByteArray() << none
                                                << 1 << QByteArray() << QByteArray() << u"Sunucu VPN bilgisi döndürmedi"_qs;
        QTest::newRow("bad option") << QStringList{h, u"--bogus"_qs} << QByteArray() << none << 2 << QByteArray() << usage
                                    << u"Bilinmeyen seçenek: --bogus"_qs;
        QTest::newRow("login without address") << QStringList{h, login} << QByteArray() << none << 2 << QByteArray()
                                               << usage << u"--login bir e-posta adresi bekliyor"_qs;
        QTest::newRow("login without password")
            << QStringList{h, login, a} << QByteArray() << none << 2 << QByteArray() << QByteArray()
            << u"Şifre okunamadı: --login şifreyi standart girdinin ilk satırında bekler"_qs;
        QTest::newRow("closed port") << QStringList{h, login, a} << QByteArray("pw\n") << u"http://127.0.0.1:1"_qs << 1
                                     << QByteArray() << QByteArray() << u"Bağlantı reddedildi"_qs;
        QTest::newRow("unknown host") << QStringList{h, login, a} << QByteArray("pw\n") << u"http://api.kestrava.invalid"_qs
                                      << 1 << QByteArray() << QByteArray()
                                      << u"api.kestrava.invalid ana bilgisayarı bulunamadı"_qs;
    }
    void failures() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(QString, origin);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(QString, error);
        if (origin.contains(u".invalid"_qs) && ::geteuid() != 0) QSKIP("needs root for a network namespace");
        const qsizetype before = m_service.requests().size();
        const Run r = run(args, input, origin.isEmpty() ? u"config"_qs : u"transport"_qs, origin);
        QCOMPARE(r.code, code);
        QVERIFY2(r.out.startsWith(out), r.out.constData());
        QVERIFY2(r.errors.contains(err), r.errors.constData());
        if (code != 1) {
            QCOMPARE(m_service.requests().size(), before);
            QVERIFY(!r.raw().contains("{\"version\""));
        }
        bool seen = error.isEmpty();
        for (const QJsonObject& l : r.lines)
            seen = seen || l.value(u"error"_qs).toString() == error ||
                   (l.value(u"field"_qs).toString() == QLatin1String("errorMessage") && l.value(u"value"_qs).toString() == error);
        QVERIFY2(seen, r.raw().constData());
    }

    // --- copies of the program --------------------------------------------------------------------------
    // An older copy ends for a newcomer through its own quit path (no tunnel: at once), as it does on
    // SIGTERM; a hung one is killed. Either way its socket goes; without a tray host it said so in a line.
    void olderCopyEnds_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("a new copy") << u"newcomer"_qs;
        QTest::newRow("a new copy, the older hung") << u"hung"_qs;
        QTest::newRow("SIGTERM") << u"sigterm"_qs;
    }
    void olderCopyEnds() {
        QFETCH(QString, how);
        QProcess* old = start();
        QVERIFY(listening(old));
        const qint64 pid = old->processId();
        const bool hung = how == u"hung"_qs;
        if (hung) ::kill(pid_t(pid), SIGSTOP);
        QProcess* next = nullptr;
        if (how == u"sigterm"_qs) {
            ::kill(pid_t(pid), SIGTERM);
        } else {
            next = start();
            QVERIFY(listening(next));
        }
        QVERIFY(old->state() == QProcess::NotRunning || old->waitForFinished(10'000));
        QCOMPARE(old->exitStatus(), hung ? QProcess::CrashExit : QProcess::NormalExit);
        QCOMPARE(old->exitCode(), hung ? SIGKILL : 0);
        QVERIFY(!QFile::exists(socketOf(pid)));
        if (next) QCOMPARE(next->state(), QProcess::Running);
        QVERIFY(old->readAllStandardOutput().startsWith("{\"version\":"));
        const QString said = QString::fromUtf8(old->readAllStandardError());
        QVERIFY2(hung || said.contains(u"sistem tepsisi yok"_qs), qPrintable(said)); // stopped, it may not have said it
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
};

QTEST_GUILESS_MAIN(HeadlessTest)
#include "headless_test.moc"
