#include "vpn/strongswan/charon_failures.h"
#include "vpn/strongswan/charon_status.h"
#include "vpn/strongswan/profile_file.h"
#include "vpn/strongswan/strongswan_facility.h"
#include "vpn/strongswan/updown_hook.h"

#include "support/status_table.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using strongswan::TunnelEvent;
using S = VpnStatus;

Q_DECLARE_METATYPE(vici::Section)
Q_DECLARE_METATYPE(VpnStatus)
Q_DECLARE_METATYPE(std::optional<TunnelEvent>)
Q_DECLARE_METATYPE(std::vector<vici::Section>)

namespace {

// An IKE_SA as charon describes it in events and in list-sa: its CHILD_SAs under child-sas.
vici::Section sa(const QByteArray& ikeState, QList<QByteArray> childStates = {}, const QByteArray& ikeName = "kestrava",
                 bool up = false, const QByteArray& childName = "kestrava") {
    vici::Section m;
    if (up) m.set("up", QByteArrayLiteral("yes"));
    vici::Section& ike = m.addSection(ikeName);
    ike.set("uniqueid", QByteArrayLiteral("3")).set("state", ikeState);
    if (childStates.isEmpty()) return m;
    vici::Section& children = ike.addSection("child-sas");
    int n = 1;
    for (const QByteArray& state : childStates)
        children.addSection(childName + '-' + QByteArray::number(n++)).set("name", childName).set("state", state);
    return m;
}
vici::Section ikeEvent(bool up, QList<QByteArray> childStates = {}, const QByteArray& ikeName = "kestrava",
                    const QByteArray& childName = "kestrava") {
    return sa("ESTABLISHED", childStates, ikeName, up, childName);
}

} // namespace

class StrongSwanMappingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The table in the header's comment is the one the code follows, cell by cell, for every event.
    void statusTableCommentHolds() {
        using E = TunnelEvent;
        const QMap<QString, E> events{
            {QStringLiteral("StartRequested"), E::StartRequested}, {QStringLiteral("InitiateFailed"), E::InitiateFailed},
            {QStringLiteral("IkeUp"), E::IkeUp},                   {QStringLiteral("IkeDown"), E::IkeDown},
            {QStringLiteral("ChildUp"), E::ChildUp},               {QStringLiteral("ChildDown"), E::ChildDown},
            {QStringLiteral("Rekeyed"), E::Rekeyed},               {QStringLiteral("StopRequested"), E::StopRequested},
            {QStringLiteral("TerminateDone"), E::TerminateDone},   {QStringLiteral("ServiceLost"), E::ServiceLost},
        };
        const QString mismatch = statusTableMismatch(QStringLiteral(KESTRAVA_WING_DIR "/charon_status.h"), events,
                                                     [](VpnStatus from, E e) { return strongswan::nextStatus(from, e); });
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        // Our own stop: the terminate's answer comes once the SA, its address and route are gone.
        QCOMPARE(strongswan::nextStatus(S::disconnecting, E::IkeDown), S::disconnecting);
        QCOMPARE(strongswan::nextStatus(S::disconnecting, E::ServiceLost), S::disconnected);
    }

    // What charon runs at its start is the hook the program hands it, the packaged one.
    void charonStartsThePackagedHook() {
        QFile conf(QStringLiteral(KESTRAVA_WING_DIR "/kestrava-charon.conf"));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        const QByteArray line = QByteArray("kestrava = ") + strongswan::packagedUpdownHook + " charon-start\n";
        QVERIFY2(conf.readAll().contains(line), line.constData());
        QCOMPARE(StrongSwanFacility::defaultUpdownScript(), QString::fromLatin1(strongswan::packagedUpdownHook));
    }

    void classifiesEvents_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<vici::Section>("message");
        QTest::addColumn<std::optional<TunnelEvent>>("expected");
        using E = TunnelEvent;
        const QList<QByteArray> installed{"INSTALLED"};
        QTest::newRow("ike up") << QByteArray("ike-updown") << ikeEvent(true) << std::optional(E::IkeUp);
        QTest::newRow("ike down") << QByteArray("ike-updown") << ikeEvent(false) << std::optional(E::IkeDown);
        QTest::newRow("ike of another connection") << QByteArray("ike-updown") << ikeEvent(true, {}, "office") << std::optional<E>();
        QTest::newRow("child up") << QByteArray("child-updown") << ikeEvent(true, installed) << std::optional(E::ChildUp);
        QTest::newRow("child down") << QByteArray("child-updown") << ikeEvent(false, installed) << std::optional(E::ChildDown);
        QTest::newRow("another child of our IKE_SA") << QByteArray("child-updown") << ikeEvent(true, installed, "kestrava", "extra")
                                                     << std::optional<E>();
        QTest::newRow("ike rekey") << QByteArray("ike-rekey") << ikeEvent(false) << std::optional(E::Rekeyed);
        vici::Section rekey;
        vici::Section& child = rekey.addSection("kestrava").addSection("child-sas").addSection("kestrava");
        child.addSection("old").set("name", QByteArrayLiteral("kestrava"));
        child.addSection("new").set("name", QByteArrayLiteral("kestrava"));
        QTest::newRow("child rekey") << QByteArray("child-rekey") << rekey << std::optional(E::Rekeyed);
        QTest::newRow("unrelated event") << QByteArray("list-sa") << ikeEvent(true) << std::optional<E>();
    }
    void classifiesEvents() {
        QFETCH(QByteArray, name);
        QFETCH(vici::Section, message);
        QFETCH(std::optional<TunnelEvent>, expected);
        QCOMPARE(strongswan::classifyEvent(name, message), expected);
    }

    void statusFromListedSas_data() {
        QTest::addColumn<std::vector<vici::Section>>("sas");
        QTest::addColumn<VpnStatus>("expected");
        QTest::newRow("none") << std::vector<vici::Section>{} << S::disconnected;
        QTest::newRow("installed") << std::vector{sa("ESTABLISHED", {"INSTALLED"})} << S::connected;
        QTest::newRow("after child rekey: old deleted, new installed")
            << std::vector{sa("ESTABLISHED", {"DELETED", "INSTALLED"})} << S::connected;
        QTest::newRow("IKE_SA without CHILD_SA carries nothing") << std::vector{sa("ESTABLISHED")} << S::disconnected;
        QTest::newRow("deleting") << std::vector{sa("DELETING", {"INSTALLED"})} << S::disconnecting;
        QTest::newRow("another connection") << std::vector{sa("ESTABLISHED", {"INSTALLED"}, "office")} << S::disconnected;
        QTest::newRow("old deleting, new up") << std::vector{sa("DELETING"), sa("ESTABLISHED", {"INSTALLED"})}
                                              << S::connected;
    }
    void statusFromListedSas() {
        QFETCH(std::vector<vici::Section>, sas);
        QFETCH(VpnStatus, expected);
        QCOMPARE(strongswan::statusFromSas(sas), expected);
    }

    // A wrong key (tunnel test), a gateway gone or deleting (facility test) are read there, end to end.
    void describesFailures_data() {
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("errmsg");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("notify");
        const QString childFailed = QStringLiteral("establishing CHILD_SA 'kestrava' failed");
        QTest::newRow("proposals refused") << QStringList{QStringLiteral("received NO_PROPOSAL_CHOSEN notify error")}
                                           << childFailed << QStringLiteral("NO_PROPOSAL_CHOSEN") << 14;
        QTest::newRow("our limit ran out") << QStringList{}
                                           << QStringLiteral("CHILD_SA 'kestrava' not established after 2000ms")
                                           << QStringLiteral("PEER_NOT_RESPONDING") << 0;
        QTest::newRow("auth failure wins over the delete that follows")
            << QStringList{QStringLiteral("received AUTHENTICATION_FAILED notify error"),
                           QStringLiteral("received DELETE for IKE_SA kestrava[1]")}
            << QString() << QStringLiteral("AUTHENTICATION_FAILED") << 24;
        QTest::newRow("unknown cause keeps charon's text") << QStringList{QStringLiteral("something new")} << childFailed
                                                           << QStringLiteral("CONNECTION_FAILED") << 0;
    }
    void describesFailures() {
        QFETCH(QStringList, log);
        QFETCH(QString, errmsg);
        QFETCH(QString, token);
        QFETCH(int, notify);
        const Error e = strongswan::describeFailure(log, errmsg, QStringLiteral("Bağlantı kurulamadı."));
        QCOMPARE(e.kind, Error::Kind::Rejected);
        QCOMPARE(e.detail, token);
        QCOMPARE(e.code, notify);
        QVERIFY(!e.message.isEmpty());
        if (token == QLatin1String("CONNECTION_FAILED")) QVERIFY(e.message.contains(errmsg));
    }

    void refusesDamagedProfileFiles_data() {
        QTest::addColumn<QByteArray>("data");
        const QJsonObject good = QJsonDocument::fromJson([] {
                                     VpnProfile p;
                                     p.protocolConfiguration = IkeV2Protocol{};
                                     p.protocolConfiguration->serverAddress = QStringLiteral("vpn.example.net");
                                     p.protocolConfiguration->sharedSecretReference = QByteArrayLiteral("/7");
                                     return strongswan::encodeProfile(p);
                                 }()).object();
        auto changed = [&](const QString& key, const QJsonValue& v) {
            QJsonObject o = good;
            o.insert(key, v);
            return QJsonDocument(o).toJson();
        };
        auto protocolChanged = [&](const QString& key, const QJsonValue& v) {
            QJsonObject o = good;
            QJsonObject p = o.value(QStringLiteral("protocol")).toObject();
            p.insert(key, v);
            o.insert(QStringLiteral("protocol"), p);
            return QJsonDocument(o).toJson();
        };
        QTest::newRow("not JSON") << QByteArray("{\"format\": 1,");
        QTest::newRow("other format") << changed(QStringLiteral("format"), 2);
        QTest::newRow("enabled as text") << changed(QStringLiteral("isEnabled"), QStringLiteral("yes"));
        QTest::newRow("server as number") << protocolChanged(QStringLiteral("serverAddress"), 5);
        QTest::newRow("reference not base64") << protocolChanged(QStringLiteral("sharedSecretReference"), QStringLiteral("@@"));
    }
    void refusesDamagedProfileFiles() {
        QFETCH(QByteArray, data);
        auto decoded = strongswan::decodeProfile(data);
        QVERIFY(!decoded.ok());
        QCOMPARE(decoded.error().kind, Error::Kind::Decode);
    }
};

QTEST_GUILESS_MAIN(StrongSwanMappingTest)
#include "strongswan_mapping_test.moc"
