#include "popup_fixture.h"

#include "app/app_delegate.h"
#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "ui/panel_content.h"
#include "ui/popup_model.h"
#include "vpn/simulated/simulated_facility.h"

#include <QSGRendererInterface>
#include <QTest>

namespace {

const QColor mint = QColor::fromRgbF(0.176f, 0.831f, 0.655f);
const QColor red = QColor::fromRgbF(0.886f, 0.231f, 0.231f);

bool near(QColor a, const QColor& b, int tolerance = 2) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

bool backendNamed() {
    for (const char* name : {"QT_QUICK_BACKEND", "QMLSCENE_DEVICE", "QSG_RHI_BACKEND"})
        if (!qEnvironmentVariableIsEmpty(name)) return true;
    return false;
}

Server server(const char* id, const char* cc, const char* city) {
    Server s;
    s.id = QString::fromUtf8(id);
    s.countryCode = QString::fromUtf8(cc);
    s.country = QString::fromUtf8(cc);
    s.city = QString::fromUtf8(city);
    s.load = 20;
    s.pingMs = 18;
    s.tier = QStringLiteral("FREE");
    return s;
}

} // namespace

// Hiding the popup gives memory back (PanelContent::releaseHidden) but keeps its window and items:
// shown again, it draws exactly what it drew before, at scale 1 and 2.
class PopupReleaseTest : public QObject {
    Q_OBJECT
    DevService m_service;

    QColor pixelAt(PopupFixture& ui, const QImage& image, const QString& name, QPointF local) {
        QQuickItem* item = ui.find(name);
        if (!item) return QColor();
        const QPoint p = item->mapToScene(local).toPoint();
        return image.pixelColor(int(p.x() * image.devicePixelRatio()), int(p.y() * image.devicePixelRatio()));
    }

    // Hidden, released and shown again: the same pixels; returns the picture after.
    QImage hideReleaseShow(PopupFixture& ui, const QImage& before) {
        QQuickItem* popupBefore = ui.popup();
        ui.window->hide();
        QCoreApplication::processEvents();
        PanelContent::releaseHidden();
        ui.window->show();
        if (!QTest::qWaitForWindowExposed(ui.window.get())) return QImage();
        const QImage after = ui.grab();
        if (ui.popup() != popupBefore) return QImage();
        return after == before ? after : QImage();
    }

private Q_SLOTS:
    void initTestCase() {
        qputenv("KESTRAVA_VPN_BACKEND", "simulated");
        QVERIFY(startServiceForProcess(m_service));
    }

    void softwareRendererByDefault() {
        if (backendNamed()) QSKIP("a Qt Quick backend is named in the environment; it wins");
        TestEnv env;
        StateHarness h;
        auto state = h.make(env.defaults());
        PopupModel model(*state, [](const QUrl&) {});
        PopupFixture ui;
        QVERIFY(ui.load(model));
        QCOMPARE(ui.window->rendererInterface()->graphicsApi(), QSGRendererInterface::Software);
    }

    void drawsTheSameAfterHideAndRelease() {
        TestEnv env;
        StateHarness h;
        auto state = h.make(env.defaults());
        PopupModel model(*state, [](const QUrl&) {});
        PopupFixture ui;
        QVERIFY(ui.load(model));

        // Signed out: the red dot of the status pill.
        const QImage signedOut = ui.grab();
        QVERIFY(near(pixelAt(ui, signedOut, u"statusDot"_qs, {3.5, 3.5}), red));
        const QImage again = hideReleaseShow(ui, signedOut);
        QVERIFY(!again.isNull());
        QVERIFY(near(pixelAt(ui, again, u"statusDot"_qs, {3.5, 3.5}), red));

        // Signed in and connected, with an update banner: the mint power button, flags and shadows.
        state->setEmail(u"ayse@example.com"_qs);
        state->setToken(u"tok"_qs);
        state->setServers({server("tr-1", "TR", "İstanbul"), server("de-1", "DE", "Frankfurt")});
        state->setOriginalIp(u"192.0.2.44"_qs);
        state->setStatus(ConnectionStatus::connected);
        state->setExitIp(u"203.0.113.7"_qs);
        Updater::Info info;
        info.version = u"2.0.0"_qs;
        state->setUpdateInfo(info);
        const QImage connected = ui.grab();
        QVERIFY(near(pixelAt(ui, connected, u"powerCore"_qs, {20, 55}), mint));
        // Twice over: a second release finds nothing left to break.
        for (int round = 0; round < 2; ++round) {
            const QImage shown = hideReleaseShow(ui, connected);
            QVERIFY2(!shown.isNull(), "the popup drew something else after a hide and a release");
            QVERIFY(near(pixelAt(ui, shown, u"powerCore"_qs, {20, 55}), mint));
            QVERIFY(near(pixelAt(ui, shown, u"statusDot"_qs, {3.5, 3.5}), mint));
        }
        // And it still follows the state while shown again.
        state->setStatus(ConnectionStatus::connecting);
        const QImage connecting = ui.grab();
        QVERIFY(near(pixelAt(ui, connecting, u"powerCore"_qs, {20, 55}), red));
        QVERIFY(ui.save(connecting, u"released-then-connecting"_qs));
    }

    // The shell releases once the panel is hidden, after the hide, and never while it is shown.
    void shellReleasesOnlyWhileHidden() {
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate::Options options;
        options.tray = false;
        AppDelegate shell(env.defaults(), facility, options);
        shell.launch();
        QStringList steps;
        bool visibleDuringRelease = false;
        PanelContent::setReleaseObserver([&](const char* step) {
            steps << QString::fromLatin1(step);
            visibleDuringRelease = visibleDuringRelease || shell.panelVisible();
        });
        shell.showPanel();
        QVERIFY(QTest::qWaitForWindowExposed(shell.panel()));
        QQuickWindow* window = shell.panel();
        QQuickItem* popup = shell.popupItem();

        shell.closePanel();
        QVERIFY(steps.isEmpty()); // not before the hide has gone out
        QVERIFY(QTest::qWaitFor([&] { return steps.contains(u"done"_qs); }, 2000));
        QVERIFY(!visibleDuringRelease);

        // Closed and shown again before the event loop ran: nothing is released under a shown panel.
        steps.clear();
        shell.showPanel();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        shell.closePanel();
        shell.showPanel();
        QTest::qWait(50);
        QVERIFY(steps.isEmpty());
        QVERIFY(shell.panelVisible());
        QCOMPARE(shell.panel(), window);
        QCOMPARE(shell.popupItem(), popup);
        PanelContent::setReleaseObserver(nullptr);
    }

    // A popup left hidden is destroyed, unless a new one would lose what the user opened or typed;
    // made anew it draws what the old one drew.
    void hiddenPopupIsDroppedUnlessTouched_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("dropped");
        QTest::newRow("sign-in form, empty") << false << u"LoginView"_qs << QString() << QVariant() << true;
        QTest::newRow("an e-mail typed") << false << u"LoginView"_qs << u"email"_qs << QVariant(u"a@b.co"_qs) << false;
        QTest::newRow("the password shown") << false << u"LoginView"_qs << u"showPassword"_qs << QVariant(true) << false;
        QTest::newRow("signed in") << true << u"MainView"_qs << QString() << QVariant() << true;
        QTest::newRow("the list open") << true << u"MainView"_qs << u"showPicker"_qs << QVariant(true) << false;
    }
    void hiddenPopupIsDroppedUnlessTouched() {
        QFETCH(bool, signedIn);
        QFETCH(QString, view);
        QFETCH(QString, property);
        QFETCH(QVariant, value);
        QFETCH(bool, dropped);
        TestEnv env;
        SimulatedFacility facility;
        AppDelegate::Options options;
        options.tray = false;
        options.dropHiddenAfterMs = 0;
        AppDelegate shell(env.defaults(), facility, options);
        shell.launch();
        if (signedIn) {
            shell.state().setEmail(u"ayse@example.com"_qs);
            shell.state().setToken(u"tok"_qs);
            shell.state().setServers({server("tr-1", "TR", "İstanbul"), server("de-1", "DE", "Frankfurt")});
        }
        shell.showPanel();
        QVERIFY(QTest::qWaitForWindowExposed(shell.panel()));
        // The view the body shows: the sign-in form or the main view.
        QQuickItem* body = PopupFixture::findChild(shell.popupItem(), u"body"_qs);
        QVERIFY(body);
        QQuickItem* item = body->property("item").value<QQuickItem*>();
        QVERIFY(item && QByteArray(item->metaObject()->className()).startsWith(view.toLatin1()));
        if (!property.isEmpty()) QVERIFY(item->setProperty(property.toUtf8(), value));
        const auto grab = [&] {
            QTest::qWait(0);
            return shell.panel()->grabWindow();
        };
        const QImage before = grab();
        QQuickItem* popup = shell.popupItem();
        QStringList steps;
        PanelContent::setReleaseObserver([&](const char* step) { steps << QString::fromLatin1(step); });
        shell.closePanel();
        // The release on hide runs first; the drop, if any, once its timer ran.
        QVERIFY(QTest::qWaitFor([&] { return steps.contains(u"done"_qs) && !shell.dropPending(); }, 2000));
        QCOMPARE(steps.contains(u"dropped"_qs), dropped);
        PanelContent::setReleaseObserver(nullptr);
        shell.showPanel();
        QVERIFY(QTest::qWaitForWindowExposed(shell.panel()));
        QCOMPARE(shell.popupItem() == popup, !dropped);
        QCOMPARE(grab(), before);
    }
};

QTEST_MAIN(PopupReleaseTest)
#include "popup_release_test.moc"
