// What a broken or malicious provider can send, through the real request layer against the stand-in
// service: the state must stay responsive, show the error or keep the old value, and lose nothing stored.
#include "platform/defaults_keys.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "vpn/vpn_controller.h"

#include <QJsonArray>
#include <QTest>
#include <QTimer>

#include <ctime>

using namespace Qt::StringLiterals;

namespace {

// The most CPU time the main thread spent between two turns of a 5 ms timer: a long stretch of work that
// holds up its event loop. Counted in the thread's own CPU time, so a busy machine does not add to it.
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = cpuMs();
            m_worst = std::max(m_worst, now - m_last);
            m_last = now;
        });
        m_last = cpuMs();
        m_timer.start(5);
    }
    qint64 worstMs() const { return std::max(m_worst, cpuMs() - m_last); }

private:
    static qint64 cpuMs() {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
    }
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_worst = 0;
};

QJsonObject gatewayReply(const QString& host, const QString& secret) {
    const QJsonObject gateway{{u"host"_s, host}, {u"remoteId"_s, u"gw.test"_s}, {u"secret"_s, secret}};
    const QJsonValue server = serverList(1).value("servers"_L1)[0];
    return {{u"body"_s, QJsonObject{{u"server"_s, server}, {u"exitIp"_s, u"203.0.113.9"_s}, {u"gateway"_s, gateway}}}};
}

enum class Step { Login, Servers, Connect };

} // namespace

Q_DECLARE_METATYPE(Step)

class HostileServiceTest : public QObject {
    Q_OBJECT
    StateFixture f;

    // Runs the task to its end and the state to rest; the slowest case waits for a request's
    // whole-transfer limit, so the bound is far above the 400 steps of a plain run.
    bool drive(QCoro::Task<>&& task) {
        const Running r = startTask(std::move(task));
        return f.h->drive([&] { return *r.done && !f.state->busy(); }, 60'000);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(f.start()); }
    void init() {
        QVERIFY(f.reset());
        // Signed in with the list loaded and a server chosen, as a user would be.
        QVERIFY(drive(f.state->login(u"a@kestrava.test"_s, u"pw"_s)));
        QVERIFY(drive(f.state->loadServers()));
        QCOMPARE(f.state->servers().size(), 2);
        f.state->setActiveServerId(u"tr-1"_s);
    }
    void cleanup() { f.clear(); }

    void hostileReplies_data() {
        QTest::addColumn<Step>("step");
        QTest::addColumn<QJsonObject>("reply");
        // The error shown ("*" = any transport text), or empty for none (Connect: it must connect).
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("listSize");
        const QJsonObject hundredMb{{u"repeatBody"_s, QJsonObject{{u"chunk"_s, QString(1024, u'x')}, {u"count"_s, 100 * 1024}}}};
        const QJsonObject endless{{u"trickle"_s, QJsonObject{{u"chunk"_s, QString(65536, u' ')}, {u"intervalMs"_s, 1}}}};
        const QJsonObject slowLoris{{u"trickle"_s, QJsonObject{{u"chunk"_s, u" "_s}, {u"intervalMs"_s, 2000}}}};
        const auto redirect = [](const char* to) {
            return QJsonObject{{u"status"_s, 302}, {u"headers"_s, QJsonObject{{u"Location"_s, QString::fromUtf8(to)}}}};
        };
        const QString any = u"*"_s;
        const auto newRow = [](const char* name, Step step, const QJsonObject& reply, const QString& error, int size) {
            QTest::newRow(name) << step << reply << error << size;
        };
        newRow("servers: 500 keeps the list", Step::Servers, {{u"status"_s, 500}}, {}, 2);
        newRow("servers: garbage keeps the list", Step::Servers, {{u"rawBody"_s, u"<html>"_s}}, {}, 2);
        newRow("servers: dropped keeps the list", Step::Servers, {{u"dropConnection"_s, true}}, {}, 2);
        newRow("servers: empty list empties it", Step::Servers, {{u"body"_s, QJsonObject{{u"servers"_s, QJsonArray{}}}}}, {}, 0);
        newRow("servers: 100 MB body", Step::Servers, hundredMb, {}, 2);
        newRow("servers: never ends", Step::Servers, endless, {}, 2);
        newRow("servers: reset mid-body", Step::Servers, {{u"body"_s, serverList(50)}, {u"dropAfterBytes"_s, 700}}, {}, 2);
        newRow("servers: redirect to another host", Step::Servers, redirect("http://127.0.0.2:1/servers"), {}, 2);
        newRow("servers: redirect to file:", Step::Servers, redirect("file:///etc/passwd"), {}, 2);
        newRow("servers: redirect to ftp:", Step::Servers, redirect("ftp://127.0.0.1/servers"), {}, 2);
        newRow("servers: html content type, good body", Step::Servers,
               {{u"body"_s, serverList(3)}, {u"contentType"_s, u"text/html"_s}}, {}, 3);
        newRow("servers: 100,000 entries", Step::Servers, {{u"body"_s, serverList(100'000)}}, {}, 100'000);
        newRow("login: 100 MB body", Step::Login, hundredMb, any, 2);
        newRow("login: reset mid-body", Step::Login,
               {{u"rawBody"_s, u"{\"token\":\"evil\",\"user\":{\"id\":\"1\",\"email\":\"x@y\"}}"_s}, {u"dropAfterBytes"_s, 20}}, any, 2);
        newRow("connect: slow-loris", Step::Connect, slowLoris, any, 2);
        newRow("connect: host with a newline", Step::Connect, gatewayReply(u"gw.test\nleftauth=psk"_s, u"s"_s), {}, 2);
        newRow("connect: host with quotes and shell characters", Step::Connect,
               gatewayReply(u"\"; $(touch /tmp/x) `id` | rm -rf ~ '"_s, u"s"_s), {}, 2);
        newRow("connect: secret of 1 MB", Step::Connect, gatewayReply(u"127.0.0.1"_s, QString(1024 * 1024, u'k')), {}, 2);
    }
    void hostileReplies() {
        QFETCH(Step, step);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, error);
        QFETCH(int, listSize);
        const char* method = step == Step::Servers ? "GET" : "POST";
        QVERIFY(f.useReply(method, step == Step::Login ? "/auth/login" : step == Step::Servers ? "/servers" : "/connect", reply));
        const std::optional<QString> tokenBefore = f.stored(DefaultsKeys::token), emailBefore = f.stored(DefaultsKeys::email);

        StallMeter stalls;
        if (step == Step::Login) QVERIFY(drive(f.state->login(u"a@kestrava.test"_s, u"pw"_s)));
        else if (step == Step::Servers) QVERIFY(drive(f.state->loadServers()));
        else QVERIFY(drive(f.state->toggle()));
        QVERIFY2(stalls.worstMs() <= 100, qPrintable(u"main thread busy %1 ms at a stretch"_s.arg(stalls.worstMs())));

        QCOMPARE(f.state->servers().size(), listSize);
        QCOMPARE(f.state->bestServer().has_value(), listSize > 0);
        if (error.isEmpty()) QVERIFY2(!f.state->errorMessage(), qPrintable(f.state->errorMessage().value_or(QString())));
        else QVERIFY(f.state->errorMessage() && (error == u"*"_s || *f.state->errorMessage() == error));
        if (step == Step::Connect && error.isEmpty()) {
            QCOMPARE(f.state->status(), ConnectionStatus::connected);
            // Gateway values go to the facility and the keychain as data, byte for byte.
            const QJsonObject gw = reply.value("body"_L1).toObject().value("gateway"_L1).toObject();
            QCOMPARE(f.h->facility.storedProfile->protocolConfiguration->serverAddress,
                     std::optional<QString>(gw.value("host"_L1).toString()));
            QCOMPARE(f.h->keychain.data(QString::fromUtf8(VPNController::keychainService),
                                        QString::fromUtf8(VPNController::keychainAccount)),
                     std::optional<QByteArray>(gw.value("secret"_L1).toString().toUtf8()));
        } else if (step == Step::Connect) {
            QCOMPARE(f.state->status(), ConnectionStatus::idle);
            QCOMPARE(f.h->facility.starts, 0);
        }
        // Nothing that was stored is lost; a failed sign-in keeps the earlier one.
        QCOMPARE(f.stored(DefaultsKeys::token), tokenBefore);
        QCOMPARE(f.stored(DefaultsKeys::email), emailBefore);
        QCOMPARE(DefaultsStore(f.env->defaults().path()).string(DefaultsKeys::token), tokenBefore);
    }
};

QTEST_GUILESS_MAIN(HostileServiceTest)
#include "hostile_service_test.moc"
