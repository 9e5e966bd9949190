#include "api/records.h"

#include <QJsonDocument>
#include <QSet>
#include <QTest>

namespace {

QByteArray serverJson(const QByteArray& loadValue, const QByteArray& extra = {}) {
    return R"({"id":"s1","name":"Ankara 1","country":"Türkiye","countryCode":"TR","city":"Ankara","load":)" +
           loadValue + R"(,"pingMs":12,"tier":"FREE")" + extra + "}";
}

QByteArray list(const QList<QByteArray>& items) {
    QByteArray out = R"({"servers":[)";
    for (qsizetype i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]}";
}

Server base() {
    return Server{QStringLiteral("s1"), QStringLiteral("Ankara 1"), QStringLiteral("Türkiye"), QStringLiteral("TR"),
                  QStringLiteral("Ankara"), 5, 12, QStringLiteral("FREE")};
}

} // namespace

class RecordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serverList_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("failingPath");
        QTest::addColumn<qint64>("load");

        const QByteArray minimal =
            R"({"id":"s2","country":"Almanya","countryCode":"DE","city":"Berlin","load":3,"tier":"PLUS"})";
        QTest::newRow("full") << list({serverJson("12")}) << true << QString() << qint64(12);
        QTest::newRow("optional keys missing") << list({minimal}) << true << QString() << qint64(3);
        QTest::newRow("max int64") << list({serverJson("9223372036854775807")}) << true << QString()
                                   << std::numeric_limits<qint64>::max();
        QTest::newRow("min int64") << list({serverJson("-9223372036854775808")}) << true << QString()
                                   << std::numeric_limits<qint64>::min();
        QTest::newRow("beyond 2^53 stays exact")
            << list({serverJson("9007199254740993")}) << true << QString() << qint64(9007199254740993LL);
        QTest::newRow("whole number written with fraction") << list({serverJson("12.0")}) << true << QString()
                                                             << qint64(12);
        QTest::newRow("fraction") << list({serverJson("12.5")}) << false << QStringLiteral("servers[0].load")
                                  << qint64(0);
        QTest::newRow("string number") << list({serverJson(R"("12")")}) << false
                                       << QStringLiteral("servers[0].load") << qint64(0);
        QTest::newRow("out of range") << list({serverJson("9223372036854775808")}) << false
                                      << QStringLiteral("servers[0].load") << qint64(0);
        // Qt reads every number that is not a plain 64-bit integer through a double and keeps a
        // whole double within 64 bits as an integer: what it had to round must not pass for one.
        const QString load = QStringLiteral("servers[0].load");
        QTest::newRow("just below min int64") << list({serverJson("-9223372036854775809")}) << false << load << qint64(0);
        QTest::newRow("below min int64, rounds to it") << list({serverJson("-9223372036854776000")}) << false << load
                                                       << qint64(0);
        QTest::newRow("1e19") << list({serverJson("1e19")}) << false << load << qint64(0);
        QTest::newRow("-1e19") << list({serverJson("-1e19")}) << false << load << qint64(0);
        QTest::newRow("fraction rounding to a whole")
            << list({serverJson("0.99999999999999999999")}) << false << load << qint64(0);
        QTest::newRow("fraction beyond 2^53") << list({serverJson("9007199254740993.5")}) << false << load << qint64(0);
        QTest::newRow("min int64 below by a fraction")
            << list({serverJson("-9223372036854775808.5")}) << false << load << qint64(0);
        QTest::newRow("pingMs just below min int64")
            << list({serverJson("1", R"(,"pingMs":-9223372036854775809)")}) << false
            << QStringLiteral("servers[0].pingMs") << qint64(0);
        // A whole number is exact however it is written.
        QTest::newRow("min int64 with a fraction") << list({serverJson("-9223372036854775808.0")}) << true << QString()
                                                   << std::numeric_limits<qint64>::min();
        QTest::newRow("max int64 with an exponent") << list({serverJson("9.223372036854775807e18")}) << true
                                                    << QString() << std::numeric_limits<qint64>::max();
        QTest::newRow("beyond 2^53 with a fraction")
            << list({serverJson("9007199254740993.0")}) << true << QString() << qint64(9007199254740993LL);
        QTest::newRow("beyond 2^53 with an exponent")
            << list({serverJson("1234567890123457e3")}) << true << QString() << qint64(1234567890123457000LL);
        QTest::newRow("1e18") << list({serverJson("1E+18")}) << true << QString() << qint64(1000000000000000000LL);
        QTest::newRow("unknown key out of range is ignored")
            << list({serverJson("4", R"(,"x":-9223372036854775809,"y":[1e-5,0.99999999999999999999])")}) << true
            << QString() << qint64(4);
        QTest::newRow("huge exponent") << list({serverJson("1e300")}) << false << QStringLiteral("servers[0].load")
                                       << qint64(0);
        QTest::newRow("bool as integer") << list({serverJson("true")}) << false << QStringLiteral("servers[0].load")
                                         << qint64(0);
        QTest::newRow("null required") << list({serverJson("null")}) << false << QStringLiteral("servers[0].load")
                                       << qint64(0);
        QTest::newRow("one bad element fails the list")
            << list({serverJson("1"), serverJson("2"), serverJson("3"), serverJson("4.5")}) << false
            << QStringLiteral("servers[3].load") << qint64(0);
        QTest::newRow("element not an object") << list({serverJson("1"), "7"}) << false << QStringLiteral("servers[1]")
                                               << qint64(0);
        QTest::newRow("unknown keys at any depth")
            << QByteArray(R"({"x":{"deep":[1,2]},"servers":[)" +
                          serverJson("4", R"(,"extra":{"nested":{"load":"bad"}},"more":[null])") + "]}")
            << true << QString() << qint64(4);
        QTest::newRow("list missing") << QByteArray("{}") << false << QStringLiteral("servers") << qint64(0);
        QTest::newRow("list is null") << QByteArray(R"({"servers":null})") << false << QStringLiteral("servers")
                                      << qint64(0);
        QTest::newRow("list of wrong type") << QByteArray(R"({"servers":{}})") << false << QStringLiteral("servers")
                                            << qint64(0);
        QTest::newRow("pingMs of wrong type") << list({serverJson("1", R"(,"pingMs":"fast")")}) << false
                                              << QStringLiteral("servers[0].pingMs") << qint64(0);
        QTest::newRow("name of wrong type") << list({serverJson("1", R"(,"name":5)")}) << false
                                            << QStringLiteral("servers[0].name") << qint64(0);
    }
    void serverList() {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QFETCH(QString, failingPath);
        QFETCH(qint64, load);
        const Result<ServersResponse> r = ServersResponse::fromJson(json);
        QCOMPARE(r.ok(), ok);
        if (ok) {
            QCOMPARE(r->servers.last().load, load);
        } else {
            QCOMPARE(r.error().kind, Error::Kind::Decode);
            QCOMPARE(r.error().detail, failingPath);
            QVERIFY2(r.error().description().contains(failingPath), qPrintable(r.error().description()));
        }
    }

    // The byte offset of a damaged reply is the reply's own, whatever numbers came before it.
    void parseErrorOffset_data() {
        QTest::addColumn<QByteArray>("number");
        QTest::newRow("rounded down to min int64") << QByteArray("-9223372036854775809");
        QTest::newRow("whole, written shorter") << QByteArray("1234567890123457e3");
        QTest::newRow("whole, written longer") << QByteArray("9007199254740993.000");
        QTest::newRow("fraction rounding to a whole") << QByteArray("0.99999999999999999999");
    }
    void parseErrorOffset() {
        QFETCH(QByteArray, number);
        const auto reply = [](const QByteArray& n) {
            return R"({"a":[)" + n + "," + n + R"(],"servers":[{"id":"s1", "load":)" + n + R"(,}]})";
        };
        const Result<ServersResponse> odd = ServersResponse::fromJson(reply(number));
        const Result<ServersResponse> plain = ServersResponse::fromJson(reply("1" + QByteArray(number.size() - 1, ' ')));
        QVERIFY(!odd.ok() && !plain.ok());
        QCOMPARE(odd.error().message, plain.error().message);
    }

    void optionalNullEqualsMissing() {
        const QByteArray withNull =
            R"({"servers":[{"id":"a","country":"c","countryCode":"TR","city":"x","load":1,"tier":"FREE","pingMs":null,"name":null}]})";
        const QByteArray without = R"({"servers":[{"id":"a","country":"c","countryCode":"TR","city":"x","load":1,"tier":"FREE"}]})";
        const auto a = ServersResponse::fromJson(withNull);
        const auto b = ServersResponse::fromJson(without);
        QVERIFY(a.ok() && b.ok());
        QVERIFY(!a->servers[0].pingMs && !a->servers[0].name);
        QCOMPARE(a->servers[0], b->servers[0]);
    }

    void serverEqualityAndHash_data() {
        QTest::addColumn<Server>("other");
        QTest::addColumn<bool>("equal");
        Server s = base();
        QTest::newRow("identical") << s << true;
        s = base();
        s.pingMs.reset();
        QTest::newRow("pingMs absent vs 12") << s << false;
        s = base();
        s.name.reset();
        QTest::newRow("name absent") << s << false;
        s = base();
        s.load = 6;
        QTest::newRow("load") << s << false;
        s = base();
        s.tier = QStringLiteral("PLUS");
        QTest::newRow("tier") << s << false;
        s = base();
        s.city = QStringLiteral("İzmir");
        QTest::newRow("city") << s << false;
    }
    void serverEqualityAndHash() {
        QFETCH(Server, other);
        QFETCH(bool, equal);
        QCOMPARE(base() == other, equal);
        if (equal) QCOMPARE(qHash(base()), qHash(other));
        QSet<Server> set{base(), other};
        QCOMPARE(set.size(), equal ? 1 : 2);
    }

    void absentDiffersFromEmpty() {
        Server absent = base();
        absent.name.reset();
        Server empty = base();
        empty.name = QString();
        QVERIFY(absent != empty);
        QVERIFY(qHash(absent) != qHash(empty));
    }

    void connectResponse_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("hasGateway");
        QTest::addColumn<QString>("failingPath");
        const QByteArray server = serverJson("1");
        QTest::newRow("with gateway")
            << QByteArray(R"({"server":)" + server +
                          R"(,"exitIp":"203.0.113.9","gateway":{"host":"gw.example","remoteId":"gw","secret":"s3"}})")
            << true << true << QString();
        QTest::newRow("without gateway") << QByteArray(R"({"server":)" + server + R"(,"exitIp":"203.0.113.9"})") << true
                                         << false << QString();
        QTest::newRow("gateway null") << QByteArray(R"({"server":)" + server + R"(,"exitIp":"1.2.3.4","gateway":null})")
                                      << true << false << QString();
        QTest::newRow("gateway missing secret")
            << QByteArray(R"({"server":)" + server + R"(,"exitIp":"1","gateway":{"host":"h","remoteId":"r"}})") << false
            << false << QStringLiteral("gateway.secret");
        QTest::newRow("gateway not an object")
            << QByteArray(R"({"server":)" + server + R"(,"exitIp":"1","gateway":"h"})") << false << false
            << QStringLiteral("gateway");
        QTest::newRow("server field bad")
            << QByteArray(R"({"server":)" + serverJson("0.5") + R"(,"exitIp":"1"})") << false << false
            << QStringLiteral("server.load");
        QTest::newRow("exitIp missing") << QByteArray(R"({"server":)" + server + "}") << false << false
                                        << QStringLiteral("exitIp");
    }
    void connectResponse() {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QFETCH(bool, hasGateway);
        QFETCH(QString, failingPath);
        const Result<ConnectResponse> r = ConnectResponse::fromJson(json);
        QCOMPARE(r.ok(), ok);
        if (ok)
            QCOMPARE(r->gateway.has_value(), hasGateway);
        else
            QCOMPARE(r.error().detail, failingPath);
    }

    void loginAndInbox() {
        const auto login =
            LoginResponse::fromJson(R"({"user":{"id":"u1","email":"a@b.c","plan":null,"x":1},"token":"t"})");
        QVERIFY(login.ok());
        QCOMPARE(login->user.email, QStringLiteral("a@b.c"));
        QVERIFY(!login->user.plan && !login->user.name);
        QCOMPARE(LoginResponse::fromJson(R"({"user":{"id":"u1"},"token":"t"})").error().detail,
                 QStringLiteral("user.email"));
        QCOMPARE(LoginResponse::fromJson(R"({"user":{"id":"u1","email":"e"}})").error().detail, QStringLiteral("token"));
        // The text the user reads for a bad reply.
        QCOMPARE(LoginResponse::fromJson(R"({"user":{"id":"u1","email":"e"}})").error().message,
                 QStringLiteral("Sunucu yanıtı okunamadı: token — alan eksik"));

        const auto inbox = InboxResponse::fromJson(
            R"({"campaigns":[{"id":"c1","title":"T","body":"B","url":null,"createdAt":"2026-01-01"}]})");
        QVERIFY(inbox.ok());
        QVERIFY(!inbox->campaigns[0].url && !inbox->campaigns[0].cta);
        QCOMPARE(InboxResponse::fromJson(R"({"campaigns":[{"id":"c1","title":"T","body":"B"}]})").error().detail,
                 QStringLiteral("campaigns[0].createdAt"));

        QVERIFY(API::TrackResponse::fromJson(R"({"ok":false})").ok());
        QCOMPARE(API::TrackResponse::fromJson(R"({"ok":"yes"})").error().detail, QStringLiteral("ok"));
        QCOMPARE(API::TrackResponse::fromJson(R"({"ok":1})").error().detail, QStringLiteral("ok"));
    }

    void roundTrip() {
        ConnectResponse r{base(), QStringLiteral("203.0.113.1"),
                          Gateway{QStringLiteral("h"), QStringLiteral("r"), QStringLiteral("s")}};
        r.server.name.reset();
        const QJsonObject json = r.toJson();
        QVERIFY(!json.value(QStringLiteral("server")).toObject().contains(QStringLiteral("name")));
        const auto back = ConnectResponse::fromJson(QJsonDocument(json).toJson());
        QVERIFY(back.ok());
        QCOMPARE(*back, r);

        const Campaign c{QStringLiteral("c"), QStringLiteral("t"), QStringLiteral("b"), std::nullopt,
                         QStringLiteral("Aç"), QStringLiteral("2026")};
        const auto inbox = InboxResponse::fromJson(QJsonDocument(InboxResponse{{c}}.toJson()).toJson());
        QVERIFY(inbox.ok());
        QCOMPARE(inbox->campaigns[0], c);
        QVERIFY(!c.toJson().contains(QStringLiteral("url")));
    }

    void publicGeo_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("city");
        QTest::addColumn<QString>("countryCode");
        QTest::newRow("full") << QByteArray(R"({"ip":"1.2.3.4","city":"Ankara","countryCode":"TR"})") << true
                              << QStringLiteral("Ankara") << QStringLiteral("TR");
        QTest::newRow("null city no code") << QByteArray(R"({"ip":"1.2.3.4","city":null})") << true << QString()
                                           << QString();
        QTest::newRow("wrong types are no value") << QByteArray(R"({"ip":"1.2.3.4","city":5,"countryCode":[]})")
                                                  << true << QString() << QString();
        QTest::newRow("empty ip") << QByteArray(R"({"ip":"","city":"Ankara"})") << false << QString() << QString();
        QTest::newRow("ip not string") << QByteArray(R"({"ip":1234})") << false << QString() << QString();
        QTest::newRow("no ip") << QByteArray(R"({"city":"Ankara"})") << false << QString() << QString();
        QTest::newRow("empty object") << QByteArray("{}") << false << QString() << QString();
        QTest::newRow("array") << QByteArray(R"([{"ip":"1.2.3.4"}])") << false << QString() << QString();
        QTest::newRow("html") << QByteArray("<html>503</html>") << false << QString() << QString();
    }
    void publicGeo() {
        QFETCH(QByteArray, json);
        QFETCH(bool, present);
        QFETCH(QString, city);
        QFETCH(QString, countryCode);
        const std::optional<PublicGeo> geo = PublicGeo::fromJson(json);
        QCOMPARE(geo.has_value(), present);
        if (!present) return;
        QCOMPARE(geo->city.value_or(QString()), city);
        QCOMPARE(geo->city.has_value(), !city.isEmpty());
        QCOMPARE(geo->countryCode.value_or(QString()), countryCode);
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "records_test.moc"
