// The IKEv2 profile rules both backends share: which profiles can be used, and the proposal texts
// both ways.
#include "vpn/ike_profile.h"

#include <QTest>

Q_DECLARE_METATYPE(IkeV2Protocol)
Q_DECLARE_METATYPE(IkeSaParameters)

namespace {

IkeV2Protocol goodProtocol() {
    IkeV2Protocol p;
    p.serverAddress = QStringLiteral("vpn.example.net");
    p.remoteIdentifier = QStringLiteral("vpn.example.net");
    p.localIdentifier = QStringLiteral("user@example.net");
    p.sharedSecretReference = QByteArrayLiteral("/org/freedesktop/secrets/collection/login/7");
    return p;
}

bool isAead(int encryption) { return encryption >= 5 && encryption <= 7; }

} // namespace

class IkeProfileTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // How parameters are spelled (read back by the next case), and texts that read as nothing.
    void proposalTexts_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("forIke");
        QTest::addColumn<IkeSaParameters>("parameters"); // {0, 0, 0}: none
        const auto both = [](const char* name, IkeSaParameters p, const char* ike, const char* esp) {
            QTest::addRow("%s, IKE", name) << QByteArray(ike) << true << p;
            QTest::addRow("%s, ESP", name) << QByteArray(esp) << false << p;
        };
        both("defaults", {4, 3, 14}, "aes256-sha256-modp2048", "aes256-sha256-modp2048");
        both("aes128 sha384 ecp256", {3, 4, 19}, "aes128-sha384-ecp256", "aes128-sha384-ecp256");
        both("gcm: a PRF for IKE only", {6, 3, 31}, "aes256gcm16-prfsha256-curve25519", "aes256gcm16-curve25519");
        both("gcm with SHA-1 160: prfsha1", {5, 2, 20}, "aes128gcm16-prfsha1-ecp384", "aes128gcm16-ecp384");
        const auto strange = [](const char* name, const char* text, bool forIke) {
            QTest::newRow(name) << QByteArray(text) << forIke << IkeSaParameters{0, 0, 0};
        };
        strange("empty", "", true);
        strange("cipher alone", "aes256", true);
        strange("no group", "aes256-sha256", false);
        strange("one part too many", "aes256-sha256-modp2048-x", true);
        strange("gcm ESP naming integrity", "aes256gcm16-sha256-modp2048", false);
        strange("gcm IKE without PRF", "aes256gcm16-modp2048", true);
        strange("PRF that is never written", "aes256gcm16-prfsha1_160-modp2048", true);
        strange("PRF on a plain cipher", "aes256-prfsha256-modp2048", true);
        strange("upper case", "AES256-sha256-modp2048", true);
        strange("DES", "des-sha1-modp1024", true);
        strange("unknown group", "aes256-sha256-x25519", false);
    }
    void proposalTexts() {
        QFETCH(QByteArray, text);
        QFETCH(bool, forIke);
        QFETCH(IkeSaParameters, parameters);
        if (parameters == IkeSaParameters{0, 0, 0}) QVERIFY(!IkeProfile::parameters(text, forIke).has_value());
        else QCOMPARE(IkeProfile::proposal(parameters, forIke).value(), text);
    }

    // Every combination either has no proposal or reads back to parameters that spell the same text;
    // only what an AEAD proposal cannot say is lost.
    void everyProposalReadsBack() {
        int spelled = 0;
        for (int e = 0; e <= 8; ++e)
            for (int i = 0; i <= 6; ++i)
                for (int g = 0; g <= 33; ++g)
                    for (bool forIke : {true, false}) {
                        const IkeSaParameters p{e, i, g};
                        const auto text = IkeProfile::proposal(p, forIke);
                        if (!text) continue;
                        ++spelled;
                        const auto back = IkeProfile::parameters(text.value(), forIke);
                        QVERIFY2(back, text->constData());
                        QCOMPARE(IkeProfile::proposal(*back, forIke).value(), text.value());
                        IkeSaParameters expected = p;
                        if (isAead(e) && !forIke) expected.integrityAlgorithm = 3;
                        if (isAead(e) && forIke && i == 2) expected.integrityAlgorithm = 1;
                        QCOMPARE(*back, expected);
                    }
        QCOMPARE(spelled, 6 * 5 * 13 * 2);
        // Blanks around a proposal, as a hand-edited file has them, are not part of it.
        QCOMPARE(IkeProfile::parameters(" aes256-sha256-modp2048\n", false), std::optional(IkeSaParameters{4, 3, 14}));
    }

    void unusableProfilesSayWhy_data() {
        QTest::addColumn<IkeV2Protocol>("protocol");
        QTest::addColumn<QString>("why");
        auto with = [](auto change) {
            IkeV2Protocol p = goodProtocol();
            change(p);
            return p;
        };
        QTest::newRow("no server") << with([](IkeV2Protocol& p) { p.serverAddress.reset(); }) << u"sunucu adresi boş"_qs;
        QTest::newRow("blank server") << with([](IkeV2Protocol& p) { p.serverAddress = u"  "_qs; }) << u"sunucu adresi boş"_qs;
        QTest::newRow("server with a list in it") << with([](IkeV2Protocol& p) { p.serverAddress = u"a,b"_qs; })
                                                  << u"sunucu adresi geçersiz: a,b"_qs;
        QTest::newRow("server with shell text") << with([](IkeV2Protocol& p) { p.serverAddress = u"h; rm -rf /"_qs; })
                                                << u"sunucu adresi geçersiz: h; rm -rf /"_qs;
        QTest::newRow("no remote id") << with([](IkeV2Protocol& p) { p.remoteIdentifier.reset(); })
                                      << u"sunucu kimliği boş"_qs;
        QTest::newRow("identity with a newline")
            << with([](IkeV2Protocol& p) { p.remoteIdentifier = u"gw\nleftsubnet=0.0.0.0/0"_qs; }) << u"sunucu kimliği geçersiz"_qs;
        QTest::newRow("local identity too long") << with([](IkeV2Protocol& p) { p.localIdentifier = QString(256, u'x'); })
                                                 << u"yerel kimlik geçersiz"_qs;
        QTest::newRow("certificate auth") << with([](IkeV2Protocol& p) { p.authenticationMethod = 1; })
                                          << u"yalnızca paylaşılan anahtarla kimlik doğrulama destekleniyor"_qs;
        QTest::newRow("EAP") << with([](IkeV2Protocol& p) { p.useExtendedAuthentication = true; })
                             << u"genişletilmiş kimlik doğrulama (EAP) desteklenmiyor"_qs;
        QTest::newRow("no secret reference") << with([](IkeV2Protocol& p) { p.sharedSecretReference.reset(); })
                                             << u"paylaşılan anahtar anahtar zincirinde kayıtlı değil"_qs;
        QTest::newRow("DES for IKE") << with([](IkeV2Protocol& p) { p.ikeSecurityAssociationParameters.encryptionAlgorithm = 1; })
                                     << u"şifreleme algoritması 1 desteklenmiyor"_qs;
        QTest::newRow("unknown ESP group")
            << with([](IkeV2Protocol& p) { p.childSecurityAssociationParameters.diffieHellmanGroup = 99; })
            << u"Diffie-Hellman grubu 99 desteklenmiyor"_qs;
        // The first rule broken is the one reported.
        QTest::newRow("no server and DES") << with([](IkeV2Protocol& p) {
            p.serverAddress.reset();
            p.ikeSecurityAssociationParameters.encryptionAlgorithm = 1;
        }) << u"sunucu adresi boş"_qs;
    }
    void unusableProfilesSayWhy() {
        QFETCH(IkeV2Protocol, protocol);
        QFETCH(QString, why);
        const auto checked = IkeProfile::check(protocol);
        QVERIFY(!checked.ok());
        QCOMPARE(checked.error().kind, Error::Kind::Rejected);
        QCOMPARE(checked.error().message, u"VPN profili kullanılamıyor: "_qs + why);
    }

    void usableProfilesAreTrimmed() {
        IkeV2Protocol p = goodProtocol();
        p.serverAddress = u" 198.51.100.7 "_qs;
        p.remoteIdentifier = u"  gw.example.net "_qs;
        p.localIdentifier = u"   "_qs;
        p.deadPeerDetectionRate = 3;
        const auto checked = IkeProfile::check(p);
        QVERIFY(checked.ok());
        QCOMPARE(checked->server, u"198.51.100.7"_qs);
        QCOMPARE(checked->remoteId, u"gw.example.net"_qs);
        QVERIFY(!checked->localId.has_value());
        QCOMPARE(checked->secretReference, *p.sharedSecretReference);
        QCOMPARE(checked->ikeProposal, QByteArray("aes256-sha256-modp2048"));
        QCOMPARE(checked->deadPeerDetectionRate, 3);
    }
};

QTEST_GUILESS_MAIN(IkeProfileTest)
#include "ike_profile_test.moc"
