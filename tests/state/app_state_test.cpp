// AppState against the stand-in service: fields, sign-in, connect, status sync, addresses, notices,
// updates and the timed work, on a manual clock.
#include "platform/defaults_keys.h"
#include "state/app_state_fields.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "vpn/vpn_controller.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;
using Opt = std::optional<QString>;
using C = ConnectionStatus;
using V = VpnStatus;

// The status shown and whether a flow runs, what the system reports, and what follows.
struct StatusRow {
    C before;
    bool busy;
    V system;
    C after;
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
    QJsonObject gateways = basicScenario().value("gateways"_L1).toObject();
    gateways.insert(u"de-1"_s, QJsonObject{{u"host"_s, u"127.0.0.2"_s}, {u"remoteId"_s, u"de.test"_s}, {u"secret"_s, u"psk-2"_s}});
    return scenarioWith("gateways", gateways);
}

QJsonObject campaign(const char* id) {
    return {{u"id"_s, QString::fromUtf8(id)}, {u"title"_s, u"Başlık"_s}, {u"body"_s, u"Metin"_s},
            {u"createdAt"_s, u"2026-12-01T10:00:00Z"_s}};
}

Campaign notice(const char* id, std::optional<QString> url = {}) {
    return Campaign{QString::fromUtf8(id), u"t"_s, u"b"_s, std::move(url), {}, u"x"_s};
}

// A value as it appears in a printed line.
QString printed(const QJsonValue& v) {
    const QByteArray wrapped = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

// For each field: its printed value on a first start, an assignment, the printed value after it.
struct FieldCase {
    const char* name;
    const char* fresh;
    std::function<void(AppState&)> assign;
    const char* assigned;
};
const QList<FieldCase> fieldCases{
    {"token", "false", [](AppState& s) { s.setToken(u"tok-secret"_s); }, "true"},
    {"email", "\"\"", [](AppState& s) { s.setEmail(u"a@b.c"_s); }, "\"a@b.c\""},
    {"plan", "\"FREE\"", [](AppState& s) { s.setPlan(u"PLUS"_s); }, "\"PLUS\""},
    {"servers", "[]", [](AppState& s) { s.setServers({Server{u"tr-1"_s, u"I 1"_s, u"TR"_s, u"TR"_s, u"I"_s, 40, 20, u"FREE"_s}}); },
     R"([{"city":"I","country":"TR","countryCode":"TR","id":"tr-1","load":40,"name":"I 1","pingMs":20,"tier":"FREE"}])"},
    {"status", "\"idle\"", [](AppState& s) { s.setStatus(C::connected); }, "\"connected\""},
    {"errorMessage", "null", [](AppState& s) { s.setErrorMessage(u"e"_s); }, "\"e\""},
    {"originalIp", "null", [](AppState& s) { s.setOriginalIp(u"192.0.2.1"_s); }, "\"192.0.2.1\""},
    {"originalPlace", "null", [](AppState& s) { s.setOriginalPlace(u"Ankara, TR"_s); }, "\"Ankara, TR\""},
    {"exitIp", "null", [](AppState& s) { s.setExitIp(u"203.0.113.7"_s); }, "\"203.0.113.7\""},
    {"activeServerId", "null", [](AppState& s) { s.setActiveServerId(u"tr-1"_s); }, "\"tr-1\""},
    {"busy", "false", [](AppState& s) { s.setBusy(true); }, "true"},
    {"updateInfo", "null", [](AppState& s) { s.setUpdateInfo(Updater::Info{u"9.0.0"_s, u"https://x.test/u.sqfs"_s, {}}); },
     R"({"url":"https://x.test/u.sqfs","version":"9.0.0"})"},
    {"updating", "false", [](AppState& s) { s.setUpdating(true); }, "true"},
    {"notice", "null", [](AppState& s) { s.setNotice(Campaign{u"c1"_s, u"T"_s, u"B"_s, std::nullopt, u"Go"_s, u"2024"_s}); },
     R"({"body":"B","createdAt":"2024","cta":"Go","id":"c1","title":"T"})"},
    {"waitingForKeychain", "false", [](AppState& s) { s.setWaitingForKeychain(true); }, "true"},
};

} // namespace

class AppStateTest : public QObject {
    Q_OBJECT
    StateFixture f;

    void signInAndLoad() {
        QVERIFY(f.signIn());
        QVERIFY(f.run(f.state->loadServers()));
        QCOMPARE(f.state->servers().size(), 2);
    }
    void storeToken() { QVERIFY(f.env->defaults().setString(DefaultsKeys::token, u"tok-1"_s).ok()); }
    QStringList dismissed() { return f.env->defaults().stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList()); }
    QString noticeId() const { return f.state->notice() ? f.state->notice()->id : QString(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(f.start()); }
    void init() { QVERIFY(f.reset()); }
    void cleanup() { f.clear(); }

    // A field without its row would be missing from the headless output and would not refresh the popup.
    void everyChangeSignalHasOneRow() {
        const QMetaObject& mo = AppState::staticMetaObject;
        qsizetype changeSignals = 0;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
            const QMetaMethod m = mo.method(i);
            if (m.methodType() != QMetaMethod::Signal || !m.name().endsWith("Changed")) continue;
            ++changeSignals;
            qsizetype rows = 0;
            for (const AppStateField& field : appStateFields()) rows += QMetaMethod::fromSignal(field.changed) == m;
            QVERIFY2(rows == 1, m.name().constData());
        }
        QCOMPARE(qsizetype(appStateFields().size()), changeSignals);
    }

    // Every assignment notifies, equal value or not: the field's own signal and no other's, with the
    // value as printed by the headless mode.
    void field_data() {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(appStateFields().size()); ++row) QTest::newRow(appStateFields()[size_t(row)].name.data()) << row;
    }
    void field() {
        QFETCH(int, row);
        const AppStateField& field = appStateFields()[size_t(row)];
        const auto c = std::find_if(fieldCases.begin(), fieldCases.end(), [&](const FieldCase& c) { return field.name == QLatin1String(c.name); });
        QVERIFY2(c != fieldCases.end(), "every field needs a case above");
        QCOMPARE(QMetaMethod::fromSignal(field.changed).name(), QByteArray(c->name) + "Changed");
        QCOMPARE(printed(field.value(*f.state)), QString::fromUtf8(c->fresh));
        QStringList seen;
        for (const AppStateField& other : appStateFields())
            connect(f.state.get(), other.changed, this, [&, other] { seen << QString(other.name) + u' ' + printed(field.value(*f.state)); });
        c->assign(*f.state);
        c->assign(*f.state);
        QCOMPARE(seen, QStringList(2, QString(field.name) + u' ' + QString::fromUtf8(c->assigned)));
    }

    // Stored empty texts are kept (an empty token signs in); the own address and place are looked up anew.
    void restore() {
        for (const QString& key : {DefaultsKeys::token, DefaultsKeys::plan})
            QVERIFY(f.env->defaults().setString(key, QString()).ok());
        QVERIFY(f.env->defaults().setString(DefaultsKeys::originalIp, u"192.0.2.1"_s).ok());
        QVERIFY(f.env->defaults().setString(DefaultsKeys::originalPlace, u"Ankara, TR"_s).ok());
        f.remake(false);
        QCOMPARE(f.state->token(), Opt(QString()));
        QVERIFY(f.state->signedIn());
        QCOMPARE(f.state->plan(), QString());
        QVERIFY(!f.state->originalIp() && !f.state->originalPlace());
    }

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
        QTest::newRow("service spells the address") << user("A@Kestrava.Test", "PLUS") << "pw" << QString() << "A@Kestrava.Test" << "PLUS";
        QTest::newRow("wrong password") << user("a@kestrava.test", "PLUS") << "PW" << "E-posta veya şifre hatalı" << QString() << QString();
    }
    void loginOutcomes() {
        QFETCH(QJsonObject, user);
        QFETCH(QString, password);
        QFETCH(QString, error);
        QFETCH(QString, email);
        QFETCH(QString, plan);
        QJsonObject account = basicScenario().value("accounts"_L1)[0].toObject();
        account.insert(u"user"_s, user);
        QVERIFY(f.service.setScenario(scenarioWith("accounts", QJsonArray{account})));
        f.state->setErrorMessage(u"eski"_s);
        QList<bool> busy;
        connect(f.state.get(), &AppState::busyChanged, this, [&] { busy.append(f.state->busy()); });
        QVERIFY(f.run(f.state->login(u"a@kestrava.test"_s, password)));
        const bool ok = error.isEmpty();
        QCOMPARE(busy, (QList<bool>{true, false}));
        QCOMPARE(f.state->errorMessage(), ok ? Opt() : Opt(error));
        QCOMPARE(f.state->token(), ok ? Opt(u"tok-1"_s) : Opt());
        QCOMPARE(f.state->email(), email);
        QCOMPARE(f.state->plan(), ok ? plan : u"FREE"_s);
        QCOMPARE(f.stored(DefaultsKeys::token), ok ? Opt(u"tok-1"_s) : Opt());
        QCOMPARE(f.stored(DefaultsKeys::email), ok ? Opt(email) : Opt());
        QCOMPARE(f.stored(DefaultsKeys::plan), ok ? Opt(plan) : Opt());
        // Sign-in starts nothing else.
        QCOMPARE(f.sent(), QStringList{u"POST /auth/login"_s});
    }

    void logoutKeepsAllButTheToken() {
        QVERIFY(f.service.setScenario(bothGateways()));
        signInAndLoad();
        QVERIFY(f.run(f.state->toggle()));
        QCOMPARE(f.state->status(), C::connected);
        const Opt serverBefore = f.stored(DefaultsKeys::server);
        f.state->logout();
        // At once, before the system has taken the tunnel down.
        QCOMPARE(f.state->status(), C::idle);
        QVERIFY(!f.state->token() && !f.state->exitIp() && !f.stored(DefaultsKeys::token));
        QCOMPARE(f.state->servers().size(), 2);
        QVERIFY(f.h->drive([&] { return f.h->facility.status() == V::disconnected; }));
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
        const qint64 max = std::numeric_limits<qint64>::max(), min = std::numeric_limits<qint64>::min();
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

    // A press signed out or without a list starts nothing; with the tunnel up or coming up it only stops.
    void toggleStartsNothing_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<C>("status");
        QTest::addColumn<QString>("error");
        QTest::newRow("signed out does nothing") << false << C::idle << QString();
        QTest::newRow("no servers yet") << true << C::idle << u"Sunucu listesi henüz yüklenmedi"_s;
        QTest::newRow("connected only stops") << true << C::connected << QString();
        QTest::newRow("connecting only stops") << true << C::connecting << QString();
    }
    void toggleStartsNothing() {
        QFETCH(bool, signedIn);
        QFETCH(C, status);
        QFETCH(QString, error);
        if (signedIn) QVERIFY(f.signIn());
        else f.state->setServers({server("tr-1", 1, 1)});
        const bool up = status != C::idle;
        if (up) f.h->facility.setStatus(V::connected, false);
        f.state->setStatus(status);
        QSignalSpy busy(f.state.get(), &AppState::busyChanged);
        QVERIFY(f.run(f.state->toggle()));
        QCOMPARE(f.state->errorMessage(), error.isEmpty() ? Opt() : Opt(error));
        QCOMPARE(f.state->status(), status);
        QCOMPARE(f.h->facility.starts, 0);
        if (up) {
            QVERIFY(f.h->drive([&] { return f.h->facility.stops == 1; }));
        } else {
            QCOMPARE(busy.count(), 0);
            QCOMPARE(f.sent(), signedIn ? QStringList{u"POST /auth/login"_s} : QStringList());
        }
    }

    void connectFullRoad() {
        QVERIFY(f.service.setScenario(bothGateways()));
        signInAndLoad();
        QVERIFY(f.service.clearRequests());
        QList<C> statuses;
        connect(f.state.get(), &AppState::statusChanged, this, [&] { statuses.append(f.state->status()); });
        // The keychain's dialog shows in the state while it is open.
        f.h->keychain.asksThePerson = true;
        QList<bool> waiting;
        connect(f.state.get(), &AppState::waitingForKeychainChanged, this, [&] { waiting.append(f.state->waitingForKeychain()); });
        // Remembered server missing from the list: the best one is used and remembered.
        f.state->setActiveServerId(u"gone"_s);
        QVERIFY(f.run(f.state->toggle()));
        QVERIFY2(!f.state->errorMessage(), qPrintable(f.state->errorMessage().value_or(QString())));
        QCOMPARE(f.state->status(), C::connected);
        QVERIFY(!f.state->busy());
        QCOMPARE(statuses.first(), C::connecting);
        QCOMPARE(statuses.last(), C::connected);
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
        QCOMPARE(f.state->status(), C::connected);
    }

    // The system reports the tunnel going down a moment before its route is gone, so a lookup started
    // then comes back through the tunnel: not the own address. The path at the start counts, not the value.
    void lookupThroughTheClosingTunnelIsNotTheOwnAddress() {
        signInAndLoad();
        QVERIFY(f.run(f.state->connect(f.state->servers().at(0))));
        QCOMPARE(f.state->originalIp(), Opt(u"192.0.2.44"_s));
        QVERIFY(f.service.setScenario(scenarioWith("geo", QJsonObject{{u"ip"_s, u"198.51.100.77"_s}})));
        QVERIFY(f.run(f.state->refreshIps()));
        QCOMPARE(f.state->exitIp(), Opt(u"198.51.100.77"_s));

        // Going down, as the status sync sees it: idle already, the system still disconnecting.
        f.h->facility.setStatus(V::disconnecting, false);
        f.state->setStatus(C::idle);
        f.state->setExitIp(std::nullopt);
        QVERIFY(f.run(f.state->refreshIps()));
        QCOMPARE(f.state->originalIp(), Opt(u"192.0.2.44"_s));
        QCOMPARE(f.stored(DefaultsKeys::originalIp), Opt(u"192.0.2.44"_s));
        QCOMPARE(f.state->originalPlace(), Opt(u"Ankara, TR"_s));
        QVERIFY(!f.state->exitIp());

        // Down: whatever the lookup answers now is the user's own.
        f.h->facility.setStatus(V::disconnected, false);
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
        const QJsonObject message{{u"status"_s, 403}, {u"body"_s, QJsonObject{{u"message"_s, u"Plan yetersiz"_s}}}};
        QTest::newRow("no gateway") << "de-1" << plain << 0 << "Sunucu VPN bilgisi döndürmedi" << 0;
        QTest::newRow("service message") << "tr-1" << withReply("POST", "/connect", message) << 0 << "Plan yetersiz" << 0;
        QTest::newRow("status fallback") << "tr-1" << withReply("POST", "/connect", {{u"status"_s, 502}}) << 0 << "Sunucu hatası (502)" << 0;
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
        const QList<SimulatedFacility::Step> refused{{V::connecting, 0}, {V::disconnected, 100}};
        f.h->facility.disconnectError = Error{Error::Kind::Io, u"IKE reddedildi"_s};
        if (script >= 1) f.h->facility.nextStarts = {refused};
        if (script == 2) f.h->facility.nextStarts.append(refused);
        if (script == 3) f.h->keychain.updateScript = {KeychainStatus::itemNotFound, -25293};
        QList<C> statuses;
        connect(f.state.get(), &AppState::statusChanged, this, [&] { statuses.append(f.state->status()); });
        const auto target = std::find_if(f.state->servers().begin(), f.state->servers().end(), [&](const Server& s) { return s.id == serverId; });
        QVERIFY(f.run(f.state->connect(*target), 2000));
        QVERIFY(!f.state->busy());
        QCOMPARE(f.h->facility.starts, starts);
        QCOMPARE(f.state->activeServerId(), Opt(serverId));
        QCOMPARE(f.stored(DefaultsKeys::server), Opt(serverId));
        QCOMPARE(f.state->errorMessage(), error.isEmpty() ? Opt() : Opt(error));
        QCOMPARE(f.state->status(), error.isEmpty() ? C::connected : C::idle);
        QCOMPARE(statuses.last(), f.state->status());
        // A failure keeps the address shown before.
        QCOMPARE(f.state->exitIp(), Opt(error.isEmpty() ? u"203.0.113.7"_s : u"198.51.100.9"_s));
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
        const QJsonObject gateway{{u"host"_s, u"h"_s}, {u"remoteId"_s, u"r"_s}, {u"secret"_s, u"s"_s}};
        const QJsonObject body{{u"server"_s, f.state->servers().at(0).toJson()}, {u"exitIp"_s, u"203.0.113.7"_s}, {u"gateway"_s, gateway}};
        QVERIFY(f.useReply("POST", "/connect", {{u"delayMs"_s, 400}, {u"body"_s, body}}));
        QVERIFY(f.service.clearRequests());
        Opt exitAtEnd;
        // Read as the flow ends: the lookup its status change starts may answer at any moment after, and
        // the stand-in, knowing nothing of the simulated tunnel, answers the own address.
        auto flow = [&]() -> QCoro::Task<> {
            co_await f.state->connect(f.state->servers().at(0));
            exitAtEnd = f.state->exitIp();
        };
        const Running running = startTask(flow());
        QVERIFY(StateHarness::spin([&] { return f.sent().contains(u"POST /connect"_s); }));
        if (signOut) {
            f.state->logout();
            QCOMPARE(f.state->status(), C::idle);
        } else {
            f.h->clock.advance(30'000);
            QVERIFY(StateHarness::spin([&] { return f.sent().contains(u"GET /notify/inbox"_s); }));
            QCOMPARE(f.state->status(), C::connecting);
            QVERIFY(f.state->busy());
        }
        QVERIFY(f.h->drive([&] { return *running.done; }));
        QCOMPARE(f.state->status(), C::connected);
        QCOMPARE(exitAtEnd, Opt(u"203.0.113.7"_s));
        QCOMPARE(f.state->token().has_value(), !signOut);
        QCOMPARE(f.state->servers().size(), 2);
        QVERIFY(!f.state->errorMessage());
    }

    void systemStatusTable_data() {
        QTest::addColumn<StatusRow>("row");
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
        if (system == V::disconnecting) {
            // Nothing goes out while the tunnel leaves; once it is down the lookup that waited goes.
            QVERIFY(f.sent().isEmpty());
            if (after == before) return;
            QVERIFY(f.systemStatus(V::disconnected));
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
        const QString known = u"192.0.2.1"_s, old = u"Eski, TR"_s;
        QTest::newRow("city and code") << false << geo("192.0.2.5", u"İstanbul"_s, u"TR"_s) << known << QStringList{u"192.0.2.5"_s, u"İstanbul, TR"_s, {}};
        QTest::newRow("code only") << false << geo("192.0.2.6", absent, u"TR"_s) << known << QStringList{u"192.0.2.6"_s, u"TR"_s, {}};
        QTest::newRow("city only") << false << geo("192.0.2.6", u"Bursa"_s, QString()) << known << QStringList{u"192.0.2.6"_s, u"Bursa"_s, {}};
        QTest::newRow("neither keeps the place") << false << geo("192.0.2.7", QString(), QJsonValue::Null) << known << QStringList{u"192.0.2.7"_s, old, {}};
        QTest::newRow("empty ip changes nothing") << false << geo("", u"X"_s, u"Y"_s) << known << QStringList{known, old, {}};
        QTest::newRow("no reply changes nothing") << false << QJsonObject{{u"body"_s, u"not an object"_s}} << known << QStringList{known, old, {}};
        QTest::newRow("connected, restart with the tunnel up") << true << QJsonObject() << QString() << QStringList{known, old, u"192.0.2.44"_s};
        QTest::newRow("connected, own address known") << true << QJsonObject() << u"192.0.2.99"_s << QStringList{u"192.0.2.99"_s, old, u"192.0.2.44"_s};
        QTest::newRow("connected, no geo reply still restores") << true << QJsonObject{{u"status"_s, 500}, {u"rawBody"_s, u"x"_s}} << QString()
                                                                << QStringList{known, old, u"203.0.113.1"_s};
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
        for (C s : connected ? QList{C::connected} : QList{C::idle, C::connecting}) {
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
        f.state->setStatus(C::connecting);
        const Running running = startTask(f.state->refreshIps());
        QVERIFY(StateHarness::spin([&] { return f.sent().size() == 1; }));
        f.state->setStatus(C::connected);
        QVERIFY(StateHarness::spin([&] { return *running.done; }));
        QCOMPARE(f.state->exitIp(), Opt(u"203.0.113.50"_s));
        QVERIFY(!f.state->originalIp() && !f.stored(DefaultsKeys::originalIp));

        // Lookups answered out of order: the one started last decides, the older answer changes nothing.
        QVERIFY(f.useReply("GET", "/geo", {{u"delayMs"_s, 300}, {u"body"_s, QJsonObject{{u"ip"_s, u"192.0.2.44"_s}}}}));
        const Running older = startTask(f.state->refreshIps());
        QVERIFY(StateHarness::spin([&] { return f.sent().size() == 2; }));
        QVERIFY(f.useReply("GET", "/geo", {{u"body"_s, QJsonObject{{u"ip"_s, u"203.0.113.60"_s}}}}));
        QVERIFY(f.run(f.state->refreshIps()));
        QCOMPARE(f.state->exitIp(), Opt(u"203.0.113.60"_s));
        QVERIFY(StateHarness::spin([&] { return *older.done; }));
        QCOMPARE(f.state->exitIp(), Opt(u"203.0.113.60"_s));
    }

    void latestUndismissedNotice() {
        storeToken();
        f.remake(false);
        QVERIFY(f.service.setScenario(scenarioWith("campaigns", QJsonArray{campaign("A"), campaign("B"), campaign("C")})));
        for (const QString& id : {u"C"_s, u"B"_s, u"A"_s, QString()}) {
            QVERIFY(f.run(f.state->refreshNotices()));
            QCOMPARE(noticeId(), id);
            f.state->dismissNotice();
            QVERIFY(!f.state->notice());
        }
        QCOMPARE(dismissed(), (QStringList{u"C"_s, u"B"_s, u"A"_s}));
        // Dismissing sends nothing.
        QCOMPARE(f.sent(), QStringList(4, u"GET /notify/inbox"_s));
    }

    void noticeFollowsTheInbox_data() {
        QTest::addColumn<QJsonObject>("second"); // the scenario of the second refresh
        QTest::addColumn<QString>("notice");
        QTest::newRow("withdrawn") << scenarioWith("campaigns", QJsonArray{}) << QString();
        QTest::newRow("a later one takes over") << scenarioWith("campaigns", QJsonArray{campaign("A"), campaign("D")}) << u"D"_s;
        QTest::newRow("failure keeps it") << withReply("GET", "/notify/inbox", {{u"status"_s, 500}}) << u"A"_s;
    }
    void noticeFollowsTheInbox() {
        QFETCH(QJsonObject, second);
        QFETCH(QString, notice);
        storeToken();
        f.remake(false);
        QVERIFY(f.service.setScenario(scenarioWith("campaigns", QJsonArray{campaign("A")})));
        QVERIFY(f.run(f.state->refreshNotices()));
        QCOMPARE(noticeId(), u"A"_s);
        QVERIFY(f.service.setScenario(second));
        QVERIFY(f.run(f.state->refreshNotices()));
        QCOMPARE(noticeId(), notice);
        QVERIFY(!f.state->errorMessage());
    }

    void dismissedListKeepsTheNewest100() {
        QStringList old;
        for (int i = 0; i < 100; ++i) old.append(u"old-%1"_s.arg(i));
        QVERIFY(f.env->defaults().setStringList(DefaultsKeys::dismissedCampaigns, old).ok());
        f.state->setNotice(notice("new"));
        f.state->dismissNotice();
        // What a new process would read.
        QStringList now = DefaultsStore(f.env->defaultsPath()).stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList());
        QCOMPARE(now.size(), 100);
        QCOMPARE(now.first(), u"old-1"_s);
        QCOMPARE(now.last(), u"new"_s);
        // The same id again is stored again; with nothing to dismiss nothing changes.
        f.state->setNotice(notice("new"));
        f.state->dismissNotice();
        f.state->dismissNotice();
        QCOMPARE(dismissed().size(), 100);
        QCOMPARE(dismissed().mid(98), (QStringList{u"new"_s, u"new"_s}));
    }

    void openNotice_data() {
        QTest::addColumn<QVariant>("url");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https, signed in") << QVariant(u"https://kestrava.app/#plans"_s) << true << true;
        QTest::newRow("http, signed out") << QVariant(u"http://kestrava.app/a?b=c"_s) << false << true;
        QTest::newRow("no link") << QVariant() << true << false;
        QTest::newRow("empty link") << QVariant(QString()) << true << false;
        QTest::newRow("not a url") << QVariant(u"http://exa mple.com/"_s) << true << false;
        QTest::newRow("relative") << QVariant(u"/plans"_s) << true << false;
        QTest::newRow("file scheme") << QVariant(u"file:///etc/passwd"_s) << true << false;
        QTest::newRow("javascript") << QVariant(u"javascript:alert(1)"_s) << true << false;
        QTest::newRow("https without host") << QVariant(u"https:///x"_s) << true << false;
    }
    void openNotice() {
        QFETCH(QVariant, url);
        QFETCH(bool, signedIn);
        QFETCH(bool, opens);
        if (signedIn) f.state->setToken(u"tok-1"_s);
        f.state->setNotice(notice("c1", url.isNull() ? std::nullopt : std::optional(url.toString())));
        f.state->openNotice();
        QCOMPARE(f.h->opened, opens ? QList<QUrl>{QUrl(url.toString())} : QList<QUrl>());
        const bool tracked = opens && signedIn;
        if (tracked) QVERIFY(StateHarness::spin([&] { return !f.sent().isEmpty(); }));
        QCOMPARE(f.flush(), tracked ? QStringList{u"POST /notify/track"_s} : QStringList());
        if (tracked)
            QCOMPARE(f.service.requests().first().toObject().value("body"_L1).toString(), uR"({"campaignId":"c1","event":"clicked"})"_s);
        // Opening neither dismisses nor records.
        QCOMPARE(noticeId(), u"c1"_s);
        QVERIFY(dismissed().isEmpty());
    }

    // Two presses install once; a failure offers the update again; no offer installs nothing.
    void applyUpdate_data() {
        QTest::addColumn<bool>("offered");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("succeeds") << true << true;
        QTest::newRow("fails") << true << false;
        QTest::newRow("no offer") << false << true;
    }
    void applyUpdate() {
        QFETCH(bool, offered);
        QFETCH(bool, succeeds);
        if (offered) f.state->setUpdateInfo(Updater::Info{u"9.0.0"_s, u"https://x.test/u.sqfs"_s, {}});
        f.state->setErrorMessage(u"eski"_s);
        f.h->installDelayMs = 1000;
        if (!succeeds) f.h->installResult = Error{Error::Kind::Update, u"İmza doğrulanamadı"_s};
        const Running first = startTask(f.state->applyUpdate());
        const Running second = startTask(f.state->applyUpdate());
        QVERIFY(*second.done); // the second press returns at once
        QCOMPARE(f.state->updating(), offered);
        QVERIFY(f.h->drive([&] { return *first.done; }));
        QCOMPARE(f.h->installs, offered ? 1 : 0);
        // Success: the program is on its way out, so updating stays on.
        QCOMPARE(f.state->updating(), offered && succeeds);
        QCOMPARE(f.state->updateInfo().has_value(), offered);
        if (!offered) return;
        QCOMPARE(f.state->errorMessage(), succeeds ? Opt() : Opt(u"Güncelleme başarısız: İmza doğrulanamadı"_s));
        if (succeeds) return;
        QVERIFY(f.run(f.state->applyUpdate()));
        QCOMPARE(f.h->installs, 2);
    }

    void startUpRequests_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("networkDown");
        QTest::newRow("signed in") << true << false;
        QTest::newRow("signed out") << false << false;
        QTest::newRow("network down") << true << true;
    }
    void startUpRequests() {
        QFETCH(bool, signedIn);
        QFETCH(bool, networkDown);
        if (signedIn) storeToken();
        QStringList want{u"GET /desktop/latest.json"_s, u"GET /geo"_s, u"GET /servers"_s};
        if (signedIn) want.append(u"GET /notify/inbox"_s);
        if (networkDown) {
            QJsonArray drops;
            for (const QString& line : want) drops.append(QJsonObject{{u"path"_s, line.section(u' ', 1)}, {u"dropConnection"_s, true}});
            QVERIFY(f.service.setScenario(scenarioWith("overrides", drops)));
        }
        f.remake(true);
        QVERIFY(StateHarness::spin([&] {
            return !f.state->startingUp() && f.sent().size() == want.size() && (networkDown || f.state->originalIp());
        }));
        QStringList got = f.sent();
        got.sort();
        want.sort();
        QCOMPARE(got, want);
        QCOMPARE(f.h->facility.loads, 1);
        QCOMPARE(f.state->status(), C::idle);
        QVERIFY(!f.state->errorMessage());
        QCOMPARE(f.state->servers().size(), signedIn && !networkDown ? 2 : 0);
        QCOMPARE(f.state->updateInfo() ? f.state->updateInfo()->version : QString(), networkDown ? QString() : u"9.0.0"_s);
        QCOMPARE(f.state->originalIp().has_value(), !networkDown);
        QCOMPARE(f.state->notice().has_value(), signedIn && !networkDown);
        // Nothing more until the first tick.
        QCOMPARE(f.flush().size(), want.size());
    }

    void aDayOfTicks() {
        storeToken();
        f.remake(true);
        QVERIFY(StateHarness::spin([&] { return !f.state->startingUp() && f.sent().size() == 4; }));
        QVERIFY(f.service.clearRequests());
        QSignalSpy updates(f.state.get(), &AppState::updateInfoChanged);
        // Each tick ends with the notice refresh, which assigns the notice once it has its reply.
        QSignalSpy notices(f.state.get(), &AppState::noticeChanged);
        int ticks = 0, checks = 0;
        // 24 hours in 30-second steps; each tick's three requests finish before the clock moves on.
        for (qint64 t = 30'000; t <= 24LL * 3600 * 1000; t += 30'000) {
            // From the second update check on, the service offers nothing newer.
            if (t % 21'600'000 == 0 && ++checks == 2)
                QVERIFY(f.service.setScenario(scenarioWith("manifest", QJsonObject{{u"mac"_s, QJsonObject{{u"version"_s, u"0.9"_s}, {u"url"_s, u"https://x.test/u.sqfs"_s}}}})));
            f.h->clock.advance(30'000);
            ++ticks;
            for (int i = 0; i < 50 && (notices.count() < ticks || updates.count() < checks); ++i)
                (notices.count() < ticks ? notices : updates).wait(200);
            QVERIFY2(notices.count() == ticks && updates.count() == checks, qPrintable(u"tick %1"_s.arg(ticks)));
        }
        QCOMPARE(checks, 4);
        // Every tick: servers, then addresses, then notices; the update checks fall between ticks.
        QStringList lines = f.sent();
        QCOMPARE(lines.removeAll(u"GET /desktop/latest.json"_s), 4);
        QCOMPARE(lines.size(), 3 * 2880);
        for (int i = 0; i < lines.size(); i += 3)
            QCOMPARE(lines.mid(i, 3), (QStringList{u"GET /servers"_s, u"GET /geo"_s, u"GET /notify/inbox"_s}));
        // A later check that finds nothing newer took the offer away.
        QVERIFY(!f.state->updateInfo());
        QCOMPARE(updates.count(), 4);
    }

    // The refresh and the update check are promised every 30 s and every 6 h: timers that may come early
    // would break that.
    void repeatingTimersArePrecise() {
        f.remake(true);
        QList<qint64> repeating;
        for (const ManualClock::Armed& t : f.h->clock.armed()) {
            if (!t.repeating) continue;
            repeating.append(t.intervalMs);
            QVERIFY2(t.precise, qPrintable(QString::number(t.intervalMs)));
        }
        std::sort(repeating.begin(), repeating.end());
        QCOMPARE(repeating, (QList<qint64>{30'000, 21'600'000}));
        QVERIFY(StateHarness::spin([&] { return !f.state->startingUp(); }));
    }

    void timersHoldTheStateWeakly() {
        storeToken();
        f.remake(true);
        QVERIFY(StateHarness::spin([&] { return !f.state->startingUp() && f.sent().size() == 4; }));
        f.state.reset();
        QVERIFY(f.service.clearRequests());
        f.h->clock.advance(22'000'000);
        f.h->facility.setStatus(V::connected);
        QVERIFY(f.flush().isEmpty());
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "app_state_test.moc"
