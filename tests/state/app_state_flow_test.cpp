#include "platform/defaults_keys.h"
#include "state/app_state.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "vpn/vpn_controller.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <memory>

Q_DECLARE_METATYPE(VpnStatus)

namespace {

QJsonObject withOverrides(QJsonObject scenario, const QJsonArray& overrides) {
    scenario.insert(QStringLiteral("overrides"), overrides);
    return scenario;
}

QJsonObject override(const char* method, const char* path, const QJsonObject& reply) {
    QJsonObject o = reply;
    o.insert(QStringLiteral("method"), QString::fromUtf8(method));
    o.insert(QStringLiteral("path"), QString::fromUtf8(path));
    return o;
}

Server server(const char* id, qint64 load, std::optional<qint64> ping) {
    Server s;
    s.id = QString::fromUtf8(id);
    s.country = s.countryCode = s.city = s.tier = QStringLiteral("x");
    s.load = load;
    s.pingMs = ping;
    return s;
}

// Both servers of the basic scenario with a gateway, so the automatic choice (de-1) can connect.
QJsonObject bothGateways() {
    QJsonObject scenario = basicScenario();
    QJsonObject gateways = scenario.value(QStringLiteral("gateways")).toObject();
    gateways.insert(QStringLiteral("de-1"), QJsonObject{{QStringLiteral("host"), QStringLiteral("127.0.0.2")},
                                                        {QStringLiteral("remoteId"), QStringLiteral("de.test")},
                                                        {QStringLiteral("secret"), QStringLiteral("psk-2")}});
    scenario.insert(QStringLiteral("gateways"), gateways);
    return scenario;
}

QStringList paths(const QJsonArray& requests) {
    QStringList out;
    for (const QJsonValue& r : requests) out.append(r.toObject().value(QStringLiteral("path")).toString());
    return out;
}

} // namespace

class AppStateFlowTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<StateHarness> m_h;
    std::unique_ptr<AppState> m_state;

    void signIn() {
        QVERIFY(driveTask(*m_h, m_state->login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw"))));
        QVERIFY(m_state->token());
    }
    void loadServers() {
        QVERIFY(driveTask(*m_h, m_state->loadServers()));
        QCOMPARE(m_state->servers().size(), 2);
    }
    std::optional<QString> stored(const QString& key) { return m_env->defaults().string(key); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }
    void init() {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_service.setScenario(basicScenario()));
        QVERIFY(m_service.clearRequests());
        m_h = std::make_unique<StateHarness>();
        m_state = m_h->make(m_env->defaults());
    }
    void cleanup() {
        m_state.reset();
        m_h.reset();
        m_env.reset();
    }

    // Sign-in and sign-out.

    void loginOutcomes_data() {
        QTest::addColumn<QJsonObject>("user");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("plan");
        const auto user = [](const char* email, const char* plan) {
            QJsonObject u{{QStringLiteral("id"), QStringLiteral("u1")}, {QStringLiteral("email"), QString::fromUtf8(email)}};
            if (plan) u.insert(QStringLiteral("plan"), QString::fromUtf8(plan));
            return u;
        };
        QTest::newRow("plan") << user("a@kestrava.test", "PLUS") << "a@kestrava.test" << "pw" << QString()
                              << "a@kestrava.test" << "PLUS";
        QTest::newRow("no plan is FREE") << user("a@kestrava.test", nullptr) << "a@kestrava.test" << "pw" << QString()
                                         << "a@kestrava.test" << "FREE";
        QTest::newRow("service spells the address") << user("A@Kestrava.Test", "PLUS") << "a@kestrava.test" << "pw"
                                                    << QString() << "A@Kestrava.Test" << "PLUS";
        QTest::newRow("wrong password") << user("a@kestrava.test", "PLUS") << "a@kestrava.test" << "PW"
                                        << "E-posta veya şifre hatalı" << QString() << QString();
    }
    void loginOutcomes() {
        QFETCH(QJsonObject, user);
        QFETCH(QString, typed);
        QFETCH(QString, password);
        QFETCH(QString, error);
        QFETCH(QString, email);
        QFETCH(QString, plan);
        QJsonObject scenario = basicScenario();
        QJsonArray accounts = scenario.value(QStringLiteral("accounts")).toArray();
        QJsonObject account = accounts.at(0).toObject();
        account.insert(QStringLiteral("user"), user);
        accounts[0] = account;
        scenario.insert(QStringLiteral("accounts"), accounts);
        QVERIFY(m_service.setScenario(scenario));
        m_state->setErrorMessage(QStringLiteral("eski"));

        QList<bool> busy;
        connect(m_state.get(), &AppState::busyChanged, this, [&] { busy.append(m_state->busy()); });
        QVERIFY(driveTask(*m_h, m_state->login(typed, password)));
        QCOMPARE(busy, (QList<bool>{true, false}));
        if (!error.isEmpty()) {
            QCOMPARE(m_state->errorMessage(), std::optional<QString>(error));
            QVERIFY(!m_state->token());
            QVERIFY(!stored(DefaultsKeys::token) && !stored(DefaultsKeys::email) && !stored(DefaultsKeys::plan));
            QCOMPARE(m_state->plan(), QStringLiteral("FREE"));
            return;
        }
        QVERIFY(!m_state->errorMessage());
        QCOMPARE(m_state->token(), std::optional<QString>(QStringLiteral("tok-1")));
        QCOMPARE(m_state->email(), email);
        QCOMPARE(m_state->plan(), plan);
        QCOMPARE(stored(DefaultsKeys::token), std::optional<QString>(QStringLiteral("tok-1")));
        QCOMPARE(stored(DefaultsKeys::email), std::optional<QString>(email));
        QCOMPARE(stored(DefaultsKeys::plan), std::optional<QString>(plan));
        // Sign-in starts nothing else.
        QCOMPARE(paths(m_service.requests()), QStringList{QStringLiteral("/auth/login")});
    }

    void logoutKeepsAllButTheToken() {
        QVERIFY(m_service.setScenario(bothGateways()));
        signIn();
        loadServers();
        QVERIFY(driveTask(*m_h, m_state->toggle()));
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
        const auto serverBefore = stored(DefaultsKeys::server);
        m_state->logout();
        // At once, before the system has taken the tunnel down.
        QCOMPARE(m_state->status(), ConnectionStatus::idle);
        QVERIFY(!m_state->token() && !m_state->exitIp());
        QVERIFY(!stored(DefaultsKeys::token));
        QCOMPARE(m_state->servers().size(), 2);
        QVERIFY(m_h->drive([&] { return m_h->facility.status() == VpnStatus::disconnected; }));
        QCOMPARE(m_h->facility.stops, 1);

        // A restart shows the sign-in view with the account's address and plan.
        m_state.reset();
        m_state = m_h->make(m_env->restartDefaults());
        QVERIFY(!m_state->token());
        QCOMPARE(m_state->email(), QStringLiteral("a@kestrava.test"));
        QCOMPARE(m_state->plan(), QStringLiteral("PLUS"));
        QCOMPARE(m_state->activeServerId(), serverBefore);
        QVERIFY(m_env->defaults().string(DefaultsKeys::originalIp));
    }

    // Servers.

    void serverListReplies_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<int>("count");
        QTest::newRow("500 keeps the list") << QJsonObject{{QStringLiteral("status"), 500}} << 2;
        QTest::newRow("garbage keeps the list") << QJsonObject{{QStringLiteral("rawBody"), QStringLiteral("<html>")}} << 2;
        QTest::newRow("dropped keeps the list") << QJsonObject{{QStringLiteral("dropConnection"), true}} << 2;
        QTest::newRow("empty list empties it")
            << QJsonObject{{QStringLiteral("body"), QJsonObject{{QStringLiteral("servers"), QJsonArray{}}}}} << 0;
    }
    void serverListReplies() {
        QFETCH(QJsonObject, reply);
        QFETCH(int, count);
        signIn();
        loadServers();
        QVERIFY(m_service.setScenario(withOverrides(basicScenario(), {override("GET", "/servers", reply)})));
        QVERIFY(driveTask(*m_h, m_state->loadServers()));
        QCOMPARE(m_state->servers().size(), count);
        QVERIFY(!m_state->errorMessage());
        QCOMPARE(m_state->bestServer().has_value(), count > 0);
    }

    void bestServer_data() {
        QTest::addColumn<QList<Server>>("servers");
        QTest::addColumn<QString>("best");
        QTest::newRow("missing ping counts 999") << QList<Server>{server("A", 10, {}), server("B", 500, 5)} << "B";
        QTest::newRow("tie keeps the first") << QList<Server>{server("A", 20, 30), server("B", 30, 20)} << "A";
        QTest::newRow("tie, other order") << QList<Server>{server("B", 30, 20), server("A", 20, 30)} << "B";
        QTest::newRow("negative load") << QList<Server>{server("A", 5, 5), server("B", -100, 5)} << "B";
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("overflow saturates, not wraps")
            << QList<Server>{server("A", 1000, 1000), server("B", max, 10)} << "A";
        QTest::newRow("both saturate, first wins") << QList<Server>{server("A", max, 1), server("B", max, max)} << "A";
        QTest::newRow("underflow saturates low") << QList<Server>{server("A", 0, 0), server("B", min, -1)} << "B";
        QTest::newRow("empty") << QList<Server>{} << QString();
    }
    void bestServer() {
        QFETCH(QList<Server>, servers);
        QFETCH(QString, best);
        m_state->setServers(servers);
        QCOMPARE(m_state->bestServer() ? m_state->bestServer()->id : QString(), best);
    }

    void activeServerIsTheRememberedOne() {
        m_state->setServers({server("A", 1, 1), server("B", 2, 2), server("B", 9, 9)});
        QVERIFY(!m_state->activeServer());
        m_state->setActiveServerId(QStringLiteral("B"));
        QCOMPARE(m_state->activeServer()->load, 2);
        m_state->setActiveServerId(QStringLiteral("gone"));
        QVERIFY(!m_state->activeServer());
        QCOMPARE(m_state->bestServer()->id, QStringLiteral("A"));
    }

    // Connect.

    void toggleWithoutServers() {
        signIn();
        QVERIFY(driveTask(*m_h, m_state->toggle()));
        QCOMPARE(m_state->errorMessage(), std::optional<QString>(QStringLiteral("Sunucu listesi henüz yüklenmedi")));
        QCOMPARE(m_state->status(), ConnectionStatus::idle);
        QVERIFY(!m_state->busy());
        QCOMPARE(m_h->facility.starts, 0);
    }

    void connectWhileSignedOutDoesNothing() {
        m_state->setServers({server("tr-1", 1, 1)});
        QSignalSpy changes(m_state.get(), &AppState::objectWillChange);
        QVERIFY(driveTask(*m_h, m_state->toggle()));
        QCOMPARE(changes.count(), 0);
        QVERIFY(m_service.requests().isEmpty());
    }

    void connectSucceeds() {
        QVERIFY(m_service.setScenario(bothGateways()));
        signIn();
        loadServers();
        m_service.clearRequests();
        QList<ConnectionStatus> statuses;
        connect(m_state.get(), &AppState::statusChanged, this, [&] { statuses.append(m_state->status()); });
        // The keychain's dialog shows in the state while it is open.
        m_h->keychain.asksThePerson = true;
        QList<bool> waiting;
        connect(m_state.get(), &AppState::waitingForKeychainChanged, this,
                [&] { waiting.append(m_state->waitingForKeychain()); });
        // Remembered server missing from the list: the best one is used and remembered.
        m_state->setActiveServerId(QStringLiteral("gone"));
        QVERIFY(driveTask(*m_h, m_state->toggle()));
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
        QVERIFY(!m_state->busy() && !m_state->errorMessage());
        QCOMPARE(m_state->activeServerId(), std::optional<QString>(QStringLiteral("de-1")));
        QCOMPARE(statuses.first(), ConnectionStatus::connecting);
        QCOMPARE(statuses.last(), ConnectionStatus::connected);
        QCOMPARE(waiting, (QList<bool>{true, false}));
        QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("203.0.113.8")));
        QCOMPARE(stored(DefaultsKeys::server), std::optional<QString>(QStringLiteral("de-1")));
    }

    void connectFullRoad() {
        signIn();
        loadServers();
        m_service.clearRequests();
        QVERIFY(driveTask(*m_h, m_state->connect(m_state->servers().at(0))));
        QVERIFY2(!m_state->errorMessage(), qPrintable(m_state->errorMessage().value_or(QString())));
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
        QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("203.0.113.7")));
        // The own address is recorded before the tunnel changes it.
        QCOMPARE(m_state->originalIp(), std::optional<QString>(QStringLiteral("192.0.2.44")));
        QCOMPARE(m_state->originalPlace(), std::optional<QString>(QStringLiteral("Ankara, TR")));
        QCOMPARE(stored(DefaultsKeys::originalIp), std::optional<QString>(QStringLiteral("192.0.2.44")));
        QCOMPARE(stored(DefaultsKeys::server), std::optional<QString>(QStringLiteral("tr-1")));
        QCOMPARE(paths(m_service.requests()), (QStringList{QStringLiteral("/geo"), QStringLiteral("/connect")}));
        QCOMPARE(m_h->keychain.data(QString::fromUtf8(VPNController::keychainService),
                                    QString::fromUtf8(VPNController::keychainAccount)),
                 std::optional<QByteArray>("psk-1"));
        QCOMPARE(m_h->facility.storedProfile->protocolConfiguration->serverAddress,
                 std::optional<QString>(QStringLiteral("127.0.0.1")));
        QCOMPARE(m_h->facility.starts, 1);
    }

    // The system reports the tunnel going down a moment before its route is gone, so a lookup started
    // then comes back through the tunnel: that is not the user's own address. What counts is the path
    // at the start, not the value: the same address seen once the tunnel is gone is the user's.
    void lookupThroughTheClosingTunnelIsNotTheOwnAddress() {
        const auto withGeo = [](const char* ip) {
            QJsonObject scenario = basicScenario();
            scenario.insert(QStringLiteral("geo"), QJsonObject{{QStringLiteral("ip"), QString::fromUtf8(ip)},
                                                               {QStringLiteral("city"), QStringLiteral("X")},
                                                               {QStringLiteral("countryCode"), QStringLiteral("NL")}});
            return scenario;
        };
        signIn();
        loadServers();
        QVERIFY(driveTask(*m_h, m_state->connect(m_state->servers().at(0))));
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
        QCOMPARE(m_state->originalIp(), std::optional<QString>(QStringLiteral("192.0.2.44")));
        QVERIFY(m_service.setScenario(withGeo("198.51.100.77")));
        QVERIFY(driveTask(*m_h, m_state->refreshIps()));
        QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("198.51.100.77")));

        // Going down, as the status sync sees it: idle already, the system still disconnecting.
        m_h->facility.setStatus(VpnStatus::disconnecting, false);
        m_state->setStatus(ConnectionStatus::idle);
        m_state->setExitIp(std::nullopt);
        QVERIFY(driveTask(*m_h, m_state->refreshIps()));
        QCOMPARE(m_state->originalIp(), std::optional<QString>(QStringLiteral("192.0.2.44")));
        QCOMPARE(stored(DefaultsKeys::originalIp), std::optional<QString>(QStringLiteral("192.0.2.44")));
        QCOMPARE(m_state->originalPlace(), std::optional<QString>(QStringLiteral("Ankara, TR")));
        QVERIFY(!m_state->exitIp());

        // Down: whatever the lookup answers now is the user's own.
        m_h->facility.setStatus(VpnStatus::disconnected, false);
        QVERIFY(driveTask(*m_h, m_state->refreshIps()));
        QCOMPARE(m_state->originalIp(), std::optional<QString>(QStringLiteral("198.51.100.77")));
        QCOMPARE(stored(DefaultsKeys::originalIp), std::optional<QString>(QStringLiteral("198.51.100.77")));
    }

    void connectFailures_data() {
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<QJsonArray>("overrides");
        QTest::addColumn<int>("script"); // 0 plain, 1 first start fails, 2 both fail, 3 reinstall fails
        QTest::addColumn<QString>("error"); // empty = connected in the end
        QTest::addColumn<int>("starts");
        QTest::newRow("no gateway") << "de-1" << QJsonArray{} << 0 << "Sunucu VPN bilgisi döndürmedi" << 0;
        QTest::newRow("service message")
            << "tr-1"
            << QJsonArray{override("POST", "/connect", {{QStringLiteral("status"), 403},
                                                        {QStringLiteral("body"), QJsonObject{{QStringLiteral("message"),
                                                                                             QStringLiteral("Plan yetersiz")}}}})}
            << 0 << "Plan yetersiz" << 0;
        QTest::newRow("status fallback") << "tr-1"
                                         << QJsonArray{override("POST", "/connect", {{QStringLiteral("status"), 502}})}
                                         << 0 << "Sunucu hatası (502)" << 0;
        QTest::newRow("first start fails, retry works") << "tr-1" << QJsonArray{} << 1 << QString() << 2;
        QTest::newRow("both starts fail") << "tr-1" << QJsonArray{} << 2 << "Sistem VPN bağlantıyı reddetti \u2013 IKE reddedildi"
                                          << 2;
        QTest::newRow("reinstall fails") << "tr-1" << QJsonArray{} << 3 << "VPN anahtarı kaydedilemedi (kod -25293)" << 1;
    }
    void connectFailures() {
        QFETCH(QString, serverId);
        QFETCH(QJsonArray, overrides);
        QFETCH(int, script);
        QFETCH(QString, error);
        QFETCH(int, starts);
        signIn();
        loadServers();
        QVERIFY(m_service.setScenario(withOverrides(basicScenario(), overrides)));
        m_state->setExitIp(QStringLiteral("198.51.100.9"));
        const QList<SimulatedFacility::Step> refused{{VpnStatus::connecting, 0}, {VpnStatus::disconnected, 100}};
        m_h->facility.disconnectError = Error{Error::Kind::Io, QStringLiteral("IKE reddedildi")};
        if (script == 1) m_h->facility.nextStarts = {refused};
        if (script == 2) m_h->facility.nextStarts = {refused, refused};
        if (script == 3) {
            m_h->facility.nextStarts = {refused};
            m_h->keychain.updateScript = {KeychainStatus::itemNotFound, -25293};
        }
        QList<ConnectionStatus> statuses;
        connect(m_state.get(), &AppState::statusChanged, this, [&] { statuses.append(m_state->status()); });
        Server target;
        for (const Server& s : m_state->servers())
            if (s.id == serverId) target = s;
        QVERIFY(driveTask(*m_h, m_state->connect(target), 2000));
        QVERIFY(!m_state->busy());
        QCOMPARE(m_h->facility.starts, starts);
        QCOMPARE(m_state->activeServerId(), std::optional<QString>(serverId));
        QCOMPARE(stored(DefaultsKeys::server), std::optional<QString>(serverId));
        if (error.isEmpty()) {
            QVERIFY(!m_state->errorMessage());
            QCOMPARE(m_state->status(), ConnectionStatus::connected);
            QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("203.0.113.7")));
            return;
        }
        QCOMPARE(m_state->errorMessage(), std::optional<QString>(error));
        QCOMPARE(m_state->status(), ConnectionStatus::idle);
        QCOMPARE(statuses.last(), ConnectionStatus::idle);
        QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("198.51.100.9")));
    }

    void tunnelAlreadyUpSkipsTheOwnAddress() {
        signIn();
        loadServers();
        QVERIFY(driveTask(*m_h, m_state->connect(m_state->servers().at(0))));
        m_state->setOriginalIp(QStringLiteral("192.0.2.1"));
        m_service.clearRequests();
        QVERIFY(driveTask(*m_h, m_state->connect(m_state->servers().at(0))));
        QCOMPARE(paths(m_service.requests()), QStringList{QStringLiteral("/connect")});
        QCOMPARE(m_state->originalIp(), std::optional<QString>(QStringLiteral("192.0.2.1")));
        QCOMPARE(m_h->facility.starts, 1);
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
    }

    void toggleWhileUpOnlyStops_data() {
        QTest::addColumn<ConnectionStatus>("status");
        QTest::newRow("connected") << ConnectionStatus::connected;
        QTest::newRow("connecting") << ConnectionStatus::connecting;
    }
    void toggleWhileUpOnlyStops() {
        QFETCH(ConnectionStatus, status);
        signIn();
        m_h->facility.setStatus(VpnStatus::connected, false);
        m_state->setStatus(status);
        QVERIFY(driveTask(*m_h, m_state->toggle()));
        QCOMPARE(m_state->status(), status);
        QVERIFY(m_h->drive([&] { return m_h->facility.stops == 1; }));
        QCOMPARE(m_h->facility.starts, 0);
    }

    void signOutDuringAConnectDoesNotCancelIt() {
        signIn();
        loadServers();
        QVERIFY(m_service.setScenario(withOverrides(
            basicScenario(), {override("POST", "/connect", {{QStringLiteral("delayMs"), 300},
                                                            {QStringLiteral("body"), QJsonObject{
                                                                {QStringLiteral("server"), m_state->servers().at(0).toJson()},
                                                                {QStringLiteral("exitIp"), QStringLiteral("203.0.113.7")},
                                                                {QStringLiteral("gateway"), QJsonObject{
                                                                    {QStringLiteral("host"), QStringLiteral("h")},
                                                                    {QStringLiteral("remoteId"), QStringLiteral("r")},
                                                                    {QStringLiteral("secret"), QStringLiteral("s")}}}}}})})));
        bool done = false;
        auto flow = [&]() -> QCoro::Task<> {
            co_await m_state->connect(m_state->servers().at(0));
            done = true;
        };
        auto running = flow();
        QVERIFY(StateHarness::spin([&] { return m_service.requests(QStringLiteral("POST"), QStringLiteral("/connect")).size() == 1; }));
        m_state->logout();
        QCOMPARE(m_state->status(), ConnectionStatus::idle);
        QVERIFY(m_h->drive([&] { return done; }));
        // The flow carried on with the token it read at its start.
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
        QVERIFY(!m_state->token());
    }

    void refreshTickDuringAConnect() {
        signIn();
        m_state = m_h->make(m_env->defaults(), true);
        QVERIFY(StateHarness::spin([&] { return m_state->servers().size() == 2 && !m_state->startingUp(); }));
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"),
                        QJsonArray{override("POST", "/connect", {{QStringLiteral("delayMs"), 400},
                                                                 {QStringLiteral("body"), QJsonObject{
                                                                     {QStringLiteral("server"), m_state->servers().at(0).toJson()},
                                                                     {QStringLiteral("exitIp"), QStringLiteral("203.0.113.7")},
                                                                     {QStringLiteral("gateway"), QJsonObject{
                                                                         {QStringLiteral("host"), QStringLiteral("h")},
                                                                         {QStringLiteral("remoteId"), QStringLiteral("r")},
                                                                         {QStringLiteral("secret"), QStringLiteral("s")}}}}}})});
        QVERIFY(m_service.setScenario(scenario));
        QVERIFY(m_service.clearRequests());
        bool done = false;
        std::optional<QString> exitAtEnd;
        auto flow = [&]() -> QCoro::Task<> {
            co_await m_state->connect(m_state->servers().at(0));
            // Read as the flow ends: the lookup that the status change starts may answer any moment
            // after, and this stand-in, knowing nothing of the simulated tunnel, answers the own address.
            exitAtEnd = m_state->exitIp();
            done = true;
        };
        auto running = flow();
        QVERIFY(StateHarness::spin([&] { return m_service.requests(QStringLiteral("POST"), QStringLiteral("/connect")).size() == 1; }));
        // The tick lands while the flow waits for the service.
        m_h->clock.advance(30'000);
        QVERIFY(StateHarness::spin([&] { return m_service.requests(QStringLiteral("GET"), QStringLiteral("/notify/inbox")).size() == 1; }));
        QCOMPARE(m_state->status(), ConnectionStatus::connecting);
        QVERIFY(m_state->busy());
        QVERIFY(m_h->drive([&] { return done; }));
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
        QCOMPARE(exitAtEnd, std::optional<QString>(QStringLiteral("203.0.113.7")));
        QCOMPARE(m_state->servers().size(), 2);
        QVERIFY(!m_state->errorMessage());
    }

    void systemDownDuringAConnectKeepsConnecting() {
        signIn();
        loadServers();
        m_h->facility.startSteps = {{VpnStatus::connecting, 0}, {VpnStatus::connected, 5000}};
        bool done = false;
        auto flow = [&]() -> QCoro::Task<> {
            co_await m_state->connect(m_state->servers().at(0));
            done = true;
        };
        auto running = flow();
        QVERIFY(m_h->drive([&] { return m_h->facility.starts == 1; }));
        m_state->setExitIp(QStringLiteral("198.51.100.9"));
        m_h->facility.setStatus(VpnStatus::disconnecting);
        StateHarness::spin([] { return false; }, 20);
        QCOMPARE(m_state->status(), ConnectionStatus::connecting);
        QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("198.51.100.9")));
        m_h->facility.setStatus(VpnStatus::connecting);
        QVERIFY(m_h->drive([&] { return done; }, 400, 100));
        QCOMPARE(m_state->status(), ConnectionStatus::connected);
    }

    // System status.

    void systemStatusTable_data() {
        QTest::addColumn<ConnectionStatus>("before");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<VpnStatus>("system");
        QTest::addColumn<ConnectionStatus>("after");
        QTest::addColumn<bool>("exitCleared");
        QTest::addColumn<bool>("refresh");
        using C = ConnectionStatus;
        using V = VpnStatus;
        QTest::newRow("idle, 2") << C::idle << false << V::connecting << C::connecting << false << true;
        QTest::newRow("idle, 4") << C::idle << false << V::reasserting << C::connecting << false << true;
        QTest::newRow("connecting, 2") << C::connecting << true << V::connecting << C::connecting << false << false;
        QTest::newRow("idle, 3") << C::idle << false << V::connected << C::connected << false << true;
        QTest::newRow("connecting busy, 3") << C::connecting << true << V::connected << C::connected << false << true;
        QTest::newRow("connecting busy, 1") << C::connecting << true << V::disconnected << C::connecting << false << false;
        QTest::newRow("connecting busy, 5") << C::connecting << true << V::disconnecting << C::connecting << false << false;
        QTest::newRow("connecting idle flow, 0") << C::connecting << false << V::invalid << C::idle << true << true;
        QTest::newRow("connected, 1") << C::connected << false << V::disconnected << C::idle << true << true;
        // The refresh waits for the tunnel to be gone: nothing is sent while it goes down.
        QTest::newRow("connected busy, 5") << C::connected << true << V::disconnecting << C::idle << true << false;
        QTest::newRow("idle, 1") << C::idle << false << V::disconnected << C::idle << true << false;
    }
    void systemStatusTable() {
        QFETCH(ConnectionStatus, before);
        QFETCH(bool, busy);
        QFETCH(VpnStatus, system);
        QFETCH(ConnectionStatus, after);
        QFETCH(bool, exitCleared);
        QFETCH(bool, refresh);
        m_state = m_h->make(m_env->defaults(), true);
        QVERIFY(m_h->drive([&] { return m_service.requests(QStringLiteral("GET"), QStringLiteral("/geo")).size() == 1; }));
        QVERIFY(StateHarness::spin([&] { return m_state->originalIp().has_value(); }));
        m_service.clearRequests();
        m_state->setStatus(before);
        m_state->setBusy(busy);
        m_state->setExitIp(QStringLiteral("198.51.100.9"));
        m_h->facility.setStatus(system);
        // The observer runs as its own task; let it.
        StateHarness::spin([] { return false; }, 50);
        QCOMPARE(m_state->status(), after);
        QCOMPARE(!m_state->exitIp().has_value(), exitCleared);
        // Let a started refresh reach the service.
        StateHarness::spin([&] { return !m_service.requests().isEmpty(); }, refresh ? 5000 : 200);
        QCOMPARE(m_service.requests(QStringLiteral("GET"), QStringLiteral("/geo")).size(), refresh ? 1 : 0);
        if (system != VpnStatus::disconnecting || after == before) return;
        // Down now: the lookup that waited goes, over the path that is left.
        m_h->facility.setStatus(VpnStatus::disconnected);
        QVERIFY(StateHarness::spin([&] { return m_service.requests(QStringLiteral("GET"), QStringLiteral("/geo")).size() == 1; }));
    }

    // Addresses.

    void ownAddressRules_data() {
        QTest::addColumn<QJsonValue>("geo");
        QTest::addColumn<QVariant>("ip");
        QTest::addColumn<QVariant>("place");
        const QVariant none;
        const auto geo = [](const char* ip, QJsonValue city, QJsonValue cc) {
            QJsonObject o{{QStringLiteral("ip"), QString::fromUtf8(ip)}};
            if (!city.isUndefined()) o.insert(QStringLiteral("city"), city);
            if (!cc.isUndefined()) o.insert(QStringLiteral("countryCode"), cc);
            return QJsonValue(o);
        };
        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("city and code") << geo("192.0.2.5", QStringLiteral("İstanbul"), QStringLiteral("TR"))
                                       << QVariant(QStringLiteral("192.0.2.5")) << QVariant(QStringLiteral("İstanbul, TR"));
        QTest::newRow("code only") << geo("192.0.2.6", absent, QStringLiteral("TR")) << QVariant(QStringLiteral("192.0.2.6"))
                                   << QVariant(QStringLiteral("TR"));
        QTest::newRow("city only") << geo("192.0.2.6", QStringLiteral("Bursa"), QString()) << QVariant(QStringLiteral("192.0.2.6"))
                                   << QVariant(QStringLiteral("Bursa"));
        QTest::newRow("neither keeps the place") << geo("192.0.2.7", QString(), QJsonValue::Null)
                                                 << QVariant(QStringLiteral("192.0.2.7")) << QVariant(QStringLiteral("Eski, TR"));
        QTest::newRow("empty ip changes nothing") << geo("", QStringLiteral("X"), QStringLiteral("Y"))
                                                  << QVariant(QStringLiteral("192.0.2.1")) << QVariant(QStringLiteral("Eski, TR"));
        QTest::newRow("no reply changes nothing") << QJsonValue(QStringLiteral("not an object"))
                                                  << QVariant(QStringLiteral("192.0.2.1")) << QVariant(QStringLiteral("Eski, TR"));
    }
    void ownAddressRules() {
        QFETCH(QJsonValue, geo);
        QFETCH(QVariant, ip);
        QFETCH(QVariant, place);
        m_state->setOriginalIp(QStringLiteral("192.0.2.1"));
        m_state->setOriginalPlace(QStringLiteral("Eski, TR"));
        QVERIFY(m_env->defaults().setString(DefaultsKeys::originalIp, QStringLiteral("192.0.2.1")).ok());
        QVERIFY(m_env->defaults().setString(DefaultsKeys::originalPlace, QStringLiteral("Eski, TR")).ok());
        QVERIFY(m_service.setScenario(withOverrides(basicScenario(), {override("GET", "/geo", {{QStringLiteral("body"), geo}})})));
        for (ConnectionStatus s : {ConnectionStatus::idle, ConnectionStatus::connecting}) {
            m_state->setStatus(s);
            QVERIFY(driveTask(*m_h, m_state->refreshIps()));
            QCOMPARE(m_state->originalIp(), std::optional<QString>(ip.toString()));
            QCOMPARE(m_state->originalPlace(), std::optional<QString>(place.toString()));
            QCOMPARE(stored(DefaultsKeys::originalIp), std::optional<QString>(ip.toString()));
            QCOMPARE(stored(DefaultsKeys::originalPlace), std::optional<QString>(place.toString()));
            QVERIFY(!m_state->exitIp());
        }
    }

    void whileConnectedTheAddressIsTheTunnels_data() {
        QTest::addColumn<bool>("geoAnswers");
        QTest::addColumn<bool>("ownKnown");
        QTest::newRow("restart with the tunnel up") << true << false;
        QTest::newRow("own address known") << true << true;
        QTest::newRow("no geo reply still restores") << false << false;
    }
    void whileConnectedTheAddressIsTheTunnels() {
        QFETCH(bool, geoAnswers);
        QFETCH(bool, ownKnown);
        QVERIFY(m_env->defaults().setString(DefaultsKeys::originalIp, QStringLiteral("192.0.2.1")).ok());
        QVERIFY(m_env->defaults().setString(DefaultsKeys::originalPlace, QStringLiteral("Eski, TR")).ok());
        if (!geoAnswers)
            QVERIFY(m_service.setScenario(withOverrides(basicScenario(), {override("GET", "/geo", {{QStringLiteral("status"), 500},
                                                                                                   {QStringLiteral("rawBody"), QStringLiteral("x")}})})));
        if (ownKnown) m_state->setOriginalIp(QStringLiteral("192.0.2.99"));
        m_state->setStatus(ConnectionStatus::connected);
        m_state->setExitIp(QStringLiteral("203.0.113.1"));
        QVERIFY(driveTask(*m_h, m_state->refreshIps()));
        QCOMPARE(m_state->exitIp(), std::optional<QString>(geoAnswers ? QStringLiteral("192.0.2.44") : QStringLiteral("203.0.113.1")));
        QCOMPARE(m_state->originalIp(), std::optional<QString>(ownKnown ? QStringLiteral("192.0.2.99") : QStringLiteral("192.0.2.1")));
        QCOMPARE(m_state->originalPlace(), std::optional<QString>(QStringLiteral("Eski, TR")));
        // Nothing learned while connected is stored as the own address.
        QCOMPARE(stored(DefaultsKeys::originalIp), std::optional<QString>(QStringLiteral("192.0.2.1")));
    }

    void geoReplyAfterTheTunnelCameUpIsTheExit() {
        QVERIFY(m_service.setScenario(withOverrides(
            basicScenario(), {override("GET", "/geo", {{QStringLiteral("delayMs"), 300},
                                                        {QStringLiteral("body"), QJsonObject{{QStringLiteral("ip"), QStringLiteral("203.0.113.50")}}}})})));
        m_state->setStatus(ConnectionStatus::connecting);
        bool done = false;
        auto flow = [&]() -> QCoro::Task<> {
            co_await m_state->refreshIps();
            done = true;
        };
        auto running = flow();
        QVERIFY(StateHarness::spin([&] { return m_service.requests().size() == 1; }));
        m_state->setStatus(ConnectionStatus::connected);
        QVERIFY(StateHarness::spin([&] { return done; }));
        QCOMPARE(m_state->exitIp(), std::optional<QString>(QStringLiteral("203.0.113.50")));
        QVERIFY(!m_state->originalIp());
        QVERIFY(!stored(DefaultsKeys::originalIp));
    }
};

QTEST_GUILESS_MAIN(AppStateFlowTest)
#include "app_state_flow_test.moc"
