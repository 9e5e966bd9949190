// What a broken or malicious provider can send, through the real request layer against the stand-in
// service: the state must stay responsive, show the error or keep the old value, and lose nothing
// that it stored.
#include "platform/defaults_keys.h"
#include "state/app_state.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "vpn/vpn_controller.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// The longest time the main thread's event loop went without running a 5 ms timer.
class StallMeter {
public:
    StallMeter() {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_worst = std::max(m_worst, m_since.restart());
        });
        m_since.start();
        m_timer.start();
    }
    qint64 worstMs() const { return std::max(m_worst, m_since.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_worst = 0;
};

QJsonObject override(const char* method, const char* path, QJsonObject reply) {
    reply.insert(QStringLiteral("method"), QString::fromUtf8(method));
    reply.insert(QStringLiteral("path"), QString::fromUtf8(path));
    return reply;
}

QJsonObject servers(int n) {
    QJsonArray list;
    for (int i = 0; i < n; ++i)
        list.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("s-%1").arg(i)},
                                {QStringLiteral("country"), QStringLiteral("Türkiye")},
                                {QStringLiteral("countryCode"), QStringLiteral("TR")},
                                {QStringLiteral("city"), QStringLiteral("İstanbul")},
                                {QStringLiteral("load"), (i * 37) % 100},
                                {QStringLiteral("pingMs"), (i * 13) % 300},
                                {QStringLiteral("tier"), QStringLiteral("FREE")}});
    return QJsonObject{{QStringLiteral("servers"), list}};
}

QJsonObject gatewayReply(const QString& host, const QString& secret) {
    return QJsonObject{{QStringLiteral("body"),
                        QJsonObject{{QStringLiteral("server"), servers(1).value(QStringLiteral("servers")).toArray().at(0)},
                                    {QStringLiteral("exitIp"), QStringLiteral("203.0.113.9")},
                                    {QStringLiteral("gateway"), QJsonObject{{QStringLiteral("host"), host},
                                                                            {QStringLiteral("remoteId"), QStringLiteral("gw.test")},
                                                                            {QStringLiteral("secret"), secret}}}}}};
}

enum class Step { Login, Servers, Connect };

} // namespace

Q_DECLARE_METATYPE(Step)

class HostileServiceTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<StateHarness> m_h;
    std::unique_ptr<AppState> m_state;

    // Runs the task to its end and the state to rest, moving the simulated tunnel's clock, bounded
    // by real time: the slowest case waits for the whole-transfer limit of a request.
    bool drive(QCoro::Task<>&& task) {
        bool done = false;
        auto wrapper = [&]() -> QCoro::Task<> {
            co_await std::move(task);
            done = true;
        };
        auto running = wrapper();
        QElapsedTimer elapsed;
        elapsed.start();
        while ((!done || m_state->busy()) && elapsed.elapsed() < 120'000) {
            QTest::qWait(5);
            m_h->clock.advance(50);
        }
        return done && !m_state->busy();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }
    void init() {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_service.setScenario(basicScenario()));
        m_h = std::make_unique<StateHarness>();
        m_state = m_h->make(m_env->defaults());
        // Signed in with the list loaded and a server chosen, as a user would be.
        QVERIFY(drive(m_state->login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw"))));
        QVERIFY(drive(m_state->loadServers()));
        QCOMPARE(m_state->servers().size(), 2);
        m_state->setActiveServerId(QStringLiteral("tr-1"));
    }
    void cleanup() {
        m_state.reset();
        m_h.reset();
        m_env.reset();
    }

    void hostileReplies_data() {
        QTest::addColumn<Step>("step");
        QTest::addColumn<QJsonObject>("reply");
        // Login: the error shown ("*" = any transport text); Servers: the list's size after;
        // Connect: the error shown, or empty when it must connect.
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("listSize");

        const QJsonObject hundredMb{{QStringLiteral("repeatBody"),
                                     QJsonObject{{QStringLiteral("chunk"), QString(1024, QLatin1Char('x'))},
                                                 {QStringLiteral("count"), 100 * 1024}}}};
        const QJsonObject endless{{QStringLiteral("trickle"), QJsonObject{{QStringLiteral("chunk"), QString(65536, QLatin1Char(' '))},
                                                                          {QStringLiteral("intervalMs"), 1}}}};
        const QJsonObject slowLoris{{QStringLiteral("trickle"), QJsonObject{{QStringLiteral("chunk"), QStringLiteral(" ")},
                                                                            {QStringLiteral("intervalMs"), 2000}}}};
        const QJsonObject resetMidBody{{QStringLiteral("body"), servers(50)}, {QStringLiteral("dropAfterBytes"), 700}};
        const auto redirect = [](const char* to) {
            return QJsonObject{{QStringLiteral("status"), 302},
                               {QStringLiteral("headers"), QJsonObject{{QStringLiteral("Location"), QString::fromUtf8(to)}}}};
        };
        const QString any = QStringLiteral("*");

        QTest::newRow("servers: 100 MB body") << Step::Servers << hundredMb << QString() << 2;
        QTest::newRow("servers: never ends") << Step::Servers << endless << QString() << 2;
        QTest::newRow("servers: reset mid-body") << Step::Servers << resetMidBody << QString() << 2;
        QTest::newRow("servers: redirect to another host")
            << Step::Servers << redirect("http://127.0.0.2:1/servers") << QString() << 2;
        QTest::newRow("servers: redirect to file:") << Step::Servers << redirect("file:///etc/passwd") << QString() << 2;
        QTest::newRow("servers: redirect to ftp:") << Step::Servers << redirect("ftp://127.0.0.1/servers") << QString() << 2;
        QTest::newRow("servers: html content type, good body")
            << Step::Servers << QJsonObject{{QStringLiteral("body"), servers(3)}, {QStringLiteral("contentType"), QStringLiteral("text/html")}}
            << QString() << 3;
        QTest::newRow("servers: 100,000 entries")
            << Step::Servers << QJsonObject{{QStringLiteral("body"), servers(100'000)}} << QString() << 100'000;
        QTest::newRow("login: 100 MB body") << Step::Login << hundredMb << any << 2;
        QTest::newRow("login: reset mid-body")
            << Step::Login << QJsonObject{{QStringLiteral("rawBody"), QStringLiteral("{\"token\":\"evil\",\"user\":{\"id\":\"1\",\"email\":\"x@y\"}}")},
                                          {QStringLiteral("dropAfterBytes"), 20}}
            << any << 2;
        QTest::newRow("connect: slow-loris") << Step::Connect << slowLoris << any << 2;
        QTest::newRow("connect: host with a newline")
            << Step::Connect << gatewayReply(QStringLiteral("gw.test\nleftauth=psk"), QStringLiteral("s")) << QString() << 2;
        QTest::newRow("connect: host with quotes and shell characters")
            << Step::Connect << gatewayReply(QStringLiteral("\"; $(touch /tmp/x) `id` | rm -rf ~ '"), QStringLiteral("s")) << QString() << 2;
        QTest::newRow("connect: secret of 1 MB")
            << Step::Connect << gatewayReply(QStringLiteral("127.0.0.1"), QString(1024 * 1024, QLatin1Char('k'))) << QString() << 2;
    }

    void hostileReplies() {
        QFETCH(Step, step);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, error);
        QFETCH(int, listSize);
        const char* method = step == Step::Servers ? "GET" : "POST";
        const char* path = step == Step::Login ? "/auth/login" : step == Step::Servers ? "/servers" : "/connect";
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"), QJsonArray{override(method, path, reply)});
        QVERIFY(m_service.setScenario(scenario));
        const std::optional<QString> tokenBefore = m_env->defaults().string(DefaultsKeys::token);
        const std::optional<QString> emailBefore = m_env->defaults().string(DefaultsKeys::email);

        StallMeter stalls;
        if (step == Step::Login)
            QVERIFY(drive(m_state->login(QStringLiteral("a@kestrava.test"), QStringLiteral("pw"))));
        else if (step == Step::Servers)
            QVERIFY(drive(m_state->loadServers()));
        else
            QVERIFY(drive(m_state->toggle()));
        qInfo("longest main-thread stall: %lld ms", stalls.worstMs());
        QVERIFY2(stalls.worstMs() <= 100, qPrintable(QStringLiteral("main thread stalled %1 ms").arg(stalls.worstMs())));

        QCOMPARE(m_state->servers().size(), listSize);
        QVERIFY(!m_state->busy());
        if (error.isEmpty()) {
            QVERIFY2(!m_state->errorMessage(), qPrintable(m_state->errorMessage().value_or(QString())));
        } else {
            QVERIFY(m_state->errorMessage());
            if (error != QLatin1String("*")) QCOMPARE(*m_state->errorMessage(), error);
        }
        if (step == Step::Connect) {
            if (error.isEmpty()) {
                QCOMPARE(m_state->status(), ConnectionStatus::connected);
                // Gateway values go to the facility and the keychain as data, byte for byte.
                const QJsonObject gw = reply.value(QStringLiteral("body")).toObject().value(QStringLiteral("gateway")).toObject();
                QCOMPARE(m_h->facility.storedProfile->protocolConfiguration->serverAddress,
                         std::optional<QString>(gw.value(QStringLiteral("host")).toString()));
                QCOMPARE(m_h->keychain.data(QString::fromUtf8(VPNController::keychainService),
                                            QString::fromUtf8(VPNController::keychainAccount)),
                         std::optional<QByteArray>(gw.value(QStringLiteral("secret")).toString().toUtf8()));
            } else {
                QCOMPARE(m_state->status(), ConnectionStatus::idle);
                QCOMPARE(m_h->facility.starts, 0);
            }
        }
        // Nothing that was stored is lost; a failed sign-in keeps the earlier one.
        QCOMPARE(m_env->defaults().string(DefaultsKeys::token), tokenBefore);
        QCOMPARE(m_env->defaults().string(DefaultsKeys::email), emailBefore);
        QCOMPARE(DefaultsStore(m_env->defaults().path()).string(DefaultsKeys::token), tokenBefore);
    }
};

QTEST_GUILESS_MAIN(HostileServiceTest)
#include "hostile_service_test.moc"
