#include "app/tray/panel_window.h"
#include "app/tray/placement.h"
#include "app/tray/tray_look.h"
#include "ui/images.h"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>
#include <QTest>

Q_DECLARE_METATYPE(std::optional<QRect>)
Q_DECLARE_METATYPE(std::optional<QPoint>)

// What the tray and the popup draw for the desktop they are on: ink for the bar, the card's cut
// corners, images at the device pixel ratio; and where the card goes (screen coordinates, y
// downwards, mostly a 1920×1080 screen whose top 28 px are the bar).
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
        QVERIFY(TrayLook::inkFor(std::nullopt).lightness() > 128); // an unknown bar: most are dark
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

    // --- placement ---------------------------------------------------------------------------------------
    void origin_data() {
        QTest::addColumn<QRectF>("anchor");
        QTest::addColumn<QSize>("popup");
        QTest::addColumn<std::optional<QRect>>("available");
        QTest::addColumn<QPoint>("expected");
        const std::optional<QRect> screen = QRect(0, 28, 1920, 1052);
        const QSize popup(400, 520);
        QTest::newRow("centred under the icon, 6 below") << QRectF(1000, 0, 24, 28) << popup << screen << QPoint(812, 34);
        QTest::newRow("near the right end: 8 inside") << QRectF(1890, 0, 24, 28) << popup << screen << QPoint(1512, 34);
        QTest::newRow("near the left end: 8 inside") << QRectF(0, 0, 24, 28) << popup << screen << QPoint(8, 34);
        QTest::newRow("exactly fits at the right") << QRectF(1500, 0, 24, 28) << popup << screen << QPoint(1312, 34);
        // 300 wide: the left clamp gives 8, the right clamp then moves it to 300 − 400 − 8.
        QTest::newRow("narrow screen: the right clamp wins")
            << QRectF(100, 0, 24, 28) << popup << std::optional<QRect>(QRect(0, 28, 300, 1052)) << QPoint(-108, 34);
        // Bottom 1080: pushed up to 1080 − 1200 − 8; the top edge is not clamped and lies above the bar.
        QTest::newRow("tall panel pushed up") << QRectF(1000, 0, 24, 28) << QSize(400, 1200) << screen << QPoint(812, -128);
        QTest::newRow("just fits in height")
            << QRectF(1000, 0, 24, 28) << QSize(400, 1038) << screen << QPoint(812, 34);
        QTest::newRow("no screen: unclamped") << QRectF(1890, 0, 24, 28) << popup << std::optional<QRect>() << QPoint(1702, 34);
        QTest::newRow("no screen, tall and left: unclamped")
            << QRectF(0, 0, 24, 28) << QSize(400, 5000) << std::optional<QRect>() << QPoint(-188, 34);
        // A second screen to the right, its bar at the bottom: clamps use that screen's edges.
        QTest::newRow("second screen, bar at the bottom")
            << QRectF(3820, 1052, 24, 28) << popup << std::optional<QRect>(QRect(1920, 0, 1920, 1052))
            << QPoint(3432, 524);
        QTest::newRow("half-point centre rounds") << QRectF(1000, 0, 25, 28) << popup << screen << QPoint(813, 34);
    }
    void origin() {
        QFETCH(QRectF, anchor);
        QFETCH(QSize, popup);
        QFETCH(std::optional<QRect>, available);
        QFETCH(QPoint, expected);
        QCOMPARE(Placement::popupOrigin(anchor, popup, available), expected);
    }

    // The tray's geometry, else the pointer (down to the bar's edge when in a bar), else the tray's end of
    // the bar. A press anywhere in a top bar puts a 400×520 card 6 below the bar, one in a bottom bar 8
    // above it (origin); with only the corner to go by, it still lands inside at the top right.
    void anchor_data() {
        QTest::addColumn<QRect>("tray");
        QTest::addColumn<std::optional<QPoint>>("pointer");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRectF>("expected");
        QTest::addColumn<QPoint>("origin");
        using P = std::optional<QPoint>;
        const QRect top(0, 28, 1920, 1052);
        QTest::newRow("tray geometry wins") << QRect(1000, 0, 24, 28) << P(QPoint(5, 5)) << top << QRectF(1000, 0, 24, 28)
                                            << QPoint(812, 34);
        // A host that tells only where the press was (StatusNotifierItem): the icon ends where the bar does.
        QTest::newRow("no tray geometry: the pointer down to the bar's edge")
            << QRect() << P(QPoint(700, 12)) << top << QRectF(700, 12, 0, 16) << QPoint();
        QTest::newRow("empty tray geometry: the pointer down to the bar's edge")
            << QRect(0, 0, 0, 0) << P(QPoint(700, 12)) << top << QRectF(700, 12, 0, 16) << QPoint();
        QTest::newRow("pointer on the bar's last row") << QRect() << P(QPoint(700, 27)) << top << QRectF(700, 27, 0, 1)
                                                       << QPoint();
        QTest::newRow("pointer inside the work area: the point itself")
            << QRect() << P(QPoint(700, 300)) << top << QRectF(700, 300, 0, 0) << QPoint();
        QTest::newRow("neither: the top-right corner") << QRect() << P() << top << QRectF(1920, 28, 0, 0) << QPoint(1512, 34);
        // A pointer X never saw on the bar (XWayland): the tray's end of a bar at the bottom.
        QTest::newRow("neither, the bar at the bottom: the bottom-right corner")
            << QRect() << P() << QRect(0, 0, 1920, 1036) << QRectF(1920, 1036, 0, 0) << QPoint();
        QTest::newRow("neither, bars at the top and bottom: the top-right corner")
            << QRect() << P() << QRect(0, 28, 1920, 1008) << QRectF(1920, 28, 0, 0) << QPoint();
        QTest::newRow("top bar, top row") << QRect() << P(QPoint(1900, 0)) << top << QRectF() << QPoint(1512, 34);
        QTest::newRow("top bar, middle") << QRect() << P(QPoint(1900, 14)) << top << QRectF() << QPoint(1512, 34);
        QTest::newRow("top bar, last row") << QRect() << P(QPoint(1900, 27)) << top << QRectF() << QPoint(1512, 34);
        QTest::newRow("bottom bar") << QRect() << P(QPoint(1900, 1070)) << QRect(0, 0, 1920, 1052) << QRectF()
                                    << QPoint(1512, 1052 - 520 - 8);
    }
    void anchor() {
        QFETCH(QRect, tray);
        QFETCH(std::optional<QPoint>, pointer);
        QFETCH(QRect, available);
        QFETCH(QRectF, expected);
        QFETCH(QPoint, origin);
        const QRectF anchor = Placement::anchorFor(tray, pointer, available, QRect(0, 0, 1920, 1080));
        if (expected != QRectF()) QCOMPARE(anchor, expected);
        if (!origin.isNull()) QCOMPARE(Placement::popupOrigin(anchor, QSize(400, 520), available), origin);
    }

    // The card is placed again each time its content changes while open (sign-in, the server list, a
    // notice): it grows away from its bar, never past 8 from the work area's far edge; content taller
    // than room() is cut to it (the server list gives up height).
    void growAndShrinkWhileOpen_data() {
        QTest::addColumn<QRectF>("anchor");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<int>("room");
        QTest::addColumn<bool>("bottomBar");
        // A status-notifier host's press: the anchor runs from the press to the bar's inner edge.
        QTest::newRow("top bar, 800 tall") << QRectF(1250, 12, 0, 16) << QRect(0, 28, 1280, 772) << 758 << false;
        QTest::newRow("top bar, 768 tall") << QRectF(1340, 12, 0, 16) << QRect(0, 28, 1366, 740) << 726 << false;
        QTest::newRow("XEmbed slot in a top bar, 768 tall") << QRectF(1330, 1, 22, 22) << QRect(0, 24, 1366, 744) << 731 << false;
        QTest::newRow("bottom bar, 800 tall") << QRectF(1250, 773, 0, 0) << QRect(0, 0, 1280, 772) << 756 << true;
        QTest::newRow("bottom bar, 768 tall") << QRectF(1340, 741, 0, 0) << QRect(0, 0, 1366, 740) << 724 << true;
        QTest::newRow("icon in a bottom bar, 768 tall") << QRectF(1330, 745, 22, 22) << QRect(0, 0, 1366, 740) << 724 << true;
    }
    void growAndShrinkWhileOpen() {
        QFETCH(QRectF, anchor);
        QFETCH(QRect, available);
        QFETCH(int, room);
        QFETCH(bool, bottomBar);
        QCOMPARE(Placement::room(anchor, available), room);
        QCOMPARE(Placement::room(anchor, std::nullopt), 0);
        // Sign-in form, signed in, list open with a long notice (taller than any room here), closed again.
        for (int wanted : {411, 586, 801, 586, 411}) {
            const QSize card(400, std::min(wanted, room));
            const QRect placed(Placement::popupOrigin(anchor, card, available), card);
            QVERIFY2(placed.left() >= available.left() + 8 && placed.right() <= available.right() - 8,
                     qPrintable(QStringLiteral("%1 tall: x %2..%3").arg(wanted).arg(placed.left()).arg(placed.right())));
            QCOMPARE(placed.bottom() <= available.bottom() - 8, true);
            if (bottomBar) {
                QCOMPARE(placed.bottom(), available.bottom() - 8);  // no gap left above the bar when it shrinks
                QVERIFY(placed.top() >= available.top() + 8);
            } else {
                QCOMPARE(placed.top(), int(anchor.bottom()) + 6);
            }
        }
    }

};

QTEST_MAIN(DesktopLookTest)
#include "desktop_look_test.moc"
