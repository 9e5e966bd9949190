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
        QVERIFY(s.property("token").isNull());
    }

    void restore_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("property");
        QTest::newRow("token") << DefaultsKeys::token << QStringLiteral("t1") << QStringLiteral("token");
        QTest::newRow("empty token is signed in") << DefaultsKeys::token << QString() << QStringLiteral("token");
        QTest::newRow("email") << DefaultsKeys::email << QStringLiteral("a@b.c") << QStringLiteral("email");
        QTest::newRow("plan") << DefaultsKeys::plan << QStringLiteral("PLUS") << QStringLiteral("plan");
        QTest::newRow("empty plan stays empty") << DefaultsKeys::plan << QString() << QStringLiteral("plan");
        QTest::newRow("server") << DefaultsKeys::server << QStringLiteral("tr-1") << QStringLiteral("activeServerId");
    }
    void restore() {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, property);
        TestEnv env;
        QVERIFY(env.defaults().setString(key, stored).ok());
        AppState s(env.restartDefaults(), noWork());
        const QVariant v = s.property(property.toUtf8().constData());
        QVERIFY2(!v.isNull(), "a stored empty text must not fall back");
        QCOMPARE(v.toString(), stored);
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

    void qmlFacingValues() {
        TestEnv env;
        AppState s(env.defaults(), noWork());
        s.setServers({Server{QStringLiteral("a"), std::nullopt, QStringLiteral("c"), QStringLiteral("TR"),
                             QStringLiteral("x"), 1, std::nullopt, QStringLiteral("FREE")}});
        QCOMPARE(s.property("servers").toList().size(), 1);
        QCOMPARE(s.property("servers").toList().first().value<Server>().id, QStringLiteral("a"));
        s.setUpdateInfo(Updater::Info{QStringLiteral("2.0"), QStringLiteral("u"), std::nullopt});
        QCOMPARE(s.property("updateInfo").value<Updater::Info>().version, QStringLiteral("2.0"));
        QCOMPARE(s.property("status").value<ConnectionStatus>(), ConnectionStatus::idle);
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "app_state_test.moc"
