#include "app/panel_window.h"
#include "app/tray_look.h"
#include "ui/images.h"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>
#include <QTest>

Q_DECLARE_METATYPE(std::optional<QColor>)

// What the tray and the popup draw for the desktop they are on: ink for the bar, the card's cut
// corners, and images at the device pixel ratio.
class DesktopLookTest : public QObject {
    Q_OBJECT

    // A bar of colour with the shield drawn on it in ink, as a host shows it.
    static QImage barWithIcon(const QColor& bar, const QColor& ink, QSize size) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(bar);
        QPainter p(&image);
        p.drawImage(QPoint(0, 0), Images::icon(QStringLiteral("shield-slash"), size, ink));
        return image;
    }

private Q_SLOTS:
    void inkForBar_data() {
        QTest::addColumn<std::optional<QColor>>("bar");
        QTest::addColumn<bool>("lightInk");
        QTest::newRow("xfce dark") << std::optional<QColor>(QColor(0x35, 0x35, 0x35)) << true;
        QTest::newRow("waybar") << std::optional<QColor>(QColor(0x2b, 0x30, 0x3b)) << true;
        QTest::newRow("black") << std::optional<QColor>(QColor(Qt::black)) << true;
        QTest::newRow("light grey") << std::optional<QColor>(QColor(0xee, 0xee, 0xee)) << false;
        QTest::newRow("white") << std::optional<QColor>(QColor(Qt::white)) << false;
        QTest::newRow("mid blue") << std::optional<QColor>(QColor(0x5b, 0x7f, 0xa6)) << false;
        QTest::newRow("yellow") << std::optional<QColor>(QColor(0xf0, 0xd0, 0x40)) << false;
        QTest::newRow("unknown bar: most are dark") << std::optional<QColor>() << true;
    }
    void inkForBar() {
        QFETCH(std::optional<QColor>, bar);
        QFETCH(bool, lightInk);
        const QColor ink = TrayLook::inkFor(bar);
        QCOMPARE(ink.lightness() > 128, lightInk);
        if (bar) QVERIFY2(TrayLook::contrast(ink, *bar) >= 3.0, qPrintable(QString::number(TrayLook::contrast(ink, *bar))));
    }

    // Every bar colour (the sRGB cube in steps of 17) gets an ink of at least 3:1.
    void everyBarGetsThreeToOne() {
        double worst = 100;
        for (int r = 0; r <= 255; r += 17)
            for (int g = 0; g <= 255; g += 17)
                for (int b = 0; b <= 255; b += 17) {
                    const QColor bar(r, g, b);
                    worst = std::min(worst, TrayLook::contrast(TrayLook::inkFor(bar), bar));
                }
        QVERIFY2(worst >= 3.0, qPrintable(QString::number(worst)));
    }

    // The bar is read back from a grab that holds our own icon: the icon must not win the vote.
    void barColourUnderOurIcon_data() {
        QTest::addColumn<QColor>("bar");
        QTest::addColumn<QSize>("size");
        QTest::newRow("dark, 22") << QColor(0x35, 0x35, 0x35) << QSize(22, 22);
        QTest::newRow("light, 22") << QColor(0xee, 0xee, 0xee) << QSize(22, 23);
        QTest::newRow("dark, 44 at scale 2") << QColor(0x2b, 0x2b, 0x2b) << QSize(44, 46);
        QTest::newRow("light, 16") << QColor(0xf6, 0xf5, 0xf4) << QSize(16, 16);
    }
    void barColourUnderOurIcon() {
        QFETCH(QColor, bar);
        QFETCH(QSize, size);
        for (const QColor& ink : {TrayLook::inkFor(bar), TrayLook::inkFor(std::nullopt), QColor(0x1c, 0x1c, 0x1c)}) {
            const auto found = TrayLook::dominantColor(barWithIcon(bar, ink, size));
            QVERIFY(found);
            QCOMPARE(found->rgb(), bar.rgb());
        }
        QVERIFY(!TrayLook::dominantColor(QImage()));
    }

    void iconNamedForThemeAndDrawnInInk() {
        for (bool connected : {false, true}) {
            const QIcon icon = TrayLook::icon(connected, QColor(0xf5, 0xf5, 0xf5));
            QCOMPARE(icon.name(), TrayLook::themeName(connected));
            const QImage image = icon.pixmap(QSize(22, 22)).toImage();
            QVERIFY(!image.isNull());
            bool inked = false;
            for (int y = 0; y < image.height() && !inked; ++y)
                for (int x = 0; x < image.width() && !inked; ++x)
                    inked = qAlpha(image.pixel(x, y)) == 255 && QColor(image.pixel(x, y)).lightness() > 230;
            QVERIFY(inked);
        }
        // Connected and not connected stay apart.
        QVERIFY(TrayLook::icon(true, Qt::white).pixmap(22, 22).toImage() !=
                TrayLook::icon(false, Qt::white).pixmap(22, 22).toImage());
    }

    // The same files go to the icon theme, where Plasma draws them by name: it recolours only what
    // takes its colour from the "current-color-scheme" stylesheet's ColorScheme-Text class.
    void themeIconsFollowThePanelsColours() {
        for (const char* name : {"shield", "shield-slash"}) {
            QFile file(QStringLiteral(":/Kestrava/Ui/icons/%1.svg").arg(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString svg = QString::fromUtf8(file.readAll());
            QVERIFY2(svg.contains(QRegularExpression(uR"(<style[^>]*id="current-color-scheme"[^>]*>\s*\.ColorScheme-Text\s*\{\s*color:)"_qs)), name);
            int shapes = 0;
            for (const QRegularExpressionMatch& m : QRegularExpression(uR"(<(path|rect|circle|ellipse|polygon)\b[^>]*>)"_qs).globalMatch(svg)) {
                ++shapes;
                QVERIFY2(m.captured(0).contains(uR"(class="ColorScheme-Text")"_qs) && m.captured(0).contains(uR"(fill="currentColor")"_qs),
                         qPrintable(m.captured(0)));
            }
            QVERIFY(shapes > 0);
        }
    }

    // Without a compositor the window's shape is the card: corners cut along the curve, nothing outside.
    void roundedRegion_data() {
        QTest::addColumn<QRect>("card");
        QTest::addColumn<int>("radius");
        QTest::newRow("the card") << QRect(0, 0, 400, 415) << 22;
        QTest::newRow("inset by a margin") << QRect(24, 24, 400, 415) << 22;
        QTest::newRow("radius larger than half") << QRect(0, 0, 30, 20) << 22;
        QTest::newRow("square corners") << QRect(0, 0, 40, 40) << 0;
    }
    void roundedRegion() {
        QFETCH(QRect, card);
        QFETCH(int, radius);
        const QRegion region = PanelWindow::roundedRegion(card, radius);
        QCOMPARE(region.boundingRect(), card);
        const int r = std::min({radius, card.width() / 2, card.height() / 2});
        const QPoint corners[] = {card.topLeft(), card.topRight(), card.bottomLeft(), card.bottomRight()};
        for (const QPoint& c : corners) QCOMPARE(region.contains(c), r == 0);
        // The middle of every edge is in; the area is the rectangle less four corner pieces of
        // r² − πr²/4 each (to within the pixel rows' rounding).
        QVERIFY(region.contains(QPoint(card.center().x(), card.top())));
        QVERIFY(region.contains(QPoint(card.left(), card.center().y())));
        qint64 area = 0;
        for (const QRect& rect : region) area += qint64(rect.width()) * rect.height();
        const double expected = double(card.width()) * card.height() - 4 * (r * r - M_PI * r * r / 4);
        QVERIFY2(std::abs(area - expected) <= 4 * r + 1, qPrintable(QStringLiteral("%1 vs %2").arg(area).arg(expected)));
    }

    // Qt Quick asks for sourceSize times the device pixel ratio; the images come at that size,
    // drawn anew rather than stretched, so the shadow at 2x is the 1x one at twice the scale.
    void imagesAtDevicePixelRatio_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QSize>("logical");
        QTest::newRow("card shadow") << u"shadow/rect/400/300/22/12/73000000"_qs << QSize(448, 348);
        QTest::newRow("power shadow") << u"shadow/circle/110/18/732DD4A7"_qs << QSize(182, 182);
        QTest::newRow("logo") << u"logo/38/10"_qs << QSize(38, 38);
        QTest::newRow("backdrop") << u"backdrop/400/300"_qs << QSize(400, 300);
    }
    void imagesAtDevicePixelRatio() {
        QFETCH(QString, id);
        QFETCH(QSize, logical);
        Images::Provider provider;
        QSize size;
        const QImage one = provider.requestImage(id, &size, logical);
        QCOMPARE(one.size(), logical);
        const QImage none = provider.requestImage(id, &size, QSize());
        QCOMPARE(none.size(), logical);
        for (int scale : {2, 3}) {
            const QImage big = provider.requestImage(id, &size, logical * scale);
            QCOMPARE(big.size(), logical * scale);
            QCOMPARE(size, logical * scale);
            // Same picture: brought back down to 1x it differs from the 1x drawing only by resampling.
            const QImage down = big.scaled(logical, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            const QImage ref = one.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            double sum = 0;
            for (int y = 0; y < logical.height(); ++y)
                for (int x = 0; x < logical.width(); ++x) {
                    const QRgb a = ref.pixel(x, y), b = down.pixel(x, y);
                    sum += std::abs(qAlpha(a) - qAlpha(b)) + std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                           std::abs(qBlue(a) - qBlue(b));
                }
            const double mean = sum / (4.0 * logical.width() * logical.height());
            const int worst = int(std::lround(mean));
            QVERIFY2(mean <= 6, qPrintable(QStringLiteral("%1 differs by %2 at %3x").arg(id).arg(worst).arg(scale)));
        }
    }
};

QTEST_MAIN(DesktopLookTest)
#include "desktop_look_test.moc"
