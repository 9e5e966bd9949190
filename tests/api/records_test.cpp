// The service's records, strict where the reply is ours to read. What a broken or hostile service could
// send to every reader is fuzz_records' seeds.
#include "api/records.h"

#include "api/request.h"

#include <QJsonDocument>
#include <QSet>
#include <QTest>

#include <functional>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

QByteArray serverJson(const QByteArray& loadValue, const QByteArray& extra = {}) {
    return R"({"id":"s1","name":"Ankara 1","country":"Türkiye","countryCode":"TR","city":"Ankara","load":)" + loadValue +
           R"(,"pingMs":12,"tier":"FREE")" + extra + "}";
}

QByteArray list(const QList<QByteArray>& items) {
    QByteArray out = R"({"servers":[)";
    for (qsizetype i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]}";
}

Server base() {
    return Server{u"s1"_s, u"Ankara 1"_s, u"Türkiye"_s, u"TR"_s, u"Ankara"_s, 5, 12, u"FREE"_s};
}

} // namespace

class RecordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serverList_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QVariant>("expect"); // the last server's load, or the key path that failed
        const QVariant load(u"servers[0].load"_s);
        const auto row = [](const char* name, const QByteArray& json, const QVariant& expect) { QTest::newRow(name) << json << expect; };
        const auto number = [&](const char* name, const char* value, const QVariant& expect) { row(name, list({serverJson(value)}), expect); };
        const auto exact = [](qint64 v) { return QVariant(qlonglong(v)); };
        const qint64 max = std::numeric_limits<qint64>::max(), min = std::numeric_limits<qint64>::min();
        number("full", "12", exact(12));
        row("optional keys missing",
            list({R"({"id":"s2","country":"Almanya","countryCode":"DE","city":"Berlin","load":3,"tier":"PLUS"})"}), exact(3));
        number("max int64", "9223372036854775807", exact(max));
        number("min int64", "-9223372036854775808", exact(min));
        number("beyond 2^53 stays exact", "9007199254740993", exact(9007199254740993LL));
        number("whole number written with fraction", "12.0", exact(12));
        number("fraction", "12.5", load);
        number("string number", R"("12")", load);
        number("out of range", "9223372036854775808", load);
        // Qt reads every number that is not a plain 64-bit integer through a double and keeps a
        // whole double within 64 bits as an integer: what it had to round must not pass for one.
        number("just below min int64", "-9223372036854775809", load);
        number("below min int64, rounds to it", "-9223372036854776000", load);
        number("1e19", "1e19", load);
        number("-1e19", "-1e19", load);
        number("fraction rounding to a whole", "0.99999999999999999999", load);
        number("fraction beyond 2^53", "9007199254740993.5", load);
        number("min int64 below by a fraction", "-9223372036854775808.5", load);
        row("pingMs just below min int64", list({serverJson("1", R"(,"pingMs":-9223372036854775809)")}), u"servers[0].pingMs"_s);
        // A whole number is exact however it is written.
        number("min int64 with a fraction", "-9223372036854775808.0", exact(min));
        number("max int64 with an exponent", "9.223372036854775807e18", exact(max));
        number("beyond 2^53 with a fraction", "9007199254740993.0", exact(9007199254740993LL));
        number("beyond 2^53 with an exponent", "1234567890123457e3", exact(1234567890123457000LL));
        number("1e18", "1E+18", exact(1000000000000000000LL));
        row("unknown key out of range is ignored",
            list({serverJson("4", R"(,"x":-9223372036854775809,"y":[1e-5,0.99999999999999999999])")}), exact(4));
        number("huge exponent", "1e300", load);
        number("bool as integer", "true", load);
        number("null required", "null", load);
        row("one bad element fails the list", list({serverJson("1"), serverJson("2"), serverJson("3"), serverJson("4.5")}),
            u"servers[3].load"_s);
        row("element not an object", list({serverJson("1"), "7"}), u"servers[1]"_s);
        row("unknown keys at any depth",
            R"({"x":{"deep":[1,2]},"servers":[)" + serverJson("4", R"(,"extra":{"nested":{"load":"bad"}},"more":[null])") + "]}",
            exact(4));
        row("list missing", "{}", u"servers"_s);
        row("list of wrong type", R"({"servers":{}})", u"servers"_s);
        row("pingMs of wrong type", list({serverJson("1", R"(,"pingMs":"fast")")}), u"servers[0].pingMs"_s);
        row("name of wrong type", list({serverJson("1", R"(,"name":5)")}), u"servers[0].name"_s);
        // Too large for a fuzzing seed; the other hostile bodies are seeds of fuzz_records.
        QByteArray many = "{";
        for (int i = 0; i < 200000; ++i) many += "\"k" + QByteArray::number(i) + "\":" + QByteArray::number(i) + ",";
        row("200,000 unknown keys", many + R"("servers":[)" + serverJson("7") + "]}", exact(7));
    }
    void serverList() {
        QFETCH(QByteArray, json);
        QFETCH(QVariant, expect);
        const Result<ServersResponse> r = ServersResponse::fromJson(json);
        const bool ok = expect.typeId() != QMetaType::QString;
        QCOMPARE(r.ok(), ok);
        if (ok) {
            QCOMPARE(r->servers.last().load, expect.toLongLong());
        } else {
            QCOMPARE(r.error().kind, Error::Kind::Decode);
            QCOMPARE(r.error().detail, expect.toString());
            QVERIFY2(r.error().description().contains(expect.toString()), qPrintable(r.error().description()));
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
        const QByteArray head = R"({"servers":[{"id":"a","country":"c","countryCode":"TR","city":"x","load":1,"tier":"FREE")";
        const auto a = ServersResponse::fromJson(head + R"(,"pingMs":null,"name":null}]})");
        const auto b = ServersResponse::fromJson(head + "}]}");
        QVERIFY(a.ok() && b.ok());
        QVERIFY(!a->servers[0].pingMs && !a->servers[0].name);
        QCOMPARE(a->servers[0], b->servers[0]);
    }

    void serverEqualityAndHash_data() {
        QTest::addColumn<Server>("a");
        QTest::addColumn<Server>("b");
        QTest::addColumn<bool>("equal");
        const auto changed = [](const std::function<void(Server&)>& change) {
            Server s = base();
            change(s);
            return s;
        };
        QTest::newRow("identical") << base() << base() << true;
        QTest::newRow("pingMs absent vs 12") << base() << changed([](Server& s) { s.pingMs.reset(); }) << false;
        QTest::newRow("name absent vs empty") << changed([](Server& s) { s.name.reset(); })
                                              << changed([](Server& s) { s.name = QString(); }) << false;
        QTest::newRow("city") << base() << changed([](Server& s) { s.city = u"İzmir"_s; }) << false;
    }
    void serverEqualityAndHash() {
        QFETCH(Server, a);
        QFETCH(Server, b);
        QFETCH(bool, equal);
        QCOMPARE(a == b, equal);
        QCOMPARE(qHash(a) == qHash(b), equal);
        QCOMPARE(QSet<Server>({a, b}).size(), equal ? 1 : 2);
    }

    void connectResponse_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QVariant>("expect"); // whether a gateway came, or the key path that failed
        const QByteArray head = R"({"server":)" + serverJson("1");
        QTest::newRow("with gateway") << head + R"(,"exitIp":"203.0.113.9","gateway":{"host":"gw.example","remoteId":"gw","secret":"s3"}})"
                                      << QVariant(true);
        QTest::newRow("without gateway") << head + R"(,"exitIp":"203.0.113.9"})" << QVariant(false);
        QTest::newRow("gateway null") << head + R"(,"exitIp":"1.2.3.4","gateway":null})" << QVariant(false);
        QTest::newRow("gateway missing secret") << head + R"(,"exitIp":"1","gateway":{"host":"h","remoteId":"r"}})"
                                                << QVariant(u"gateway.secret"_s);
        QTest::newRow("gateway not an object") << head + R"(,"exitIp":"1","gateway":"h"})" << QVariant(u"gateway"_s);
        QTest::newRow("server field bad") << R"({"server":)" + serverJson("0.5") + R"(,"exitIp":"1"})" << QVariant(u"server.load"_s);
        QTest::newRow("exitIp missing") << head + "}" << QVariant(u"exitIp"_s);
    }
    void connectResponse() {
        QFETCH(QByteArray, json);
        QFETCH(QVariant, expect);
        const Result<ConnectResponse> r = ConnectResponse::fromJson(json);
        QCOMPARE(r.ok(), expect.typeId() == QMetaType::Bool);
        if (r.ok()) QCOMPARE(r->gateway.has_value(), expect.toBool());
        else QCOMPARE(r.error().detail, expect.toString());
    }

    void loginAndInbox() {
        const auto login = LoginResponse::fromJson(R"({"user":{"id":"u1","email":"a@b.c","plan":null,"x":1},"token":"t"})");
        QVERIFY(login.ok());
        QCOMPARE(login->user.email, u"a@b.c"_s);
        QVERIFY(!login->user.plan && !login->user.name);
        QCOMPARE(LoginResponse::fromJson(R"({"user":{"id":"u1"},"token":"t"})").error().detail, u"user.email"_s);
        // The text the user reads for a bad reply.
        QCOMPARE(LoginResponse::fromJson(R"({"user":{"id":"u1","email":"e"}})").error().message,
                 u"Sunucu yanıtı okunamadı: token — alan eksik"_s);

        const auto inbox = InboxResponse::fromJson(R"({"campaigns":[{"id":"c1","title":"T","body":"B","url":null,"createdAt":"2026-01-01"}]})");
        QVERIFY(inbox.ok());
        QVERIFY(!inbox->campaigns[0].url && !inbox->campaigns[0].cta);
        QCOMPARE(InboxResponse::fromJson(R"({"campaigns":[{"id":"c1","title":"T","body":"B"}]})").error().detail,
                 u"campaigns[0].createdAt"_s);

        QVERIFY(API::TrackResponse::fromJson(R"({"ok":false})").ok());
        QCOMPARE(API::TrackResponse::fromJson(R"({"ok":"yes"})").error().detail, u"ok"_s);
        QCOMPARE(API::TrackResponse::fromJson(R"({"ok":1})").error().detail, u"ok"_s);
    }

    // What the stand-in service sends is written by these records: absent stays absent.
    void roundTrip() {
        ConnectResponse r{base(), u"203.0.113.1"_s, Gateway{u"h"_s, u"r"_s, u"s"_s}};
        r.server.name.reset();
        QVERIFY(!r.toJson().value("server"_L1).toObject().contains("name"_L1));
        QCOMPARE(*ConnectResponse::fromJson(QJsonDocument(r.toJson()).toJson()), r);
        const Campaign c{u"c"_s, u"t"_s, u"b"_s, std::nullopt, u"Aç"_s, u"2026"_s};
        QVERIFY(!c.toJson().contains("url"_L1));
        QCOMPARE(InboxResponse::fromJson(QJsonDocument(InboxResponse{{c}}.toJson()).toJson())->campaigns.value(0), c);
    }

    void publicGeo_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("expect"); // empty: no value; else city and country code ("" = none)
        const QStringList none;
        QTest::newRow("full") << QByteArray(R"({"ip":"1.2.3.4","city":"Ankara","countryCode":"TR"})") << QStringList{u"Ankara"_s, u"TR"_s};
        QTest::newRow("null city no code") << QByteArray(R"({"ip":"1.2.3.4","city":null})") << QStringList{u""_s, u""_s};
        QTest::newRow("wrong types are no value") << QByteArray(R"({"ip":"1.2.3.4","city":5,"countryCode":[]})") << QStringList{u""_s, u""_s};
        QTest::newRow("empty ip") << QByteArray(R"({"ip":"","city":"Ankara"})") << none;
        QTest::newRow("ip not string") << QByteArray(R"({"ip":1234})") << none;
        QTest::newRow("no ip") << QByteArray(R"({"city":"Ankara"})") << none;
        QTest::newRow("array") << QByteArray(R"([{"ip":"1.2.3.4"}])") << none;
        QTest::newRow("html") << QByteArray("<html>503</html>") << none;
    }
    void publicGeo() {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, expect);
        const std::optional<PublicGeo> geo = PublicGeo::fromJson(json);
        QCOMPARE(geo.has_value(), !expect.isEmpty());
        if (!geo) return;
        QCOMPARE(geo->city.has_value(), !expect[0].isEmpty());
        QCOMPARE(geo->city.value_or(QString()), expect[0]);
        QCOMPARE(geo->countryCode.value_or(QString()), expect[1]);
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "records_test.moc"
