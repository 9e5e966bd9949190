// The NetworkManager backend's tables and its profile <-> settings mapping, without a bus.
#include "vpn/networkmanager/nm_failures.h"
#include "vpn/networkmanager/nm_settings.h"
#include "vpn/networkmanager/nm_status.h"

#include "support/status_table.h"

#include <QDBusMessage>
#include <QTest>

using networkmanager::TunnelEvent;

Q_DECLARE_METATYPE(IkeV2Protocol)

namespace {

const QByteArray reference = QByteArrayLiteral("/org/freedesktop/secrets/collection/login/7");

VpnProfile goodProfile() {
    IkeV2Protocol p;
    p.serverAddress = QStringLiteral("tr1.vpn.example.net");
    p.remoteIdentifier = QStringLiteral("tr1.vpn.example.net");
    p.localIdentifier = QStringLiteral("kestrava-macos");
    p.sharedSecretReference = reference;
    VpnProfile profile;
    profile.protocolConfiguration = p;
    profile.localizedDescription = QStringLiteral("Kestrava");
    profile.isEnabled = true;
    return profile;
}

NMStringMap section(const NMSettings& s, const char* setting, const char* key) {
    return networkmanager::stringMap(s.value(QLatin1String(setting)).value(QLatin1String(key)));
}

} // namespace

class NetworkManagerMappingTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The table in the header's comment is the one the code follows, cell by cell, for every event.
    void statusTableCommentHolds() {
        using E = TunnelEvent;
        const QMap<QString, E> events{
            {QStringLiteral("StartRequested"), E::StartRequested}, {QStringLiteral("ActivateFailed"), E::ActivateFailed},
            {QStringLiteral("Preparing"), E::Preparing},           {QStringLiteral("Activated"), E::Activated},
            {QStringLiteral("Ended"), E::Ended},                   {QStringLiteral("Deactivating"), E::Deactivating},
            {QStringLiteral("StopRequested"), E::StopRequested},   {QStringLiteral("ServiceLost"), E::ServiceLost},
        };
        const QString mismatch = statusTableMismatch(QStringLiteral(KESTRAVA_WING_DIR "/nm_status.h"), events,
                                                     [](VpnStatus from, E e) { return networkmanager::nextStatus(from, e); });
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void reasons_data() {
        QTest::addColumn<uint>("reason");
        QTest::addColumn<int>("pluginFailure"); // -1: none
        QTest::addColumn<QString>("token");     // empty: no error at all
        QTest::newRow("user disconnected") << 2u << -1 << QString();
        QTest::newRow("none") << 1u << -1 << QString();
        QTest::newRow("unknown") << 0u << -1 << QStringLiteral("UNKNOWN");
        QTest::newRow("future reason") << 99u << -1 << QStringLiteral("REASON_99");
        // NetworkManager reports a wrong key as "unknown"; the plugin's own failure says more.
        QTest::newRow("plugin login failure") << 0u << 0 << QStringLiteral("LOGIN_FAILED");
        QTest::newRow("plugin connect failure") << 0u << 1 << QStringLiteral("CONNECT_FAILED");
        QTest::newRow("plugin bad address") << 5u << 2 << QStringLiteral("BAD_IP_CONFIG");
        QTest::newRow("unknown plugin code") << 6u << 77 << QStringLiteral("CONNECT_TIMEOUT");
    }
    void reasons() {
        QFETCH(uint, reason);
        QFETCH(int, pluginFailure);
        QFETCH(QString, token);
        const auto e = networkmanager::describeReason(
            reason, pluginFailure < 0 ? std::nullopt : std::optional<uint>(uint(pluginFailure)));
        if (token.isEmpty()) {
            QVERIFY(!e.has_value());
            return;
        }
        QVERIFY(e.has_value());
        QCOMPARE(e->detail, token);
        QCOMPARE(e->kind, Error::Kind::Rejected);
        QVERIFY(!e->message.isEmpty());
    }

    // What the user reads when a bus call fails: a daemon that is not there, one that is too slow, and
    // polkit saying no are three different things.
    void busErrors_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("neverSays");
        const QString running = QStringLiteral("çalışıyor mu");
        QTest::newRow("not on the bus") << QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")
                                        << int(Error::Kind::Transport) << running << QString();
        QTest::newRow("no answer in time") << QStringLiteral("org.freedesktop.DBus.Error.NoReply")
                                           << int(Error::Kind::Transport) << QStringLiteral("zamanında gelmedi") << running;
        QTest::newRow("polkit refused") << QStringLiteral("org.freedesktop.NetworkManager.Settings.PermissionDenied")
                                        << int(Error::Kind::Rejected) << QStringLiteral("izin verilmedi") << running;
        QTest::newRow("refused to activate") << QStringLiteral("org.freedesktop.NetworkManager.PermissionDenied")
                                             << int(Error::Kind::Rejected) << QStringLiteral("izin verilmedi") << running;
        QTest::newRow("anything else") << QStringLiteral("org.freedesktop.NetworkManager.Settings.InvalidSetting")
                                       << int(Error::Kind::Rejected) << QStringLiteral("the daemon's words") << running;
    }
    void busErrors() {
        QFETCH(QString, name);
        QFETCH(int, kind);
        QFETCH(QString, says);
        QFETCH(QString, neverSays);
        const QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("a.b"), QStringLiteral("/"), QString(),
                                                                 QStringLiteral("M"));
        const Error e = networkmanager::busError(call.createErrorReply(name, QStringLiteral("the daemon's words")),
                                                 QStringLiteral("profili kaydetmedi"), true);
        QCOMPARE(int(e.kind), kind);
        QCOMPARE(e.detail, name);
        QVERIFY2(e.message.contains(says), qPrintable(e.message));
        if (!neverSays.isEmpty()) QVERIFY2(!e.message.contains(neverSays), qPrintable(e.message));
    }

    // Read back as written; the key stays with our agent (NetworkManager must ask for it); the user's
    // own connection, or the machine's when the user has no name to give.
    void roundTrip_data() {
        QTest::addColumn<IkeV2Protocol>("protocol");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("owner");
        IkeV2Protocol p = *goodProfile().protocolConfiguration;
        QTest::newRow("as installed") << p << true << QStringLiteral("ayse");
        QTest::newRow("disabled, owner unknown to the system") << p << false << QString();
        IkeV2Protocol aead = p;
        aead.ikeSecurityAssociationParameters = IkeSaParameters{6, 3, 19};
        aead.childSecurityAssociationParameters = IkeSaParameters{6, 3, 31};
        QTest::newRow("aead and curves") << aead << true << QStringLiteral("ayse");
        IkeV2Protocol noLocal = p;
        noLocal.localIdentifier.reset();
        noLocal.disconnectOnSleep = true;
        noLocal.deadPeerDetectionRate = 3;
        QTest::newRow("no local identity, other flags") << noLocal << true << QStringLiteral("ayse");
    }
    void roundTrip() {
        QFETCH(IkeV2Protocol, protocol);
        QFETCH(bool, enabled);
        QFETCH(QString, owner);
        VpnProfile profile = goodProfile();
        profile.protocolConfiguration = protocol;
        profile.isEnabled = enabled;
        const auto s = networkmanager::settingsFor(profile, QStringLiteral("uuid-2"), owner);
        QVERIFY(s.ok());
        QVERIFY(networkmanager::isOurs(s.value()));
        QCOMPARE(networkmanager::uuidOf(s.value()), QStringLiteral("uuid-2"));
        QCOMPARE(networkmanager::profileFrom(s.value()), std::optional(profile));

        QVERIFY(!s.value().value(QStringLiteral("vpn")).contains(QStringLiteral("secrets")));
        const NMStringMap data = section(s.value(), "vpn", "data");
        QCOMPARE(data.value(QStringLiteral("password-flags")), QStringLiteral("1")); // agent-owned
        QVERIFY(!data.contains(QStringLiteral("password")));
        const QVariantMap connection = s.value().value(QStringLiteral("connection"));
        QCOMPARE(connection.value(QStringLiteral("autoconnect")).toBool(), false);
        // NetworkManager's user data keys must contain a dot.
        for (const QString& k : section(s.value(), "user", "data").keys()) QVERIFY2(k.contains(u'.'), qPrintable(k));
        QCOMPARE(connection.contains(QStringLiteral("permissions")), !owner.isEmpty());
        QCOMPARE(connection.value(QStringLiteral("permissions")).toStringList(),
                 owner.isEmpty() ? QStringList() : QStringList{QStringLiteral("user:%1:").arg(owner)});
    }

    // Each rule is ike_profile_test's; here only that the settings are refused by them.
    void unusableProfileIsRefused() {
        VpnProfile profile = goodProfile();
        profile.protocolConfiguration->remoteIdentifier = QStringLiteral("gw\nleftsubnet=0.0.0.0/0");
        const auto s = networkmanager::settingsFor(profile, QStringLiteral("uuid-3"));
        QVERIFY(!s.ok());
        QVERIFY(s.error().message.startsWith(QStringLiteral("VPN profili kullanılamıyor")));
    }

    // Ours by marker or by name, only as a VPN of the strongSwan plugin. A profile someone made by hand
    // under our name is readable, but not one the program enabled, and is written anew before use.
    void whoseSettings_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("serviceType");
        QTest::addColumn<bool>("marker");
        QTest::addColumn<bool>("ours");
        const QString sw = QStringLiteral("org.freedesktop.NetworkManager.strongswan");
        QTest::newRow("ours by marker") << QStringLiteral("Renamed") << QStringLiteral("vpn") << sw << true << true;
        QTest::newRow("ours by name, made by hand") << QStringLiteral("Kestrava") << QStringLiteral("vpn") << sw << false << true;
        QTest::newRow("other vpn") << QStringLiteral("Office") << QStringLiteral("vpn") << sw << false << false;
        QTest::newRow("same name, other plugin")
            << QStringLiteral("Kestrava") << QStringLiteral("vpn") << QStringLiteral("org.freedesktop.NetworkManager.openvpn")
            << true << false;
        QTest::newRow("same name, ethernet") << QStringLiteral("Kestrava") << QStringLiteral("802-3-ethernet") << QString()
                                             << false << false;
    }
    void whoseSettings() {
        QFETCH(QString, id);
        QFETCH(QString, type);
        QFETCH(QString, serviceType);
        QFETCH(bool, marker);
        QFETCH(bool, ours);
        NMStringMap data{{QStringLiteral("address"), QStringLiteral("198.51.100.9")},
                         {QStringLiteral("method"), QStringLiteral("key")},
                         {QStringLiteral("ike"), QStringLiteral("something-odd")}};
        NMSettings s;
        s.insert(QStringLiteral("connection"), QVariantMap{{QStringLiteral("id"), id}, {QStringLiteral("type"), type}});
        s.insert(QStringLiteral("vpn"), QVariantMap{{QStringLiteral("service-type"), serviceType}});
        if (!marker) s[QStringLiteral("vpn")].insert(QStringLiteral("data"), QVariant::fromValue(data));
        if (marker) {
            NMStringMap user{{QStringLiteral("app.kestrava.profile"), QStringLiteral("1")}};
            s.insert(QStringLiteral("user"), QVariantMap{{QStringLiteral("data"), QVariant::fromValue(user)}});
        }
        QCOMPARE(networkmanager::isOurs(s), ours);
        const auto p = networkmanager::profileFrom(s);
        QCOMPARE(p.has_value(), ours);
        if (!p || marker) return;
        QVERIFY(!p->isEnabled);
        QCOMPARE(p->protocolConfiguration->serverAddress, QStringLiteral("198.51.100.9"));
        QCOMPARE(p->protocolConfiguration->authenticationMethod, 0);
        QVERIFY(!p->protocolConfiguration->sharedSecretReference.has_value());
        QCOMPARE(p->protocolConfiguration->ikeSecurityAssociationParameters, (IkeSaParameters{0, 0, 0}));
        QCOMPARE(networkmanager::revisionOf(s), 0);
    }
};

QTEST_GUILESS_MAIN(NetworkManagerMappingTest)

#include "networkmanager_mapping_test.moc"
