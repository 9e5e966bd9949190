#include "vpn/strongswan/vici.h"

#include "support/await.h"
#include "support/fake_charon.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace std::chrono_literals;
using vici::ElementType;
using vici::PacketType;

Q_DECLARE_METATYPE(vici::Section)

namespace {

QByteArray el(ElementType t) { return QByteArray(1, char(t)); }
QByteArray name(const QByteArray& n) { return QByteArray(1, char(n.size())) + n; }
QByteArray value(const QByteArray& v) {
    const quint16 len = qToBigEndian<quint16>(quint16(v.size()));
    return QByteArray(reinterpret_cast<const char*>(&len), 2) + v;
}
QByteArray kv(const QByteArray& k, const QByteArray& v) { return el(ElementType::KeyValue) + name(k) + value(v); }
QByteArray frame(const QByteArray& body) {
    const quint32 len = qToBigEndian<quint32>(quint32(body.size()));
    return QByteArray(reinterpret_cast<const char*>(&len), 4) + body;
}
QByteArray response(const QByteArray& message) { return frame(QByteArray(1, char(PacketType::CmdResponse)) + message); }
QByteArray eventFrame(const QByteArray& n, const QByteArray& message) {
    return frame(QByteArray(1, char(PacketType::Event)) + name(n) + message);
}

// A handler that answers with raw bytes (a frame, garbage, or nothing), or hangs up.
FakeCharon::Handler raw(QByteArray reply) {
    return [reply](FakeCharon::Peer& peer, const vici::Section&) {
        if (reply == "hang up") peer.socket->disconnectFromServer();
        else peer.socket->write(reply);
        return std::optional<vici::Section>();
    };
}

} // namespace

class ViciCodecTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString socketPath() const { return m_dir.path() + QStringLiteral("/charon.vici"); }

private Q_SLOTS:
    // Bytes as charon writes them, both ways, in each kind of packet (only some carry a name).
    void wireBytesBothWays_data() {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<vici::Section>("expected");
        QTest::newRow("empty message") << QByteArray() << vici::Section();
        vici::Section flat;
        flat.set("success", QByteArrayLiteral("yes")).set("errmsg", QByteArray());
        QTest::newRow("key-values, empty value") << kv("success", "yes") + kv("errmsg", "") << flat;
        vici::Section binary;
        binary.set("b", QByteArray("\0\xff\n", 3));
        QTest::newRow("binary value") << kv("b", QByteArray("\0\xff\n", 3)) << binary;
        vici::Section list;
        list.setList("vips", {QByteArrayLiteral("0.0.0.0"), QByteArrayLiteral("::")}).setList("none", {});
        QTest::newRow("lists, one empty") << el(ElementType::ListStart) + name("vips") + el(ElementType::ListItem)
                + value("0.0.0.0") + el(ElementType::ListItem) + value("::") + el(ElementType::ListEnd)
                + el(ElementType::ListStart) + name("none") + el(ElementType::ListEnd) << list;
        vici::Section sections;
        sections.addSection("a").addSection("b").set("k", QByteArrayLiteral("v"));
        sections.set("after", QByteArrayLiteral("1"));
        sections.addSection("empty");
        QTest::newRow("nested sections, value after") << el(ElementType::SectionStart) + name("a") + el(ElementType::SectionStart)
                + name("b") + kv("k", "v") + el(ElementType::SectionEnd) + el(ElementType::SectionEnd) + kv("after", "1")
                + el(ElementType::SectionStart) + name("empty") + el(ElementType::SectionEnd) << sections;
    }
    void wireBytesBothWays() {
        QFETCH(QByteArray, wire);
        QFETCH(vici::Section, expected);
        for (auto [type, n] : {std::pair{PacketType::CmdRequest, QByteArray("list-sas")},
                               std::pair{PacketType::Event, QByteArray("ike-updown")},
                               std::pair{PacketType::CmdResponse, QByteArray()}}) {
            const QByteArray body = QByteArray(1, char(type)) + (n.isEmpty() ? QByteArray() : name(n)) + wire;
            auto decoded = vici::decodePacket(body);
            QVERIFY2(decoded.ok(), qPrintable(decoded.ok() ? QString() : decoded.error().detail));
            QCOMPARE(int(decoded->type), int(type));
            QCOMPARE(decoded->name, n);
            QCOMPARE(decoded->message, expected);
            const auto framed = vici::encodeFrame(vici::Packet{type, n, expected});
            QVERIFY(framed.ok());
            QCOMPARE(*framed, frame(body));
        }
    }

    // A bad message is read through the packet around it, as it comes off the socket.
    void refusesMalformedPackets_data() {
        QTest::addColumn<QByteArray>("body");
        const QByteArray reply(1, char(PacketType::CmdResponse));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("unknown type") << QByteArray("\x08", 1);
        QTest::newRow("name cut") << QByteArray(1, char(PacketType::Event)) + QByteArray("\x09" "ike", 4);
        QTest::newRow("unknown element") << reply + QByteArray("\x09", 1);
        QTest::newRow("section end at top") << reply + el(ElementType::SectionEnd);
        QTest::newRow("unclosed section") << reply + el(ElementType::SectionStart) + name("a") + kv("k", "v");
        QTest::newRow("unclosed list") << reply + el(ElementType::ListStart) + name("l") + el(ElementType::ListItem) + value("x");
        QTest::newRow("item outside list") << reply + el(ElementType::ListItem) + value("x");
        QTest::newRow("key-value inside list")
            << reply + el(ElementType::ListStart) + name("l") + kv("k", "v") + el(ElementType::ListEnd);
        QTest::newRow("key name cut") << reply + el(ElementType::KeyValue) + QByteArray("\x05" "ab");
        QTest::newRow("value cut") << reply + el(ElementType::KeyValue) + name("k") + QByteArray("\x00\x09" "abc", 5);
        QByteArray deep = reply;
        for (int i = 0; i < 40; ++i) deep += el(ElementType::SectionStart) + name("s");
        for (int i = 0; i < 40; ++i) deep += el(ElementType::SectionEnd);
        QTest::newRow("too deep") << deep;
    }
    void refusesMalformedPackets() {
        QFETCH(QByteArray, body);
        auto decoded = vici::decodePacket(body);
        QVERIFY(!decoded.ok());
        QCOMPARE(decoded.error().kind, vici::Failure::Kind::Malformed);
        QVERIFY(decoded.error().detail.contains(QLatin1String("at offset")));
    }

    void refusesWhatCannotBeEncoded_data() {
        QTest::addColumn<vici::Section>("message");
        vici::Section longKey;
        longKey.set(QByteArray(256, 'k'), QByteArrayLiteral("v"));
        QTest::newRow("key over 255") << longKey;
        vici::Section longValue;
        longValue.set("k", QByteArray(0x10000, 'v'));
        QTest::newRow("value over 65535") << longValue;
        vici::Section longItem;
        longItem.setList("l", {QByteArray(0x10000, 'v')});
        QTest::newRow("list item over 65535") << longItem;
        vici::Section huge;
        for (int i = 0; i < 10; ++i) huge.set("k" + QByteArray::number(i), QByteArray(60'000, 'v'));
        QTest::newRow("frame over the limit") << huge;
    }
    void refusesWhatCannotBeEncoded() {
        QFETCH(vici::Section, message);
        auto framed = vici::encodeFrame(vici::Packet{PacketType::CmdRequest, "load-conn", message});
        QVERIFY(!framed.ok());
        QCOMPARE(framed.error().kind, vici::Failure::Kind::Unsendable);
    }

    void framesAreCutFromAStreamByteByByte() {
        const QByteArray stream = response(kv("a", "1")) + eventFrame("log", kv("msg", "x")) + response(QByteArray());
        vici::FrameReader reader;
        QList<QByteArray> bodies;
        for (char c : stream) {
            reader.append(QByteArrayView(&c, 1));
            auto next = reader.next();
            QVERIFY(next.ok());
            if (*next) bodies.append(**next);
        }
        QCOMPARE(bodies.size(), 3);
        QCOMPARE(vici::decodePacket(bodies[1])->name, QByteArray("log"));
        QCOMPARE(reader.buffered(), 0);
    }

    // The connection against a peer on a socket.

    // Each answer, and the events streamed before it, go to the request they belong to.
    void requestsQueueInOrder() {
        FakeCharon charon(socketPath());
        charon.handle("one", raw(eventFrame("list-sa", kv("state", "ESTABLISHED")) + response(kv("n", "1"))));
        charon.handle("two", raw(response(kv("n", "2"))));
        vici::Connection c;
        QVERIFY(awaitTask(c.open(socketPath(), 2s), 5'000).ok());
        std::optional<vici::Outcome<vici::Reply>> first, second;
        // Captures would die with the closure; coroutine parameters live in the frame.
        auto ask = [](vici::Connection* c, QByteArray command, vici::Section args,
                      std::optional<vici::Outcome<vici::Reply>>* out) -> QCoro::Task<> {
            *out = co_await c->request(command, args, 5s);
        };
        vici::Section args;
        args.set("ike", QByteArrayLiteral("kestrava"));
        auto a = ask(&c, "one", args, &first);
        auto b = ask(&c, "two", {}, &second);
        QTRY_VERIFY_WITH_TIMEOUT(first && second, 2'000);
        QCOMPARE((*first)->response.value("n"), QByteArray("1"));
        QCOMPARE((*second)->response.value("n"), QByteArray("2"));
        QCOMPARE((*first)->streamed.size(), size_t(1));
        QCOMPARE((*first)->streamed[0].second.value("state"), QByteArray("ESTABLISHED"));
        QVERIFY((*second)->streamed.empty());
        QCOMPARE(charon.commandNames(), (QList<QByteArray>{"one", "two"}));
        QCOMPARE(charon.requests[0].message, args);
    }

    void peerFaultsEndTheRequestWithAnError_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("kind");
        using K = vici::Failure::Kind;
        QTest::newRow("silent peer") << QByteArray() << int(K::TimedOut);
        QTest::newRow("peer hangs up") << QByteArray("hang up") << int(K::Unreachable);
        QTest::newRow("garbage frame") << frame(QByteArray("\x01\x09", 2)) << int(K::Malformed);
        QTest::newRow("oversized frame") << QByteArray("\x7f\xff\xff\xff", 4) << int(K::Malformed);
        QTest::newRow("empty frame") << QByteArray(4, '\0') << int(K::Malformed);
        QTest::newRow("wrong reply type") << frame(QByteArray(1, char(PacketType::EventConfirm))) << int(K::Malformed);
        QTest::newRow("unknown command") << frame(QByteArray(1, char(PacketType::CmdUnknown))) << int(K::UnknownCommand);
    }
    void peerFaultsEndTheRequestWithAnError() {
        QFETCH(QByteArray, reply);
        QFETCH(int, kind);
        FakeCharon charon(socketPath());
        charon.handle("version", raw(reply));
        vici::Connection c;
        QVERIFY(awaitTask(c.open(socketPath(), 2s), 5'000).ok());
        QSignalSpy lost(&c, &vici::Connection::lost);
        auto r = awaitTask(c.request("version", {}, 300ms), 10'000);
        QVERIFY(!r.ok());
        QCOMPARE(int(r.error().kind), kind);
        // Anything but a refusal leaves the stream out of step: the connection closes.
        if (kind != int(vici::Failure::Kind::UnknownCommand)) {
            QVERIFY(!c.isOpen());
            QCOMPARE(lost.size(), 1);
        }
    }

    void subscribeTellsUnknownEventsApart() {
        FakeCharon charon(socketPath());
        charon.unknownEvents = {"no-such-event"};
        vici::Connection c;
        QVERIFY(awaitTask(c.open(socketPath(), 2s), 5'000).ok());
        QVERIFY(awaitTask(c.subscribe("ike-updown", 2s), 5'000).ok());
        auto unknown = awaitTask(c.subscribe("no-such-event", 2s), 5'000);
        QVERIFY(!unknown.ok());
        QCOMPARE(unknown.error().kind, vici::Failure::Kind::UnknownEvent);
        QSignalSpy events(&c, &vici::Connection::eventReceived);
        charon.broadcast("ike-updown", vici::Section().set("up", QByteArrayLiteral("yes")));
        QVERIFY(events.wait(2'000));
        QCOMPARE(events.at(0).at(0).toByteArray(), QByteArray("ike-updown"));
    }
};

QTEST_GUILESS_MAIN(ViciCodecTest)
#include "vici_codec_test.moc"
