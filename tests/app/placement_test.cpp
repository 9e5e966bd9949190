#include "app/placement.h"

#include <QTest>

Q_DECLARE_METATYPE(std::optional<QRect>)
Q_DECLARE_METATYPE(std::optional<QPoint>)

// Screen coordinates with y downwards: a 1920×1080 screen whose top 28 px are the panel bar.
class PlacementTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

    void anchor_data() {
        QTest::addColumn<QRect>("tray");
        QTest::addColumn<std::optional<QPoint>>("pointer");
        QTest::addColumn<QRectF>("expected");
        QTest::addColumn<QRect>("available");
        QTest::newRow("tray geometry wins") << QRect(1000, 0, 24, 28) << std::optional<QPoint>(QPoint(5, 5))
                                            << QRectF(1000, 0, 24, 28) << QRect(0, 28, 1920, 1052);
        // A host that tells only where the press was (StatusNotifierItem): the icon ends where the bar does.
        QTest::newRow("no tray geometry: the pointer down to the bar's edge")
            << QRect() << std::optional<QPoint>(QPoint(700, 12)) << QRectF(700, 12, 0, 16) << QRect(0, 28, 1920, 1052);
        QTest::newRow("empty tray geometry: the pointer down to the bar's edge")
            << QRect(0, 0, 0, 0) << std::optional<QPoint>(QPoint(700, 12)) << QRectF(700, 12, 0, 16) << QRect(0, 28, 1920, 1052);
        QTest::newRow("pointer on the bar's last row") << QRect() << std::optional<QPoint>(QPoint(700, 27))
                                                       << QRectF(700, 27, 0, 1) << QRect(0, 28, 1920, 1052);
        QTest::newRow("pointer inside the work area: the point itself")
            << QRect() << std::optional<QPoint>(QPoint(700, 300)) << QRectF(700, 300, 0, 0) << QRect(0, 28, 1920, 1052);

        QTest::newRow("neither: the top-right corner") << QRect() << std::optional<QPoint>() << QRectF(1920, 28, 0, 0) << QRect(0, 28, 1920, 1052);
        // A pointer X never saw on the bar (XWayland): the tray's end of a bar at the bottom.
        QTest::newRow("neither, the bar at the bottom: the bottom-right corner")
            << QRect() << std::optional<QPoint>() << QRectF(1920, 1036, 0, 0) << QRect(0, 0, 1920, 1036);
        QTest::newRow("neither, bars at the top and bottom: the top-right corner")
            << QRect() << std::optional<QPoint>() << QRectF(1920, 28, 0, 0) << QRect(0, 28, 1920, 1008);
    }
    void anchor() {
        QFETCH(QRect, tray);
        QFETCH(std::optional<QPoint>, pointer);
        QFETCH(QRectF, expected);
        QFETCH(QRect, available);
        QCOMPARE(Placement::anchorFor(tray, pointer, available, QRect(0, 0, 1920, 1080)), expected);
    }

    // A press anywhere in a top bar of a host without icon geometry puts the card 6 below the bar,
    // whatever the row of the press.
    void pointerInTopBarLandsBelowTheBar_data() {
        QTest::addColumn<int>("pressY");
        QTest::newRow("top row") << 0;
        QTest::newRow("middle") << 14;
        QTest::newRow("last row") << 27;
    }
    void pointerInTopBarLandsBelowTheBar() {
        QFETCH(int, pressY);
        const QRect screen(0, 28, 1920, 1052);
        const QRectF anchor = Placement::anchorFor(QRect(), QPoint(1900, pressY), screen);
        QCOMPARE(Placement::popupOrigin(anchor, QSize(400, 520), screen), QPoint(1512, 34));
    }

    // A bar at the bottom: the card sits 8 above the work area's bottom edge.
    void pointerInBottomBarLandsAboveIt() {
        const QRect screen(0, 0, 1920, 1052);
        const QRectF anchor = Placement::anchorFor(QRect(), QPoint(1900, 1070), screen);
        QCOMPARE(Placement::popupOrigin(anchor, QSize(400, 520), screen), QPoint(1512, 1052 - 520 - 8));
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

    void noRoomWithoutAnArea() { QCOMPARE(Placement::room(QRectF(10, 0, 24, 28), std::nullopt), 0); }

    // With only the corner to go by, the popup still ends up inside the screen at its top right.
    void cornerAnchorLandsInside() {
        const QRect screen(0, 28, 1920, 1052);
        const QPoint p = Placement::popupOrigin(Placement::anchorFor(QRect(), std::nullopt, screen), QSize(400, 520), screen);
        QCOMPARE(p, QPoint(1512, 34));
    }
};

QTEST_GUILESS_MAIN(PlacementTest)
#include "placement_test.moc"
