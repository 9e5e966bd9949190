#include "state/app_state.h"

#include "platform/defaults_keys.h"
#include "support/test_env.h"

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
