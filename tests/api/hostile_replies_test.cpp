// Replies a broken or hostile service could send: every reader must give a clean value or a
// clean error, never crash, hang or produce a partial record.
#include "api/records.h"
#include "api/request.h"
#include "update/updater.h"

#include <QTest>

namespace {

QByteArray nested(int depth) { return QByteArray(depth, '[') + QByteArray(depth, ']'); }

QByteArray nestedInServers(int depth) {
    return R"({"servers":[{"id":"a","country":"c","countryCode":"TR","city":"x","load":1,"tier":"F","x":)" +
           nested(depth) + "}]}";
}

} // namespace

class HostileRepliesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyReaderSurvives_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not json") << QByteArray("<!doctype html><h1>502 Bad Gateway</h1>");
        QTest::newRow("truncated") << QByteArray("{\"servers\":[{\"id\":\"a\",\"country\":\"T");
        QTest::newRow("10000 deep array") << nested(10000);
        QTest::newRow("10000 deep objects") << QByteArray(10000, '{');
        QTest::newRow("deep value inside a record") << nestedInServers(5000);
        QTest::newRow("raw NUL inside string") << QByteArray("{\"token\":\"a\0b\"}", 15);
        QTest::newRow("escaped NUL") << QByteArray(R"({"user":{"id":"\u0000","email":"\u0000"},"token":"\u0000"})");
        QTest::newRow("invalid utf-8") << QByteArray("{\"ip\":\"\xff\xfe\xc3\"}");
        QTest::newRow("lone surrogate") << QByteArray(R"({"ip":"\ud800","message":"\udfff"})");
        QTest::newRow("only a number") << QByteArray("12");
        QTest::newRow("only null") << QByteArray("null");
        QTest::newRow("duplicate keys") << QByteArray(R"({"ok":true,"ok":"x"})");
        QTest::newRow("trailing garbage") << QByteArray(R"({"ok":true} {"ok":false})");
        QTest::newRow("bom") << QByteArray("\xef\xbb\xbf{\"ok\":true}");
        QTest::newRow("huge number") << QByteArray(R"({"servers":[{"load":1e999999}]})");
        QTest::newRow("many keys") << [] {
            QByteArray b = "{";
            for (int i = 0; i < 200000; ++i) b += "\"k" + QByteArray::number(i) + "\":" + QByteArray::number(i) + ",";
            b += R"("ok":true})";
            return b;
        }();
        QTest::newRow("binary") << [] {
            QByteArray b;
            for (int i = 0; i < 4096; ++i) b += char((i * 7919) & 0xff);
            return b;
        }();
    }
    // The results vary; what matters is that each call returns, and a refusal is a clean Decode error.
    void everyReaderSurvives() {
        QFETCH(QByteArray, body);
        QVERIFY(!API::errorMessage(500, body).isNull());
        (void)API::TrackResponse::fromJson(body);
        (void)Updater::Manifest::fromJson(body);
        (void)PublicGeo::fromJson(body);
        const auto check = [](const auto& r) {
            if (r.ok()) return;
            QCOMPARE(r.error().kind, Error::Kind::Decode);
            QVERIFY(!r.error().description().isEmpty());
        };
        check(LoginResponse::fromJson(body));
        check(ServersResponse::fromJson(body));
        check(ConnectResponse::fromJson(body));
        check(InboxResponse::fromJson(body));
    }
};

QTEST_GUILESS_MAIN(HostileRepliesTest)
#include "hostile_replies_test.moc"
