#include "state/app_state.h"

#include "platform/defaults_keys.h"
#include "support/test_env.h"

#include <QSignalSpy>
#include <QTest>

namespace {
// These rows look at the fields alone; the start-up work has tests of its own.
AppState::Environment noWork() {
    AppState::Environment e;
    e.startWork = false;
    return e;
}

using Read = std::function<std::optional<QString>(const AppState&)>;
} // namespace

class AppStateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstStart() {
        TestEnv env;
        AppState s(env.defaults(), noWork());
        QVERIFY(!s.token());
        QCOMPARE(s.email(), QString());
        QCOMPARE(s.plan(), QStringLiteral("FREE"));
        QVERIFY(!s.activeServerId());
        QCOMPARE(s.status(), ConnectionStatus::idle);
        QVERIFY(s.servers().isEmpty());
        QVERIFY(!s.errorMessage() && !s.originalIp() && !s.originalPlace() && !s.exitIp());
        QVERIFY(!s.busy() && !s.updating() && !s.updateInfo() && !s.notice());
        QVERIFY(!s.signedIn());
    }

    void restore_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<Read>("read");
        const Read token = [](const AppState& s) { return s.token(); };
        QTest::newRow("token") << DefaultsKeys::token << QStringLiteral("t1") << token;
        QTest::newRow("empty token is signed in") << DefaultsKeys::token << QString() << token;
        QTest::newRow("email") << DefaultsKeys::email << QStringLiteral("a@b.c")
                               << Read([](const AppState& s) { return std::optional(s.email()); });
        const Read plan = [](const AppState& s) { return std::optional(s.plan()); };
        QTest::newRow("plan") << DefaultsKeys::plan << QStringLiteral("PLUS") << plan;
        QTest::newRow("empty plan stays empty") << DefaultsKeys::plan << QString() << plan;
        QTest::newRow("server") << DefaultsKeys::server << QStringLiteral("tr-1")
                                << Read([](const AppState& s) { return s.activeServerId(); });
    }
    void restore() {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(Read, read);
        TestEnv env;
        QVERIFY(env.defaults().setString(key, stored).ok());
        AppState s(env.restartDefaults(), noWork());
        const std::optional<QString> v = read(s);
        QVERIFY2(v.has_value(), "a stored empty text must not fall back");
        QCOMPARE(*v, stored);
        // Only a stored token signs in, an empty one too.
        QCOMPARE(s.signedIn(), key == DefaultsKeys::token);
    }

    void storedOwnAddressIsNotRestored() {
        TestEnv env;
        QVERIFY(env.defaults().setString(DefaultsKeys::originalIp, QStringLiteral("192.0.2.1")).ok());
        QVERIFY(env.defaults().setString(DefaultsKeys::originalPlace, QStringLiteral("Ankara, TR")).ok());
        AppState s(env.restartDefaults(), noWork());
        QVERIFY(!s.originalIp());
        QVERIFY(!s.originalPlace());
    }

    void everyAssignmentNotifies_data() {
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<std::function<void(AppState&)>>("assign");
        using F = std::function<void(AppState&)>;
        QTest::newRow("token") << QByteArray(SIGNAL(tokenChanged())) << F([](AppState& s) { s.setToken(std::nullopt); });
        QTest::newRow("email") << QByteArray(SIGNAL(emailChanged())) << F([](AppState& s) { s.setEmail(QString()); });
        QTest::newRow("plan") << QByteArray(SIGNAL(planChanged()))
                              << F([](AppState& s) { s.setPlan(QStringLiteral("FREE")); });
        QTest::newRow("servers") << QByteArray(SIGNAL(serversChanged())) << F([](AppState& s) { s.setServers({}); });
        QTest::newRow("status") << QByteArray(SIGNAL(statusChanged()))
                                << F([](AppState& s) { s.setStatus(ConnectionStatus::idle); });
        QTest::newRow("busy") << QByteArray(SIGNAL(busyChanged())) << F([](AppState& s) { s.setBusy(false); });
        QTest::newRow("errorMessage") << QByteArray(SIGNAL(errorMessageChanged()))
                                      << F([](AppState& s) { s.setErrorMessage(std::nullopt); });
        QTest::newRow("exitIp") << QByteArray(SIGNAL(exitIpChanged()))
                                << F([](AppState& s) { s.setExitIp(std::nullopt); });
        QTest::newRow("updating") << QByteArray(SIGNAL(updatingChanged()))
                                  << F([](AppState& s) { s.setUpdating(false); });
        QTest::newRow("notice") << QByteArray(SIGNAL(noticeChanged()))
                                << F([](AppState& s) { s.setNotice(std::nullopt); });
    }
    void everyAssignmentNotifies() {
        QFETCH(QByteArray, signal);
        QFETCH(std::function<void(AppState&)>, assign);
        TestEnv env;
        AppState s(env.defaults(), noWork());
        QSignalSpy field(&s, signal.constData());
        QSignalSpy will(&s, SIGNAL(objectWillChange()));
        // The same value twice still notifies twice.
        assign(s);
        assign(s);
        QCOMPARE(field.size(), 2);
        QCOMPARE(will.size(), 2);
    }

    void willChangeComesBeforeTheValue() {
        TestEnv env;
        AppState s(env.defaults(), noWork());
        ConnectionStatus seenBefore = ConnectionStatus::connected;
        ConnectionStatus seenAfter = ConnectionStatus::idle;
        connect(&s, &AppState::objectWillChange, this, [&] { seenBefore = s.status(); });
        connect(&s, &AppState::statusChanged, this, [&] { seenAfter = s.status(); });
        s.setStatus(ConnectionStatus::connecting);
        QCOMPARE(seenBefore, ConnectionStatus::idle);
        QCOMPARE(seenAfter, ConnectionStatus::connecting);
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "app_state_test.moc"
