// A real IKEv2 tunnel: a gateway charon and a client charon in two network namespaces, the facility
// driving the client charon over its VICI socket. Needs root; skips elsewhere.
#include "vpn/strongswan/strongswan_facility.h"

#include "support/await.h"
#include "support/netns_pair.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

const QString pairScript = QStringLiteral(KESTRAVA_NETNS_DIR "/ikev2-pair.sh");
const QByteArray secretReference = QByteArrayLiteral("/org/freedesktop/secrets/collection/test/1");

QByteArray why(StrongSwanFacility& f) {
    const auto e = awaitTask(f.fetchLastDisconnectError());
    return QStringLiteral("status %1, last error: %2 [%3]")
        .arg(int(f.status()))
        .arg(e ? e->message : QStringLiteral("none"), e ? e->detail : QString())
        .toUtf8();
}

} // namespace

class StrongSwanTunnelTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    NetnsPair m_pair{pairScript, m_dir.path() + QStringLiteral("/pair"), QStringLiteral("pair.env")};
    QByteArray m_secret;
    std::unique_ptr<StrongSwanFacility> m_facility;

    QString env(const char* key) const { return m_pair.env(key); }
    QString profilePath() const { return m_dir.path() + QStringLiteral("/home/kestrava/vpn-profile.json"); }

    std::unique_ptr<StrongSwanFacility> makeFacility() {
        auto f = std::make_unique<StrongSwanFacility>(
            env("CLIENT_VICI"), profilePath(), [this](QByteArray reference) -> QCoro::Task<std::optional<QByteArray>> {
                co_return reference == secretReference ? std::optional(m_secret) : std::nullopt;
            });
        f->setLimits({10s, 3s, 3s}); // the gateway of the unreachable case never answers
        return f;
    }

    void setProfile(StrongSwanFacility& f, const QString& server, bool enabled = true) {
        VpnProfile p;
        p.localizedDescription = QStringLiteral("Kestrava");
        p.isEnabled = enabled;
        IkeV2Protocol ike;
        ike.serverAddress = server;
        ike.remoteIdentifier = env("GW_ID");
        ike.localIdentifier = env("CLIENT_ID");
        ike.sharedSecretReference = secretReference;
        p.protocolConfiguration = ike;
        f.profile() = p;
    }

    bool tunnelAddressAnswers() const { return m_pair.tunnelAddressAnswers(); }

    // charon's own view and its own tools, over a VICI connection of the test's.
    vici::Outcome<vici::Reply> command(const QByteArray& name, vici::Section args = {}, const QByteArray& events = {}) {
        vici::Connection c;
        auto opened = awaitTask(c.open(env("CLIENT_VICI"), 5s), 10'000);
        if (!opened) return opened.error();
        if (!events.isEmpty())
            if (auto subscribed = awaitTask(c.subscribe(events, 5s), 10'000); !subscribed) return subscribed.error();
        return awaitTask(c.request(name, std::move(args), 30s), 40'000);
    }
    std::vector<vici::Section> listSas() {
        std::vector<vici::Section> out;
        if (auto reply = command("list-sas", {}, "list-sa"))
            for (auto& [name, m] : reply->streamed) out.push_back(m);
        return out;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        NETNS_PAIR_UP(m_pair, 30'000);
    }

    void init() {
        m_secret = env("PSK").toUtf8();
        m_facility = makeFacility();
    }

    // Leave charon as the next case expects it: no tunnel, nothing loaded.
    void cleanup() {
        if (m_facility) leaveNothing(*m_facility);
        m_facility.reset();
    }

    // One profile through its life against a real gateway: a wrong key, the right one, traffic, rekeys,
    // a second copy of the program, a stop, and disabled at last.
    void connectsCarriesTrafficAndDisconnects() {
        StrongSwanFacility& f = *m_facility;
        QVERIFY(awaitTask(f.load()).ok());
        QCOMPARE(f.status(), VpnStatus::invalid);
        QVERIFY(!tunnelAddressAnswers());

        // A wrong key ends with the authentication reason, and leaves nothing in charon.
        m_secret = QByteArrayLiteral("not-the-gateway-key");
        setProfile(f, env("GW_ADDR"));
        QVERIFY(awaitTask(f.save()).ok());
        QList<VpnStatus> seen;
        QVERIFY(f.startTunnel().ok());
        QVERIFY(waitForStatus(f, VpnStatus::disconnected, &seen));
        QVERIFY(!seen.contains(VpnStatus::connected));
        const auto error = awaitTask(f.fetchLastDisconnectError());
        QVERIFY(error);
        QCOMPARE(error->detail, QStringLiteral("AUTHENTICATION_FAILED"));
        QCOMPARE(error->code, 24);
        QVERIFY(error->message.contains(QStringLiteral("Kimlik doğrulama")));
        QVERIFY(listSas().empty());

        // The right key afterwards works without restarting anything.
        m_secret = env("PSK").toUtf8();
        QVERIFY(awaitTask(f.save()).ok());
        QVERIFY(awaitTask(f.load()).ok());
        QCOMPARE(f.status(), VpnStatus::disconnected);
        seen.clear();
        QVERIFY(f.startTunnel().ok());
        QCOMPARE(f.status(), VpnStatus::connecting);
        QVERIFY2(waitForStatus(f, VpnStatus::connected, &seen), why(f).constData());
        QVERIFY(!seen.contains(VpnStatus::disconnected));
        QCOMPARE(awaitTask(f.fetchLastDisconnectError()), std::optional<Error>());
        QVERIFY(tunnelAddressAnswers());

        const auto sas = listSas();
        QCOMPARE(sas.size(), size_t(1));
        const vici::Section* ike = sas[0].section("kestrava");
        QVERIFY(ike);
        QCOMPARE(ike->value("dh-group"), QByteArray("MODP_2048"));
        QVERIFY(ike->list("local-vips").value_or(QList<QByteArray>()).value(0).startsWith("10.99.0."));
        const vici::Section* children = ike->section("child-sas");
        QVERIFY(children && !children->entries().empty());
        const vici::Section& child = children->entries().front().section;
        QCOMPARE(child.value("state"), QByteArray("INSTALLED"));
        QVERIFY(child.value("bytes-out").value_or("0").toLongLong() > 0);
        for (const vici::Section* sa : {ike, &child}) {
            QCOMPARE(sa->value("encr-alg"), QByteArray("AES_CBC"));
            QCOMPARE(sa->value("encr-keysize"), QByteArray("256"));
            QCOMPARE(sa->value("integ-alg"), QByteArray("HMAC_SHA2_256_128"));
        }

        // A rekey of either SA reasserts and the tunnel stays up.
        for (const QByteArray which : {"child", "ike"}) {
            seen.clear();
            QObject ctx;
            connect(&f, &VpnFacility::statusChanged, &ctx, [&] { seen.append(f.status()); });
            auto rekeyed = command("rekey", vici::Section().set(which, QByteArrayLiteral("kestrava")));
            QVERIFY(rekeyed.ok());
            QCOMPARE(rekeyed->response.value("success"), QByteArray("yes"));
            (void)QTest::qWaitFor([&] { return seen.size() >= 2 && f.status() == VpnStatus::connected; }, 10'000);
            QVERIFY2(seen == (QList<VpnStatus>{VpnStatus::reasserting, VpnStatus::connected}), which.constData());
            QVERIFY(tunnelAddressAnswers());
        }

        // A second copy of the program finds the tunnel as it is.
        auto other = makeFacility();
        QVERIFY(awaitTask(other->load()).ok());
        QCOMPARE(other->status(), VpnStatus::connected);
        QCOMPARE(other->profile(), f.profile());
        other.reset();

        seen.clear();
        f.stopTunnel();
        QCOMPARE(f.status(), VpnStatus::disconnecting);
        QVERIFY(waitForStatus(f, VpnStatus::disconnected, &seen));
        QVERIFY(!tunnelAddressAnswers());
        QVERIFY(listSas().empty());
        QCOMPARE(awaitTask(f.fetchLastDisconnectError()), std::optional<Error>());

        // Disabled, it cannot be started, not through charon's own tools either: it is gone from charon.
        setProfile(f, env("GW_ADDR"), false);
        QVERIFY(awaitTask(f.save()).ok());
        QVERIFY(!f.startTunnel().ok());
        QCOMPARE(f.status(), VpnStatus::disconnected);
        auto initiated = command("initiate", vici::Section().set("child", QByteArrayLiteral("kestrava")).set("timeout", QByteArrayLiteral("2000")));
        QVERIFY(initiated.ok());
        QCOMPARE(initiated->response.value("success"), QByteArray("no"));
        QVERIFY(!tunnelAddressAnswers());
    }

    // An address on the link where nobody answers: the attempt ends by our limit or our stop.
    void unansweredAttemptEnds_data() {
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("token"); // the reason kept; empty: none
        QTest::newRow("within the attempt limit") << false << QStringLiteral("PEER_NOT_RESPONDING");
        QTest::newRow("stopped while connecting") << true << QString();
    }
    void unansweredAttemptEnds() {
        QFETCH(bool, stop);
        QFETCH(QString, token);
        StrongSwanFacility& f = *m_facility;
        setProfile(f, QStringLiteral("192.0.2.9"));
        QVERIFY(awaitTask(f.save()).ok());
        QList<VpnStatus> seen;
        QVERIFY(f.startTunnel().ok());
        if (stop) {
            f.stopTunnel();
            QCOMPARE(f.status(), VpnStatus::disconnecting);
        }
        QVERIFY(waitForStatus(f, VpnStatus::disconnected, &seen, 30'000));
        const auto error = awaitTask(f.fetchLastDisconnectError());
        QCOMPARE(error.has_value(), !token.isEmpty());
        if (error) QCOMPARE(error->detail, token);
        // The attempt does not linger in charon after we gave up on it.
        QTRY_VERIFY_WITH_TIMEOUT(listSas().empty(), 5'000);
    }
};

QTEST_GUILESS_MAIN(StrongSwanTunnelTest)
#include "strongswan_tunnel_test.moc"
