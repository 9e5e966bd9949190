#include "platform/defaults_keys.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "vpn/vpn_controller.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;
using Opt = std::optional<QString>;
Q_DECLARE_METATYPE(VpnStatus)

// The status shown and whether a flow runs, what the system reports, and what follows.
struct StatusRow {
    ConnectionStatus before;
    bool busy;
    VpnStatus system;
    ConnectionStatus after;
    bool exitCleared;
    bool refresh;
};
Q_DECLARE_METATYPE(StatusRow)

namespace {

Server server(const char* id, qint64 load, std::optional<qint64> ping) {
    Server s;
    s.id = QString::fromUtf8(id);
    s.country = s.countryCode = s.city = s.tier = u"x"_s;
    s.load = load;
    s.pingMs = ping;
    return s;
}

// Both servers with a gateway, so the automatic choice (de-1) can connect.
QJsonObject bothGateways() {
    QJsonObject scenario = basicScenario();
    QJsonObject gateways = scenario.value("gateways"_L1).toObject();
    gateways.insert(u"de-1"_s, QJsonObject{{u"host"_s, u"127.0.0.2"_s}, {u"remoteId"_s, u"de.test"_s}, {u"secret"_s, u"psk-2"_s}});
    scenario.insert(u"gateways"_s, gateways);
    return scenario;
}

QJsonObject withGeo(const char* ip) {
    QJsonObject scenario = basicScenario();
    scenario.insert(u"geo"_s, QJsonObject{{u"ip"_s, QString::fromUtf8(ip)}, {u"city"_s, u"X"_s}, {u"countryCode"_s, u"NL"_s}});
    return scenario;
}

// A /connect answered after delayMs.
QJsonObject slowConnect(const Server& s, int delayMs) {
    const QJsonObject gateway{{u"host"_s, u"h"_s}, {u"remoteId"_s, u"r"_s}, {u"secret"_s, u"s"_s}};
    return QJsonObject{{u"delayMs"_s, delayMs},
                       {u"body"_s, QJsonObject{{u"server"_s, s.toJson()}, {u"exitIp"_s, u"203.0.113.7"_s}, {u"gateway"_s, gateway}}}};
}

} // namespace

class AppStateFlowTest : public QObject {
    Q_OBJECT
    StateFixture f;

    void signInAndLoad() {
        QVERIFY(f.signIn());
        QVERIFY(f.run(f.state->loadServers()));
        QCOMPARE(f.state->servers().size(), 2);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(f.start()); }
    void init() { QVERIFY(f.reset()); }
    void cleanup() { f.clear(); }

    void loginOutcomes_data() {
        QTest::addColumn<QJsonObject>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("plan");
        const auto user = [](const char* email, const char* plan) {
            QJsonObject u{{u"id"_s, u"u1"_s}, {u"email"_s, QString::fromUtf8(email)}};
            if (plan) u.insert(u"plan"_s, QString::fromUtf8(plan));
            return u;
        };
        QTest::newRow("plan") << user("a@kestrava.test", "PLUS") << "pw" << QString() << "a@kestrava.test" << "PLUS";
        QTest::newRow("no plan is FREE") << user("a@kestrava.test", nullptr) << "pw" << QString() << "a@kestrava.test" << "FREE";
        QTest::newRow("service spells the address") << user("A@Kestrava.Test", "PLUS") << "pw" << QString()
                                                    << "A@Kestrava.Test" << "PLUS";
        QTest::newRow("wrong password") << user("a@kestrava.test", "PLUS") << "PW" << "E-posta veya şifre hatalı"
                                        << QString() << QString();
    }
    void loginOutcomes() {
        QFETCH(QJsonObject, user);
        QFETCH(QString, password);
        QFETCH(QString, error);
        QFETCH(QString, email);
        QFETCH(QString, plan);
        QJsonObject scenario = basicScenario();
        QJsonArray accounts = scenario.value("accounts"_L1).toArray();
        QJsonObject account = accounts.at(0).toObject();
        account.insert(u"user"_s, user);
        accounts[0] = account;
        scenario.insert(u"accounts"_s, accounts);
        QVERIFY(f.service.setScenario(scenario));
        f.state->setErrorMessage(u"eski"_s);
        QList<bool> busy;
        connect(f.state.get(), &AppState::busyChanged, this, [&] { busy.append(f.state->busy()); });
        QVERIFY(f.run(f.state->login(u"a@kestrava.test"_s, password)));
        QCOMPARE(busy, (QList<bool>{true, false}));
        QCOMPARE(f.state->errorMessage(), error.isEmpty() ? Opt() : Opt(error));
        QCOMPARE(f.state->token(), error.isEmpty() ? Opt(u"tok-1"_s) : Opt());
        QCOMPARE(f.state->email(), email);
        QCOMPARE(f.state->plan(), error.isEmpty() ? plan : u"FREE"_s);
        QCOMPARE(f.stored(DefaultsKeys::token), error.isEmpty() ? Opt(u"tok-1"_s) : Opt());
        QCOMPARE(f.stored(DefaultsKeys::email), error.isEmpty() ? Opt(email) : Opt());
        QCOMPARE(f.stored(DefaultsKeys::plan), error.isEmpty() ? Opt(plan) : Opt());
        // Sign-in starts nothing else.
        QCOMPARE(f.sent(), QStringList{u"POST /auth/login"_s});
    }

    void logoutKeepsAllButTheToken() {
        QVERIFY(f.service.setScenario(bothGateways()));
        signInAndLoad();
        QVERIFY(f.run(f.state->toggle()));
        QCOMPARE(f.state->status(), ConnectionStatus::connected);
        const Opt serverBefore = f.stored(DefaultsKeys::server);
        f.state->logout();
        // At once, before the system has taken the tunnel down.
        QCOMPARE(f.state->status(), ConnectionStatus::idle);
        QVERIFY(!f.state->token() && !f.state->exitIp() && !f.stored(DefaultsKeys::token));
        QCOMPARE(f.state->servers().size(), 2);
        QVERIFY(f.h->drive([&] { return f.h->facility.status() == VpnStatus::disconnected; }));
        QCOMPARE(f.h->facility.stops, 1);
        // A restart shows the sign-in view with the account's address and plan.
        f.remake(false);
        QVERIFY(!f.state->token());
        QCOMPARE(f.state->email(), u"a@kestrava.test"_s);
        QCOMPARE(f.state->plan(), u"PLUS"_s);
        QCOMPARE(f.state->activeServerId(), serverBefore);
        QVERIFY(f.stored(DefaultsKeys::originalIp));
    }

    // Scores saturate instead of wrapping; a tie keeps the first.
    void bestServer_data() {
        QTest::addColumn<QList<Server>>("servers");
        QTest::addColumn<QString>("best");
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("missing ping counts 999") << QList<Server>{server("A", 10, {}), server("B", 500, 5)} << "B";
        QTest::newRow("tie keeps the first") << QList<Server>{server("A", 20, 30), server("B", 30, 20)} << "A";
        QTest::newRow("tie, other order") << QList<Server>{server("B", 30, 20), server("A", 20, 30)} << "B";
        QTest::newRow("negative load") << QList<Server>{server("A", 5, 5), server("B", -100, 5)} << "B";
        QTest::newRow("overflow saturates, not wraps") << QList<Server>{server("A", 1000, 1000), server("B", max, 10)} << "A";
        QTest::newRow("both saturate, first wins") << QList<Server>{server("A", max, 1), server("B", max, max)} << "A";
        QTest::newRow("underflow saturates low") << QList<Server>{server("A", 0, 0), server("B", min, -1)} << "B";
        QTest::newRow("empty") << QList<Server>{} << QString();
    }
    void bestServer() {
        QFETCH(QList<Server>, servers);
        QFETCH(QString, best);
        f.state->setServers(servers);
        QCOMPARE(f.state->bestServer() ? f.state->bestServer()->id : QString(), best);
    }

    void toggleRefused_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("error");
        QTest::newRow("signed out does nothing") << false << QString();
        QTest::newRow("no servers yet") << true << u"Sunucu listesi henüz yüklenmedi"_s;
    }
    void toggleRefused() {
        QFETCH(bool, signedIn);
        QFETCH(QString, error);
        if (signedIn) QVERIFY(f.signIn());
        else f.state->setServers({server("tr-1", 1, 1)});
        QSignalSpy busy(f.state.get(), &AppState::busyChanged);
        QVERIFY(f.run(f.state->toggle()));
        QCOMPARE(f.state->errorMessage(), error.isEmpty() ? Opt() : Opt(error));
        QCOMPARE(f.state->status(), ConnectionStatus::idle);
        QCOMPARE(busy.count(), 0);
        QCOMPARE(f.h->facility.starts, 0);
        QCOMPARE(f.sent(), signedIn ? QStringList{u"POST /auth/login"_s} : QStringList());
    }

    void connectFullRoad() {
        QVERIFY(f.service.setScenario(bothGateways()));
        signInAndLoad();
        QVERIFY(f.service.clearRequests());
        QList<ConnectionStatus> statuses;
        connect(f.state.get(), &AppState::statusChanged, this, [&] { statuses.append(f.state->status()); });
        // The keychain's dialog shows in the state while it is open.
        f.h->keychain.asksThePerson = true;
        QList<bool> waiting;
        connect(f.state.get(), &AppState::waitingForKeychainChanged, this, [&] { waiting.append(f.state->waitingForKeychain()); });
        // Remembered server missing from the list: the best one is used and remembered.
        f.state->setActiveServerId(u"gone"_s);
        QVERIFY(f.run(f.state->toggle()));
        QVERIFY2(!f.state->errorMessage(), qPrintable(f.state->errorMessage().value_or(QString())));
        QCOMPARE(f.state->status(), ConnectionStatus::connected);
        QVERIFY(!f.state->busy());
        QCOMPARE(statuses.first(), ConnectionStatus::connecting);
        QCOMPARE(statuses.last(), ConnectionStatus::connected);
        QCOMPARE(waiting, (QList<bool>{true, false}));
        QCOMPARE(f.state->activeServerId(), Opt(u"de-1"_s));
        QCOMPARE(f.stored(DefaultsKeys::server), Opt(u"de-1"_s));
        QCOMPARE(f.state->exitIp(), Opt(u"203.0.113.8"_s));
        // The own address is recorded before the tunnel changes it.
        QCOMPARE(f.state->originalIp(), Opt(u"192.0.2.44"_s));
        QCOMPARE(f.state->originalPlace(), Opt(u"Ankara, TR"_s));
        QCOMPARE(f.stored(DefaultsKeys::originalIp), Opt(u"192.0.2.44"_s));
        QCOMPARE(f.sent(), (QStringList{u"GET /geo"_s, u"POST /connect"_s}));
        QCOMPARE(f.h->keychain.data(QString::fromUtf8(VPNController::keychainService), QString::fromUtf8(VPNController::keychainAccount)),
                 std::optional<QByteArray>("psk-2"));
        QCOMPARE(f.h->facility.storedProfile->protocolConfiguration->serverAddress, Opt(u"127.0.0.2"_s));
        QCOMPARE(f.h->facility.starts, 1);

        // With the tunnel already up there is no own address to look up.
        f.state->setOriginalIp(u"192.0.2.1"_s);
        QVERIFY(f.service.clearRequests());
        QVERIFY(f.run(f.state->connect(*f.state->activeServer())));
        QCOMPARE(f.sent(), QStringList{u"POST /connect"_s});
        QCOMPARE(f.state->originalIp(), Opt(u"192.0.2.1"_s));
        QCOMPARE(f.h->facility.starts, 1);
        QCOMPARE(f.state->status(), ConnectionStatus::connected);
    }

    // The system reports the tunnel going down a moment before its route is gone, so a lookup started
    // then comes back through the tunnel: not the own address. The path at the start counts, not the value.
    void lookupThroughTheClosingTunnelIsNotTheOwnAddress() {
        signInAndLoad();
        QVERIFY(f.run(f.state->connect(f.state->servers().at(0))));
        QCOMPARE(f.state->originalIp(), Opt(u"192.0.2.44"_s));
        QVERIFY(f.service.setScenario(withGeo("198.51.100.77")));
        QVERIFY(f.run(f.state->refreshIps()));
        QCOMPARE(f.state->exitIp(), Opt(u"198.51.100.77"_s));

        // Going down, as the status sync sees it: idle already, the system still disconnecting.
        f.h->facility.setStatus(VpnStatus::disconnecting, false);
        f.state->setStatus(ConnectionStatus::idle);
        f.state->setExitIp(std::nullopt);
        QVERIFY(f.run(f.state->refreshIps()));
        QCOMPARE(f.state->originalIp(), Opt(u"192.0.2.44"_s));
        QCOMPARE(f.stored(DefaultsKeys::originalIp), Opt(u"192.0.2.44"_s));
        QCOMPARE(f.state->originalPlace(), Opt(u"Ankara, TR"_s));
        QVERIFY(!f.state->exitIp());

        // Down: whatever the lookup answers now is the user's own.
        f.h->facility.setStatus(VpnStatus::disconnected, false);
        QVERIFY(f.run(f.state->refreshIps()));
        QCOMPARE(f.state->originalIp(), Opt(u"198.51.100.77"_s));
        QCOMPARE(f.stored(DefaultsKeys::originalIp), Opt(u"198.51.100.77"_s));
    }

    void connectFailures_data() {
        QTest::addColumn<QString>("serverId");
        QTest::addColumn<QJsonObject>("scenario");
        QTest::addColumn<int>("script"); // 0 plain, 1 first start fails, 2 both fail, 3 reinstall fails
        QTest::addColumn<QString>("error"); // empty = connected in the end
        QTest::addColumn<int>("starts");
        const QJsonObject plain = basicScenario();
        QTest::newRow("no gateway") << "de-1" << plain << 0 << "Sunucu VPN bilgisi döndürmedi" << 0;
        QTest::newRow("service message")
            << "tr-1" << withReply("POST", "/connect", {{u"status"_s, 403}, {u"body"_s, QJsonObject{{u"message"_s, u"Plan yetersiz"_s}}}})
            << 0 << "Plan yetersiz" << 0;
        QTest::newRow("status fallback") << "tr-1" << withReply("POST", "/connect", {{u"status"_s, 502}}) << 0
                                         << "Sunucu hatası (502)" << 0;
        QTest::newRow("first start fails, retry works") << "tr-1" << plain << 1 << QString() << 2;
        QTest::newRow("both starts fail") << "tr-1" << plain << 2 << "Sistem VPN bağlantıyı reddetti \u2013 IKE reddedildi" << 2;
        QTest::newRow("reinstall fails") << "tr-1" << plain << 3 << "VPN anahtarı kaydedilemedi (kod -25293)" << 1;
    }
    void connectFailures() {
        QFETCH(QString, serverId);
        QFETCH(QJsonObject, scenario);
        QFETCH(int, script);
        QFETCH(QString, error);
        QFETCH(int, starts);
        signInAndLoad();
        QVERIFY(f.service.setScenario(scenario));
        f.state->setExitIp(u"198.51.100.9"_s);
        const QList<SimulatedFacility::Step> refused{{VpnStatus::connecting, 0}, {VpnStatus::disconnected, 100}};
        f.h->facility.disconnectError = Error{Error::Kind::Io, u"IKE reddedildi"_s};
        if (script >= 1) f.h->facility.nextStarts = {refused};
        if (script == 2) f.h->facility.nextStarts.append(refused);
        if (script == 3) f.h->keychain.updateScript = {KeychainStatus::itemNotFound, -25293};
        QList<ConnectionStatus> statuses;
        connect(f.state.get(), &AppState::statusChanged, this, [&] { statuses.append(f.state->status()); });
        Server target;
        for (const Server& s : f.state->servers())
            if (s.id == serverId) target = s;
        QVERIFY(f.run(f.state->connect(target), 2000));
        QVERIFY(!f.state->busy());
        QCOMPARE(f.h->facility.starts, starts);
        QCOMPARE(f.state->activeServerId(), Opt(serverId));
        QCOMPARE(f.stored(DefaultsKeys::server), Opt(serverId));
        QCOMPARE(f.state->errorMessage(), error.isEmpty() ? Opt() : Opt(error));
        QCOMPARE(f.state->status(), error.isEmpty() ? ConnectionStatus::connected : ConnectionStatus::idle);
        QCOMPARE(statuses.last(), f.state->status());
        // A failure keeps the address shown before.
        QCOMPARE(f.state->exitIp(), Opt(error.isEmpty() ? u"203.0.113.7"_s : u"198.51.100.9"_s));
    }

    void toggleWhileUpOnlyStops_data() {
        QTest::addColumn<ConnectionStatus>("status");
        QTest::newRow("connected") << ConnectionStatus::connected;
        QTest::newRow("connecting") << ConnectionStatus::connecting;
    }
    void toggleWhileUpOnlyStops() {
        QFETCH(ConnectionStatus, status);
        QVERIFY(f.signIn());
        f.h->facility.setStatus(VpnStatus::connected, false);
        f.state->setStatus(status);
        QVERIFY(f.run(f.state->toggle()));
        QCOMPARE(f.state->status(), status);
        QVERIFY(f.h->drive([&] { return f.h->facility.stops == 1; }));
        QCOMPARE(f.h->facility.starts, 0);
    }

    // While a connect waits for the service: a sign-out does not cancel it (it goes on with the token
    // it read at its start), and a refresh tick neither ends it nor takes its address.
    void whileAConnectWaitsForTheService_data() {
        QTest::addColumn<bool>("signOut"); // else a refresh tick
        QTest::newRow("sign-out") << true;
        QTest::newRow("refresh tick") << false;
    }
    void whileAConnectWaitsForTheService() {
        QFETCH(bool, signOut);
        QVERIFY(f.signIn());
        if (signOut) {
            QVERIFY(f.run(f.state->loadServers()));
        } else {
            f.remake(true);
            QVERIFY(StateHarness::spin([&] { return f.state->servers().size() == 2 && !f.state->startingUp(); }));
        }
        QVERIFY(f.useReply("POST", "/connect", slowConnect(f.state->servers().at(0), 400)));
        QVERIFY(f.service.clearRequests());
        Opt exitAtEnd;
        // The exit address is read as the flow ends: the lookup its status change starts may answer at
        // any moment after, and the stand-in, knowing nothing of the simulated tunnel, answers the own one.
        auto flow = [&]() -> QCoro::Task<> {
            co_await f.state->connect(f.state->servers().at(0));
            exitAtEnd = f.state->exitIp();
        };
        const Running running = startTask(flow());
        QVERIFY(StateHarness::spin([&] { return f.sent().contains(u"POST /connect"_s); }));
        if (signOut) {
            f.state->logout();
            QCOMPARE(f.state->status(), ConnectionStatus::idle);
        } else {
            f.h->clock.advance(30'000);
            QVERIFY(StateHarness::spin([&] { return f.sent().contains(u"GET /notify/inbox"_s); }));
            QCOMPARE(f.state->status(), ConnectionStatus::connecting);
            QVERIFY(f.state->busy());
        }
        QVERIFY(f.h->drive([&] { return *running.done; }));
        QCOMPARE(f.state->status(), ConnectionStatus::connected);
        QCOMPARE(exitAtEnd, Opt(u"203.0.113.7"_s));
        QCOMPARE(f.state->token().has_value(), !signOut);
        QCOMPARE(f.state->servers().size(), 2);
        QVERIFY(!f.state->errorMessage());
    }

    void systemDownDuringAConnectKeepsConnecting() {
        signInAndLoad();
        f.h->facility.startSteps = {{VpnStatus::connecting, 0}, {VpnStatus::connected, 5000}};
        const Running running = startTask(f.state->connect(f.state->servers().at(0)));
        QVERIFY(f.h->drive([&] { return f.h->facility.starts == 1; }));
        f.state->setExitIp(u"198.51.100.9"_s);
        QVERIFY(f.systemStatus(VpnStatus::disconnecting));
        QCOMPARE(f.state->status(), ConnectionStatus::connecting);
        QCOMPARE(f.state->exitIp(), Opt(u"198.51.100.9"_s));
        f.h->facility.setStatus(VpnStatus::connecting);
        QVERIFY(f.h->drive([&] { return *running.done; }, 400, 100));
        QCOMPARE(f.state->status(), ConnectionStatus::connected);
    }

    void systemStatusTable_data() {
        QTest::addColumn<StatusRow>("row");
        using C = ConnectionStatus;
        using V = VpnStatus;
        QTest::newRow("idle, 2") << StatusRow{C::idle, false, V::connecting, C::connecting, false, true};
        QTest::newRow("idle, 4") << StatusRow{C::idle, false, V::reasserting, C::connecting, false, true};
        QTest::newRow("connecting, 2") << StatusRow{C::connecting, true, V::connecting, C::connecting, false, false};
        QTest::newRow("idle, 3") << StatusRow{C::idle, false, V::connected, C::connected, false, true};
        QTest::newRow("connecting busy, 3") << StatusRow{C::connecting, true, V::connected, C::connected, false, true};
        QTest::newRow("connecting busy, 1") << StatusRow{C::connecting, true, V::disconnected, C::connecting, false, false};
        QTest::newRow("connecting busy, 5") << StatusRow{C::connecting, true, V::disconnecting, C::connecting, false, false};
        QTest::newRow("connecting idle flow, 0") << StatusRow{C::connecting, false, V::invalid, C::idle, true, true};
        QTest::newRow("connected, 1") << StatusRow{C::connected, false, V::disconnected, C::idle, true, true};
        // The refresh waits for the tunnel to be gone: nothing is sent while it goes down.
        QTest::newRow("connected busy, 5") << StatusRow{C::connected, true, V::disconnecting, C::idle, true, false};
        QTest::newRow("idle, 1") << StatusRow{C::idle, false, V::disconnected, C::idle, true, false};
    }
    void systemStatusTable() {
        QFETCH(StatusRow, row);
        const auto [before, busy, system, after, exitCleared, refresh] = row;
        f.remake(true);
        QVERIFY(f.h->drive([&] { return !f.state->startingUp() && f.state->originalIp(); }));
        QVERIFY(f.service.clearRequests());
        f.state->setStatus(before);
        f.state->setBusy(busy);
        f.state->setExitIp(u"198.51.100.9"_s);
        QVERIFY(f.systemStatus(system));
        QCOMPARE(f.state->status(), after);
        QCOMPARE(!f.state->exitIp().has_value(), exitCleared);
        const QStringList geo{u"GET /geo"_s};
        if (system == VpnStatus::disconnecting) {
            // Nothing goes out while the tunnel leaves; once it is down the lookup that waited goes.
            QVERIFY(f.sent().isEmpty());
            if (after == before) return;
            QVERIFY(f.systemStatus(VpnStatus::disconnected));
            QVERIFY(StateHarness::spin([&] { return f.sent() == geo; }));
            return;
        }
        QCOMPARE(f.flush(), refresh ? geo : QStringList());
    }

    // What a lookup makes of its answer. Not connected: the own address and place (idle and
    // connecting alike). Connected: the exit address, with the own one restored from the store,
    // where nothing learned while connected is written.
    void addressRules_data() {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QJsonObject>("reply"); // empty: the basic scenario's
        QTest::addColumn<QString>("ownKnown");  // the own address already shown, if any
        QTest::addColumn<QStringList>("expect"); // own address, place, exit address ("" = none)
        const auto geo = [](const char* ip, QJsonValue city, QJsonValue cc) {
            QJsonObject o{{u"ip"_s, QString::fromUtf8(ip)}};
            if (!city.isUndefined()) o.insert(u"city"_s, city);
            if (!cc.isUndefined()) o.insert(u"countryCode"_s, cc);
            return QJsonObject{{u"body"_s, o}};
        };
        const QJsonValue absent(QJsonValue::Undefined);
        const QString known = u"192.0.2.1"_s;
        QTest::newRow("city and code") << false << geo("192.0.2.5", u"İstanbul"_s, u"TR"_s) << known
                                       << QStringList{u"192.0.2.5"_s, u"İstanbul, TR"_s, {}};
        QTest::newRow("code only") << false << geo("192.0.2.6", absent, u"TR"_s) << known << QStringList{u"192.0.2.6"_s, u"TR"_s, {}};
        QTest::newRow("city only") << false << geo("192.0.2.6", u"Bursa"_s, QString()) << known
                                   << QStringList{u"192.0.2.6"_s, u"Bursa"_s, {}};
        QTest::newRow("neither keeps the place") << false << geo("192.0.2.7", QString(), QJsonValue::Null) << known
                                                 << QStringList{u"192.0.2.7"_s, u"Eski, TR"_s, {}};
        QTest::newRow("empty ip changes nothing") << false << geo("", u"X"_s, u"Y"_s) << known << QStringList{known, u"Eski, TR"_s, {}};
        QTest::newRow("no reply changes nothing") << false << QJsonObject{{u"body"_s, u"not an object"_s}} << known
                                                  << QStringList{known, u"Eski, TR"_s, {}};
        QTest::newRow("connected, restart with the tunnel up") << true << QJsonObject() << QString()
                                                               << QStringList{known, u"Eski, TR"_s, u"192.0.2.44"_s};
        QTest::newRow("connected, own address known") << true << QJsonObject() << u"192.0.2.99"_s
                                                      << QStringList{u"192.0.2.99"_s, u"Eski, TR"_s, u"192.0.2.44"_s};
        QTest::newRow("connected, no geo reply still restores") << true << QJsonObject{{u"status"_s, 500}, {u"rawBody"_s, u"x"_s}}
                                                                << QString() << QStringList{known, u"Eski, TR"_s, u"203.0.113.1"_s};
    }
    void addressRules() {
        QFETCH(bool, connected);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, ownKnown);
        QFETCH(QStringList, expect);
        QVERIFY(f.env->defaults().setString(DefaultsKeys::originalIp, u"192.0.2.1"_s).ok());
        QVERIFY(f.env->defaults().setString(DefaultsKeys::originalPlace, u"Eski, TR"_s).ok());
        if (!ownKnown.isNull()) f.state->setOriginalIp(ownKnown);
        if (!connected) f.state->setOriginalPlace(u"Eski, TR"_s);
        if (!reply.isEmpty()) QVERIFY(f.useReply("GET", "/geo", reply));
        const auto opt = [](const QString& v) { return v.isEmpty() ? Opt() : Opt(v); };
        for (ConnectionStatus s : connected ? QList{ConnectionStatus::connected} : QList{ConnectionStatus::idle, ConnectionStatus::connecting}) {
            f.state->setStatus(s);
            if (connected) f.state->setExitIp(u"203.0.113.1"_s);
            QVERIFY(f.run(f.state->refreshIps()));
            QCOMPARE(f.state->originalIp(), opt(expect[0]));
            QCOMPARE(f.state->originalPlace(), opt(expect[1]));
            QCOMPARE(f.state->exitIp(), opt(expect[2]));
            QCOMPARE(f.stored(DefaultsKeys::originalIp), connected ? Opt(u"192.0.2.1"_s) : opt(expect[0]));
            QCOMPARE(f.stored(DefaultsKeys::originalPlace), connected ? Opt(u"Eski, TR"_s) : opt(expect[1]));
        }
    }

    void geoReplyAfterTheTunnelCameUpIsTheExit() {
        QVERIFY(f.useReply("GET", "/geo", {{u"delayMs"_s, 300}, {u"body"_s, QJsonObject{{u"ip"_s, u"203.0.113.50"_s}}}}));
        f.state->setStatus(ConnectionStatus::connecting);
        const Running running = startTask(f.state->refreshIps());
        QVERIFY(StateHarness::spin([&] { return f.sent().size() == 1; }));
        f.state->setStatus(ConnectionStatus::connected);
        QVERIFY(StateHarness::spin([&] { return *running.done; }));
        QCOMPARE(f.state->exitIp(), Opt(u"203.0.113.50"_s));
        QVERIFY(!f.state->originalIp() && !f.stored(DefaultsKeys::originalIp));
    }
};

QTEST_GUILESS_MAIN(AppStateFlowTest)
#include "app_state_flow_test.moc"
