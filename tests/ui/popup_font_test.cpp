#include "ui/popup_font.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QTest>

// The popup's family has the five weights its type scale names, whatever the desktop's font is.
class PopupFontTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void choice_data() {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("a desktop family with every weight is kept") << u"Inter"_qs << u"Inter"_qs;
        QTest::newRow("bold and book only") << u"DejaVu Sans"_qs << u"Inter"_qs;
        QTest::newRow("not installed") << u"No Such Family"_qs << u"Inter"_qs;
        QTest::newRow("none given") << QString() << u"Inter"_qs;
    }
    void choice() {
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
};

QTEST_MAIN(PopupFontTest)

#include "popup_font_test.moc"
