// The popup's texts and rules where they are more than a lookup (the plain texts are checked drawn),
// its font and its shadows. CTest runs it in groups of functions (CMakeLists.txt).
#include "ui/images.h"
#include "ui/popup_font.h"
#include "ui/view_text.h"

#include <QBuffer>
#include <QFile>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

QString scalars(std::initializer_list<char32_t> cs) {
    QString s;
    for (char32_t c : cs) s += QString::fromUcs4(&c, 1);
    return s;
}

std::optional<Server> server(const char* country, qint64 load, std::optional<qint64> ping) {
    Server s;
    s.country = QString::fromUtf8(country);
    s.countryCode = u"DE"_s;
    s.city = u"Berlin"_s;
    s.load = load;
    s.pingMs = ping;
    return s;
}

QString cards(std::optional<QString> ip, std::optional<QString> place, std::optional<QString> exitIp, bool connected) {
    const Views::CardText o = Views::originalCard(ip, place, connected), e = Views::exitCard(exitIp, connected);
    return QStringList{o.value, o.meta, e.value, e.meta}.join(u'|');
}

// The shadow as first written: three plain box passes over int planes, column by column, dividing each
// pixel. The fast one must give the same pixels.
QImage referenceShadow(const QPainterPath& shape, QSize shapeSize, int blur, const QColor& color) {
    const int w = shapeSize.width() + 4 * blur, h = shapeSize.height() + 4 * blur;
    QImage mask(w, h, QImage::Format_Grayscale8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(2 * blur, 2 * blur);
        p.fillPath(shape, Qt::white);
    }
    std::vector<int> plane(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) plane[size_t(y) * w + x] = mask.constScanLine(y)[x];
    const double sigma = blur / 2.0;
    const int r = int(std::lround((std::sqrt(sigma * sigma * 4.0 + 1.0) - 1.0) / 2.0));
    for (int pass = 0; pass < 3 && r > 0; ++pass) {
        std::vector<int> tmp(plane.size());
        const int window = 2 * r + 1;
        for (int y = 0; y < h; ++y) {
            int sum = 0;
            for (int i = -r; i <= r; ++i) sum += plane[y * w + std::clamp(i, 0, w - 1)];
            for (int x = 0; x < w; ++x) {
                tmp[y * w + x] = sum / window;
                sum += plane[y * w + std::min(x + r + 1, w - 1)] - plane[y * w + std::max(x - r, 0)];
            }
        }
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int i = -r; i <= r; ++i) sum += tmp[std::clamp(i, 0, h - 1) * w + x];
            for (int y = 0; y < h; ++y) {
                plane[y * w + x] = sum / window;
                sum += tmp[std::min(y + r + 1, h - 1) * w + x] - tmp[std::max(y - r, 0) * w + x];
            }
        }
    }
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double a = plane[size_t(y) * w + x] / 255.0 * color.alphaF();
            line[x] = qPremultiply(qRgba(color.red(), color.green(), color.blue(), int(std::lround(a * 255))));
        }
    }
    return out;
}

} // namespace

class ViewTextTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rules_data() {
        QTest::addColumn<QVariant>("got");
        QTest::addColumn<QVariant>("expected");
        const auto row = [](const char* name, const QVariant& got, const QVariant& expected) {
            QTest::newRow(name) << got << expected;
        };
        using S = ConnectionStatus;
        const std::nullopt_t none = std::nullopt;
        row("flag, lower case", Views::flagEmoji(u"tr"_s), scalars({0x1F1F9, 0x1F1F7}));
        row("flag, empty is the globe", Views::flagEmoji({}), scalars({0x1F30D}));
        row("flag, a digit is shifted", Views::flagEmoji(u"A1"_s), scalars({0x1F1E6, 0x1F1D6}));
        row("flag, three letters", Views::flagEmoji(u"DEU"_s), scalars({0x1F1E9, 0x1F1EA, 0x1F1FA}));
        row("flag, not trimmed", Views::flagEmoji(u" A"_s), scalars({0x1F1C5, 0x1F1E6}));
        row("flag, ß upper-cased in full", Views::flagEmoji(u"ß"_s), scalars({0x1F1F8, 0x1F1F8}));
        row("flag, past the code space", Views::flagEmoji(scalars({0x10FFFF})), scalars({0x1F30D}));
        row("flag, only the invalid skipped", Views::flagEmoji(u"A"_s + scalars({0x10FFF0})), scalars({0x1F1E6}));
        row("upper, dotted i", Views::upperTurkish(u"Orijinal IP"_s), u"ORİJİNAL IP"_s);
        row("upper, dotless i", Views::upperTurkish(u"VPN çıkış IP"_s), u"VPN ÇIKIŞ IP"_s);
        row("server with ping", Views::serverLineDestination(server("Almanya", 42, 35), none), u"Almanya · %42 · 35 ms"_s);
        row("server, huge load", Views::serverLineDestination(server("X", 9223372036854775807LL, none), none),
            u"X · %9223372036854775807"_s);
        row("server flag", Views::serverLineFlag(server("A", 1, 1), none), scalars({0x1F1E9, 0x1F1EA}));
        row("badge, lower-case plus", Views::planBadgeText(u"plus"_s), u"Plus"_s);
        row("badge, unknown plan", Views::planBadgeText(u"GOLD"_s), u"Free"_s);
        row("cards, idle, nothing known", cards(none, none, none, false), u"Sorgulanıyor|Görünür|—|Bağlı değil"_s);
        row("cards, connected, nothing known", cards(none, none, none, true), u"—|Gizlendi|…|Korumadasın"_s);
        row("cards, connected, all known", cards(u"192.0.2.1"_s, u"Ankara, TR"_s, u"203.0.113.7"_s, true),
            u"192.0.2.1|Ankara, TR|203.0.113.7|Korumadasın"_s);
        row("cards, idle hides a stale exit", cards(u"192.0.2.1"_s, none, u"203.0.113.7"_s, false),
            u"192.0.2.1|Görünür|—|Bağlı değil"_s);
        row("cards, empty texts are values", cards(u""_s, u""_s, u""_s, true), u"|||Korumadasın"_s);
        row("power, busy idle", Views::powerEnabled(true, S::idle), false);
        row("power, busy connected", Views::powerEnabled(true, S::connected), false);
        row("power, busy connecting", Views::powerEnabled(true, S::connecting), true);
        row("power, connected", Views::powerEnabled(false, S::connected), true);
        row("login, blanks", Views::loginEnabled(false, u" "_s, u" "_s), true);
        row("login, no e-mail", Views::loginEnabled(false, {}, u"b"_s), false);
        row("login, no password", Views::loginEnabled(false, u"a"_s, {}), false);
        row("login, busy", Views::loginEnabled(true, u"a"_s, u"b"_s), false);
        row("keychain wait", Views::caption(S::connecting, true).explanation, u"Anahtarlık penceresinde yanıtın bekleniyor"_s);
        row("keychain wait, idle", Views::caption(S::idle, true).explanation, Views::caption(S::idle).explanation);
        row("version shown as it is", Views::updateBannerText(u"%1"_s, false), u"Yeni sürüm %1 hazır — Güncelle"_s);
        row("empty call to action", Views::noticeCallToAction(u""_s), u"İncele →"_s);
    }
    void rules() {
        QFETCH(QVariant, got);
        QFETCH(QVariant, expected);
        QCOMPARE(got, expected);
    }

    // The popup's family has the five weights its type scale names, whatever the desktop's font is.
    void fontChoice_data() {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("a desktop family with every weight is kept") << u"Inter"_qs << u"Inter"_qs;
        QTest::newRow("bold and book only") << u"DejaVu Sans"_qs << u"Inter"_qs;
        QTest::newRow("not installed") << u"No Such Family"_qs << u"Inter"_qs;
        QTest::newRow("none given") << QString() << u"Inter"_qs;
    }
    void fontChoice() {
        QFETCH(QString, desktop);
        QFETCH(QString, chosen);
        QCOMPARE(UiFont::choose(desktop), chosen);
        QVERIFY(UiFont::hasAllWeights(UiFont::choose(desktop)));
    }

    // Five weights draw five ways: each is wider than the one below it.
    void weightsAreReal() {
        QFont f(UiFont::family());
        f.setPixelSize(14);
        qreal previous = 0;
        for (const QFont::Weight w : {QFont::Normal, QFont::Medium, QFont::DemiBold, QFont::Bold, QFont::ExtraBold}) {
            f.setWeight(w);
            const qreal width = QFontMetricsF(f).horizontalAdvance(u"demo@kestrava.app"_qs);
            QVERIFY2(width > previous, qPrintable(QStringLiteral("weight %1: %2 after %3").arg(int(w)).arg(width).arg(previous)));
            previous = width;
        }
    }

    // Our PNGs skip Qt's reader; what they give must be what it gives.
    void pngsReadAsQtReadsThem_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QImage>("expected");
        for (const char* file : {Images::logoFile, Images::backdropTextureFile}) {
            QFile f(QString::fromLatin1(file));
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray bytes = f.readAll();
            QTest::addRow("%s", file) << bytes << QImage(QString::fromLatin1(file)).convertToFormat(QImage::Format_ARGB32);
            QTest::addRow("%s cut short", file) << bytes.left(bytes.size() / 2) << QImage();
        }
        QTest::addRow("no PNG") << QByteArray("<svg/>") << QImage();
        QByteArray wide;
        QBuffer out(&wide);
        QVERIFY(QImage(5000, 1, QImage::Format_ARGB32).save(&out, "PNG"));
        QTest::addRow("5000 pixels wide") << wide << QImage();
    }
    void pngsReadAsQtReadsThem() {
        QFETCH(QByteArray, bytes);
        QFETCH(QImage, expected);
        QCOMPARE(Images::decodePng(bytes), expected);
    }

    void shadowsAreThePlainBoxBlurs_data() {
        QTest::addColumn<int>("blur");
        QTest::addColumn<QColor>("color");
        for (int blur : {0, 1, 2, 5, 12, 18, 30})
            for (QRgb c : {0x73000000u, 0x732DD4A7u, 0xffE23B3Bu})
                QTest::addRow("blur %d, #%08x", blur, c) << blur << QColor::fromRgba(c);
    }
    void shadowsAreThePlainBoxBlurs() {
        QFETCH(int, blur);
        QFETCH(QColor, color);
        // The panel's shadow (the popup's sizes), the power button's, and shapes smaller than the blur.
        for (const QSize size : {QSize(400, 411), QSize(400, 700), QSize(120, 44), QSize(3, 5)}) {
            QPainterPath path;
            path.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), 22, 22);
            QCOMPARE(Images::roundedRectShadow(size, 22, blur, color), referenceShadow(path, size, blur, color));
        }
        for (const int d : {110, 7, 1}) {
            QPainterPath path;
            path.addEllipse(QRectF(0, 0, d, d));
            QCOMPARE(Images::circleShadow(d, blur, color), referenceShadow(path, QSize(d, d), blur, color));
        }
    }
};

QTEST_MAIN(ViewTextTest)
#include "view_text_test.moc"
