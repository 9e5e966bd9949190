#include "ui/view_text.h"

#include <QTest>

namespace {

QString scalars(std::initializer_list<char32_t> cs) {
    QString s;
    for (char32_t c : cs) s += QString::fromUcs4(&c, 1);
    return s;
}

Server server(const char* country, qint64 load, std::optional<qint64> ping, QString tier = QStringLiteral("FREE")) {
    Server s;
    s.id = QStringLiteral("s1");
    s.country = QString::fromUtf8(country);
    s.countryCode = QStringLiteral("DE");
    s.city = QStringLiteral("Berlin");
    s.load = load;
    s.pingMs = ping;
    s.tier = std::move(tier);
    return s;
}

using OptText = std::optional<QString>;

} // namespace

Q_DECLARE_METATYPE(OptText)
Q_DECLARE_METATYPE(std::optional<Server>)

class ViewTextTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void flag_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("flag");
        QTest::newRow("upper") << "TR" << scalars({0x1F1F9, 0x1F1F7});
        QTest::newRow("lower is the same flag") << "tr" << scalars({0x1F1F9, 0x1F1F7});
        QTest::newRow("empty is the globe") << "" << scalars({0x1F30D});
        QTest::newRow("digit is shifted, not dropped") << "A1" << scalars({0x1F1E6, 0x1F1D6});
        QTest::newRow("three letters give three") << "DEU" << scalars({0x1F1E9, 0x1F1EA, 0x1F1FA});
        QTest::newRow("not trimmed") << " A" << scalars({0x1F1C5, 0x1F1E6});
        // Full upper-casing: ß becomes SS before the shift.
        QTest::newRow("full upper-casing") << QStringLiteral("ß") << scalars({0x1F1F8, 0x1F1F8});
        // Scalars pushed past the last code point are skipped; nothing left gives the globe.
        QTest::newRow("beyond the code space") << scalars({0x10FFFF}) << scalars({0x1F30D});
        QTest::newRow("skip only the invalid") << (QStringLiteral("A") + scalars({0x10FFF0})) << scalars({0x1F1E6});
    }
    void flag() {
        QFETCH(QString, code);
        QFETCH(QString, flag);
        QCOMPARE(Views::flagEmoji(code), flag);
    }

    void upperTurkish_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("upper");
        QTest::newRow("dotted i") << QStringLiteral("Orijinal IP") << QStringLiteral("ORİJİNAL IP");
        QTest::newRow("dotless i and cedillas") << QStringLiteral("VPN çıkış IP") << QStringLiteral("VPN ÇIKIŞ IP");
        QTest::newRow("already capitals") << QStringLiteral("İSTANBUL") << QStringLiteral("İSTANBUL");
    }
    void upperTurkish() {
        QFETCH(QString, text);
        QFETCH(QString, upper);
        QCOMPARE(Views::upperTurkish(text), upper);
    }

    void serverLine_data() {
        QTest::addColumn<std::optional<Server>>("active");
        QTest::addColumn<std::optional<Server>>("best");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("flag");
        const QString de = scalars({0x1F1E9, 0x1F1EA});
        QTest::newRow("active with ping") << std::optional(server("Almanya", 42, 35)) << std::optional<Server>()
                                          << "Berlin" << "Almanya · %42 · 35 ms" << de;
        QTest::newRow("active without ping") << std::optional(server("Almanya", 7, std::nullopt))
                                             << std::optional<Server>() << "Berlin" << "Almanya · %7" << de;
        QTest::newRow("suggested") << std::optional<Server>() << std::optional(server("Almanya", 1, 2))
                                   << "En iyi lokasyon" << "Berlin · şu an en uygun" << de;
        QTest::newRow("nothing") << std::optional<Server>() << std::optional<Server>() << "En iyi lokasyon"
                                 << "Yükleniyor..." << scalars({0x1F30D});
        QTest::newRow("huge load") << std::optional(server("X", 9223372036854775807LL, std::nullopt))
                                   << std::optional<Server>() << "Berlin" << "X · %9223372036854775807" << de;
    }
    void serverLine() {
        QFETCH(std::optional<Server>, active);
        QFETCH(std::optional<Server>, best);
        QFETCH(QString, name);
        QFETCH(QString, destination);
        QFETCH(QString, flag);
        QCOMPARE(Views::serverLineName(active), name);
        QCOMPARE(Views::serverLineDestination(active, best), destination);
        QCOMPARE(Views::serverLineFlag(active, best), flag);
    }

    void tier_data() {
        QTest::addColumn<QString>("tier");
        QTest::addColumn<QString>("text");
        QTest::newRow("PLUS") << "PLUS" << "Plus";
        QTest::newRow("lower case is not plus") << "plus" << "Ücretsiz";
        QTest::newRow("FREE") << "FREE" << "Ücretsiz";
        QTest::newRow("empty") << "" << "Ücretsiz";
    }
    void tier() {
        QFETCH(QString, tier);
        QFETCH(QString, text);
        QCOMPARE(Views::tierText(server("A", 1, 1, tier)), text);
    }

    void plan_data() {
        QTest::addColumn<QString>("plan");
        QTest::addColumn<QString>("badge");
        QTest::addColumn<QString>("upgrade");
        QTest::newRow("PLUS") << "PLUS" << "Plus" << "Paketler";
        QTest::newRow("lower case plus") << "plus" << "Plus" << "Paketler";
        QTest::newRow("FREE") << "FREE" << "Free" << "Yükselt";
        QTest::newRow("unknown") << "GOLD" << "Free" << "Yükselt";
    }
    void plan() {
        QFETCH(QString, plan);
        QFETCH(QString, badge);
        QFETCH(QString, upgrade);
        QCOMPARE(Views::planBadgeText(plan), badge);
        QCOMPARE(Views::upgradeText(plan), upgrade);
    }

    void cards_data() {
        QTest::addColumn<OptText>("ip");
        QTest::addColumn<OptText>("place");
        QTest::addColumn<OptText>("exitIp");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QStringList>("expected"); // original value, meta, exit value, meta
        const OptText none;
        QTest::newRow("idle, nothing known") << none << none << none << false
                                             << QStringList{u"Sorgulanıyor"_qs, u"Görünür"_qs, u"—"_qs, u"Bağlı değil"_qs};
        QTest::newRow("connected, nothing known") << none << none << none << true
                                                  << QStringList{u"—"_qs, u"Gizlendi"_qs, u"…"_qs, u"Korumadasın"_qs};
        QTest::newRow("connected, all known") << OptText(u"192.0.2.1"_qs) << OptText(u"Ankara, TR"_qs)
                                              << OptText(u"203.0.113.7"_qs) << true
                                              << QStringList{u"192.0.2.1"_qs, u"Ankara, TR"_qs, u"203.0.113.7"_qs, u"Korumadasın"_qs};
        QTest::newRow("idle keeps a stale exit hidden") << OptText(u"192.0.2.1"_qs) << none << OptText(u"203.0.113.7"_qs)
                                                        << false
                                                        << QStringList{u"192.0.2.1"_qs, u"Görünür"_qs, u"—"_qs, u"Bağlı değil"_qs};
        QTest::newRow("empty texts are values") << OptText(u""_qs) << OptText(u""_qs) << OptText(u""_qs) << true
                                                << QStringList{u""_qs, u""_qs, u""_qs, u"Korumadasın"_qs};
    }
    void cards() {
        QFETCH(OptText, ip);
        QFETCH(OptText, place);
        QFETCH(OptText, exitIp);
        QFETCH(bool, connected);
        QFETCH(QStringList, expected);
        const Views::CardText o = Views::originalCard(ip, place, connected);
        const Views::CardText e = Views::exitCard(exitIp, connected);
        QCOMPARE((QStringList{o.value, o.meta, e.value, e.meta}), expected);
    }

    void enabledRules() {
        using S = ConnectionStatus;
        QVERIFY(Views::powerEnabled(false, S::idle));
        QVERIFY(!Views::powerEnabled(true, S::idle));
        QVERIFY(!Views::powerEnabled(true, S::connected));
        QVERIFY(Views::powerEnabled(true, S::connecting));
        QVERIFY(Views::powerEnabled(false, S::connected));

        QVERIFY(Views::loginEnabled(false, u"a"_qs, u"b"_qs));
        QVERIFY(Views::loginEnabled(false, u" "_qs, u" "_qs));
        QVERIFY(!Views::loginEnabled(false, u""_qs, u"b"_qs));
        QVERIFY(!Views::loginEnabled(false, u"a"_qs, u""_qs));
        QVERIFY(!Views::loginEnabled(true, u"a"_qs, u"b"_qs));
        QCOMPARE(Views::loginButtonText(true), u"Giriş yapılıyor..."_qs);
        QCOMPARE(Views::loginButtonText(false), u"Giriş yap"_qs);
    }

    void captions() {
        QCOMPARE(Views::caption(ConnectionStatus::idle).headline, u"Dokun, kalkışa geç"_qs);
        QCOMPARE(Views::caption(ConnectionStatus::idle).explanation,
                 u"Gerçek IP’n görünür, bağlanınca çıkış IP’si atanır"_qs);
        QCOMPARE(Views::caption(ConnectionStatus::connecting).headline, u"Kalkışa geçiliyor..."_qs);
        QCOMPARE(Views::caption(ConnectionStatus::connected).explanation, u"Trafiğin şifreli tünelden akıyor"_qs);
        QCOMPARE(Views::caption(ConnectionStatus::connecting, true).explanation,
                 u"Anahtarlık penceresinde yanıtın bekleniyor"_qs);
        QCOMPARE(Views::caption(ConnectionStatus::idle, true).explanation, Views::caption(ConnectionStatus::idle).explanation);
        QCOMPARE(Views::pillText(ConnectionStatus::connecting), u"Kapalı"_qs);
        QCOMPARE(Views::pillText(ConnectionStatus::connected), u"Bağlı"_qs);
    }

    void banners() {
        QCOMPARE(Views::updateBannerText(u"2.1.0"_qs, false), u"Yeni sürüm 2.1.0 hazır — Güncelle"_qs);
        // A version text is shown as it is, even one that looks like a placeholder.
        QCOMPARE(Views::updateBannerText(u"%1"_qs, false), u"Yeni sürüm %1 hazır — Güncelle"_qs);
        QCOMPARE(Views::updateBannerText(u"2.1.0"_qs, true), u"Güncelleme indiriliyor…"_qs);
        QCOMPARE(Views::noticeCallToAction(std::nullopt), u"İncele →"_qs);
        QCOMPARE(Views::noticeCallToAction(u""_qs), u"İncele →"_qs);
        QCOMPARE(Views::noticeCallToAction(u"Hemen al"_qs), u"Hemen al"_qs);
    }
};

QTEST_GUILESS_MAIN(ViewTextTest)
#include "view_text_test.moc"
