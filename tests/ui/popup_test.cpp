// The real popup on the renderer the program chooses: what it draws (PNGs under build/screenshots),
// a session by pointer and by keyboard against the stand-in service, what a screen reader is told, and
// the memory given back once it is hidden. CTest runs it in groups of functions (CMakeLists.txt).
#include "popup_fixture.h"

#include "app/hooks/measure.h"
#include "app/tray/tray_shell.h"
#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "ui/panel_content.h"
#include "ui/popup_model.h"
#include "vpn/simulated/simulated_facility.h"

#include <QAccessible>
#include <QJsonArray>
#include <QSGRendererInterface>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <malloc.h>

using namespace Qt::StringLiterals;

namespace {

const QColor mint = QColor::fromRgbF(0.176f, 0.831f, 0.655f);
const QColor red = QColor::fromRgbF(0.886f, 0.231f, 0.231f);

Server server(const char* id, const char* cc, const char* city, qint64 load = 20, std::optional<qint64> ping = 18,
              const char* tier = "FREE") {
    Server s;
    s.id = QString::fromUtf8(id);
    s.countryCode = QString::fromUtf8(cc);
    s.country = s.countryCode == u"TR"_s ? u"Türkiye"_s : u"Almanya"_s;
    s.city = QString::fromUtf8(city);
    s.load = load;
    s.pingMs = ping;
    s.tier = QString::fromUtf8(tier);
    return s;
}

bool near(QColor a, const QColor& b, int tolerance = 2) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

QColor pixelAt(const QImage& image, QQuickItem* item, QPointF local) {
    if (!item) return QColor();
    const QPoint p = (item->mapToScene(local) * image.devicePixelRatio()).toPoint();
    return image.pixelColor(p);
}

Campaign winterNotice(const QString& body = u"PLUS şimdi %40 indirimli. Bu fırsat yalnızca bu hafta sonuna kadar "
                                            u"geçerli, kaçırma!"_s) {
    Campaign c;
    c.id = u"c1"_s;
    c.title = u"Kış indirimi"_s;
    c.body = body;
    c.url = u"https://kestrava.app/#plans"_s;
    return c;
}

QString text(QQuickItem* item) { return item ? item->property("text").toString() : u"<missing>"_s; }

// A home, the state over the simulated tunnel and the popup showing it.
struct Popup {
    TestEnv env;
    StateHarness h;
    std::unique_ptr<AppState> state;
    std::unique_ptr<PopupModel> model;
    PopupFixture ui;

    // With work, it starts as the program does and talks to the stand-in service.
    bool open(bool work = false) {
        state = h.make(env.defaults(), work);
        if (work && !h.drive([&] { return !state->startingUp(); })) return false;
        model = std::make_unique<PopupModel>(*state, [this](const QUrl& u) { h.opened << u; });
        return ui.load(*model);
    }
    QColor pixel(const QString& name, QPointF local) { return pixelAt(ui.grab(), ui.find(name), local); }
    QString shown(const QString& name) {
        ui.grab();
        return text(ui.find(name));
    }
    qreal height() {
        ui.grab();
        return ui.popup()->height();
    }
    void signIn() {
        state->setEmail(u"ayse@example.com"_s);
        state->setPlan(u"plus"_s);
        state->setToken(u"tok"_s);
        state->setServers({server("tr-1", "TR", "İstanbul", 40, 18, "FREE"),
                           server("de-1", "DE", "Frankfurt", 12, std::nullopt, "PLUS"),
                           server("de-2", "DE", "Berlin", 70, 30, "plus")});
        state->setOriginalIp(u"192.0.2.44"_s);
        state->setOriginalPlace(u"Ankara, TR"_s);
    }
    // Signed in and connected, with an update offered.
    void connectedWithUpdate() {
        signIn();
        state->setStatus(ConnectionStatus::connected);
        state->setExitIp(u"203.0.113.7"_s);
        Updater::Info info;
        info.version = u"2.0.0"_s;
        state->setUpdateInfo(info);
    }
    void press(Qt::Key key, Qt::KeyboardModifiers mods = {}) {
        QTest::keyClick(ui.window.get(), key, mods);
        ui.grab();
    }
    QString focused() const {
        QQuickItem* item = ui.window->activeFocusItem();
        return item ? item->property("name").toString() + item->property("placeholder").toString() : QString();
    }
    // Tabs (bounded) until the focused control's name satisfies wanted.
    bool tabTo(const std::function<bool(const QString&)>& wanted) {
        for (int i = 0; i < 40 && !wanted(focused()); ++i) press(Qt::Key_Tab);
        return wanted(focused());
    }
    // The names Tab (or Shift+Tab) visits until it comes round again.
    QStringList tabCycle(Qt::KeyboardModifiers mods = {}) {
        QStringList seen;
        QQuickItem* first = ui.window->activeFocusItem();
        for (int i = 0; i < 40; ++i) {
            seen << focused();
            press(Qt::Key_Tab, mods);
            if (ui.window->activeFocusItem() == first) break;
        }
        return seen;
    }
    // Every visible named part of the body lies within the popup's 24-point side padding; how many
    // were checked (0 after a failure, which is reported).
    int insidePadding() {
        ui.grab();
        QQuickItem* popup = ui.popup();
        const qreal left = popup->mapToScene({0, 0}).x() + 24, right = popup->mapToScene({popup->width(), 0}).x() - 24;
        QQuickItem* body = ui.find(u"body"_s);
        if (!body || body->width() != 400.0) return 0;
        QList<QQuickItem*> pending{body};
        int checked = 0;
        while (!pending.isEmpty()) {
            QQuickItem* item = pending.takeLast();
            if (!item->isVisible()) continue;
            pending += item->childItems();
            if (item->objectName().isEmpty() || item == body) continue;
            const QRectF r = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
            if (r.left() < left - 0.5 || r.right() > right + 0.5) {
                qWarning("%s spans %g–%g, padding %g–%g", qPrintable(item->objectName()), r.left(), r.right(), left, right);
                return 0;
            }
            ++checked;
        }
        return checked;
    }
};

// Every button and text field the accessibility tree shows, in tree order, as "role:name", "*" if secret.
QStringList controls(QQuickWindow* window) {
    QStringList out;
    std::function<void(QAccessibleInterface*, int)> walk = [&](QAccessibleInterface* node, int depth) {
        if (!node || depth > 64) return;
        const QAccessible::Role role = node->role();
        if ((role == QAccessible::Button || role == QAccessible::EditableText) && !node->state().invisible)
            out << (role == QAccessible::Button ? u"button:"_s : u"field:"_s) + node->text(QAccessible::Name) +
                       (node->state().passwordEdit ? u"*"_s : QString());
        for (int i = 0; i < node->childCount(); ++i) walk(node->child(i), depth + 1);
    };
    walk(QAccessible::queryAccessibleInterface(window), 0);
    return out;
}

// The shell's panel alone, without a tray.
struct Shell {
    TestEnv env;
    SimulatedFacility facility;
    std::unique_ptr<TrayShell> shell;
    explicit Shell(int dropHiddenAfterMs = 30000) {
        TrayShell::Options options;
        options.tray = false;
        options.dropHiddenAfterMs = dropHiddenAfterMs;
        shell = std::make_unique<TrayShell>(env.defaults(), facility, options);
        shell->launch();
    }
    bool show() {
        shell->showPanel();
        return QTest::qWaitForWindowExposed(shell->panel());
    }
};

} // namespace

class PopupTest : public QObject {
    Q_OBJECT
    DevService m_service;
    QJsonObject m_scenario;

    // The stand-in service, started for the first function that talks to it; with a second account
    // under the demo's address, an ordinary one that must fit the account row.
    bool serve() {
        if (!m_scenario.isEmpty()) return true;
        m_scenario = basicScenario();
        QJsonArray accounts = m_scenario[u"accounts"_s].toArray();
        QJsonObject demo = accounts.at(0).toObject();
        QJsonObject user = demo[u"user"_s].toObject();
        user[u"email"_s] = u"demo@kestrava.app"_s;
        user[u"id"_s] = u"u2"_s;
        demo[u"user"_s] = user;
        demo[u"email"_s] = u"demo@kestrava.app"_s;
        demo[u"token"_s] = u"tok-2"_s;
        accounts.append(demo);
        m_scenario[u"accounts"_s] = accounts;
        return startServiceForProcess(m_service, m_scenario);
    }

    // Hidden, released and shown again: the same item draws the same pixels; returns the picture after.
    static QImage hideReleaseShow(PopupFixture& ui, const QImage& before) {
        QQuickItem* popupBefore = ui.popup();
        ui.window->hide();
        QCoreApplication::processEvents();
        PanelContent::trimHeap();
        ui.window->show();
        if (!QTest::qWaitForWindowExposed(ui.window.get())) return QImage();
        const QImage after = ui.grab();
        return ui.popup() == popupBefore && after == before ? after : QImage();
    }

private Q_SLOTS:
    void initTestCase() { qputenv("KESTRAVA_VPN_BACKEND", "simulated"); }

    void signedOutEmpty() {
        Popup p;
        QVERIFY(p.open());
        QCOMPARE(p.ui.popup()->width(), 400.0);
        QCOMPARE(p.shown(u"loginTitle"_s), u"Kestrava’e giriş"_s);
        QQuickItem* button = p.ui.find(u"loginButton"_s);
        QVERIFY(button);
        QCOMPARE(button->opacity(), 0.55);
        QCOMPARE(p.shown(u"loginButtonText"_s), u"Giriş yap"_s);
        QVERIFY(!p.ui.find(u"loginError"_s));
        QVERIFY(near(p.pixel(u"statusDot"_s, {3.5, 3.5}), red));
        QCOMPARE(p.shown(u"statusPillText"_s), u"Kapalı"_s);
        // Typing enables the button; the eye swaps the symbol and keeps the text.
        QQuickItem* password = p.ui.find(u"passwordField"_s);
        QVERIFY(p.ui.typeInto(u"emailField"_s, u"a"_s));
        QVERIFY(p.ui.typeInto(u"passwordField"_s, u"b c"_s));
        p.ui.grab();
        QCOMPARE(button->opacity(), 1.0);
        QCOMPARE(password->property("echoMode").toInt(), 2); // Password
        p.ui.click(p.ui.find(u"eyeButton"_s));
        p.ui.grab();
        QCOMPARE(password->property("echoMode").toInt(), 0); // Normal
        QCOMPARE(text(password), u"b c"_s);
        QVERIFY(p.ui.find(u"eyeIcon"_s)->property("source").toString().contains(u"/eye-slash/"_s));
        QVERIFY(p.ui.save(p.ui.grab(), u"signed-out"_s));
        // While the sign-in runs the button fades, drawn as mint at 0.55 over the card.
        QVERIFY(near(p.pixel(u"loginButton"_s, {12, button->height() / 2}), mint));
        p.state->setBusy(true);
        p.ui.grab();
        QCOMPARE(button->opacity(), 0.55);
        QVERIFY(near(p.pixel(u"loginButton"_s, {12, button->height() / 2}), QColor::fromRgbF(0.125f, 0.494f, 0.416f), 4));
        // A sign-in error wraps and grows the form, inside its padding.
        p.state->setBusy(false);
        const qreal before = p.height();
        p.state->setErrorMessage(u"E-posta veya şifre hatalı. Lütfen bilgilerinizi kontrol edip yeniden deneyin; "
                                 u"sorun sürerse destek ekibimize yazın."_s);
        QCOMPARE(p.shown(u"loginError"_s), p.state->errorMessage().value());
        QVERIFY(p.height() > before + 20);
        QVERIFY(p.insidePadding() > 5);
        QVERIFY(p.ui.save(p.ui.grab(), u"signed-out-error"_s));
    }

    // However long the address, the main view keeps its side padding; the address elides instead.
    void mainViewKeepsItsPadding_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("plan");
        QTest::newRow("usual, free plan") << u"ayse.yilmaz@example.com"_s << u"free"_s;
        QTest::newRow("very long") << QString(70, u'x') + u"@example.com"_s << u"free"_s;
    }
    void mainViewKeepsItsPadding() {
        QFETCH(QString, email);
        QFETCH(QString, plan);
        Popup p;
        QVERIFY(p.open());
        p.signIn();
        p.state->setEmail(email);
        p.state->setPlan(plan);
        QVERIFY(p.insidePadding() > 10);
        if (email.size() > 40) QVERIFY(p.ui.find(u"accountEmail"_s)->property("truncated").toBool());
    }

    void captions_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("headline");
        QTest::addColumn<QString>("explanation");
        QTest::addColumn<QString>("screenshot");
        QTest::newRow("idle") << int(ConnectionStatus::idle) << u"Dokun, kalkışa geç"_s
                              << u"Gerçek IP’n görünür, bağlanınca çıkış IP’si atanır"_s << u"idle"_s;
        QTest::newRow("connecting") << int(ConnectionStatus::connecting) << u"Kalkışa geçiliyor..."_s
                                    << u"Güvenli tünel kuruluyor"_s << u"connecting"_s;
        QTest::newRow("connected") << int(ConnectionStatus::connected) << u"Korumadasın"_s
                                   << u"Trafiğin şifreli tünelden akıyor"_s << u"connected"_s;
    }
    void captions() {
        QFETCH(int, status);
        QFETCH(QString, headline);
        QFETCH(QString, explanation);
        QFETCH(QString, screenshot);
        const bool up = status == int(ConnectionStatus::connected);
        Popup p;
        QVERIFY(p.open());
        p.signIn();
        p.state->setStatus(ConnectionStatus(status));
        if (up) p.state->setExitIp(u"203.0.113.7"_s);
        QCOMPARE(p.shown(u"headline"_s), headline);
        QCOMPARE(p.shown(u"explanation"_s), explanation);
        QCOMPARE(p.ui.find(u"powerCore"_s)->width(), 110.0);
        // Away from the centre symbol, the core is the accent.
        QVERIFY(near(p.pixel(u"powerCore"_s, {20, 55}), up ? mint : red));
        QVERIFY(near(p.pixel(u"statusDot"_s, {3.5, 3.5}), up ? mint : red));
        QCOMPARE(p.shown(u"statusPillText"_s), up ? u"Bağlı"_s : u"Kapalı"_s);
        QQuickItem* original = p.ui.find(u"originalCard"_s);
        QQuickItem* exit = p.ui.find(u"exitCard"_s);
        QCOMPARE(original->property("value").toString(), u"192.0.2.44"_s);
        QCOMPARE(exit->property("value").toString(), up ? u"203.0.113.7"_s : u"—"_s);
        QCOMPARE(exit->property("meta").toString(), up ? u"Korumadasın"_s : u"Bağlı değil"_s);
        QVERIFY(qAbs(original->width() - exit->width()) < 1);
        QVERIFY(p.ui.save(p.ui.grab(), u"main-"_s + screenshot));
    }

    void serverLineAndPicker() {
        Popup p;
        QVERIFY(p.open());
        p.signIn();
        QCOMPARE(p.shown(u"serverName"_s), u"En iyi lokasyon"_s);
        QVERIFY(p.state->bestServer());
        QCOMPARE(p.shown(u"serverDestination"_s), p.state->bestServer()->city + u" · şu an en uygun"_s);
        p.state->setActiveServerId(u"de-1"_s);
        QCOMPARE(p.shown(u"serverName"_s), u"Frankfurt"_s);
        QCOMPARE(p.shown(u"serverDestination"_s), u"Almanya · %12"_s);
        p.ui.click(p.ui.find(u"serverLineButton"_s));
        p.ui.grab();
        QQuickItem* picker = p.ui.find(u"serverPicker"_s);
        QVERIFY(picker);
        QVERIFY(!p.ui.find(u"ipRow"_s));
        QVERIFY(picker->height() <= 210);
        QVERIFY(p.ui.find(u"pickerChevron"_s)->property("source").toString().contains(u"/chevron-up/"_s));
        QVERIFY(p.ui.save(p.ui.grab(), u"main-picker"_s));
        // Tier labels: exact "PLUS" only.
        QStringList tiers;
        for (QQuickItem* row : picker->property("contentItem").value<QQuickItem*>()->childItems())
            if (QQuickItem* t = PopupFixture::findChild(row, u"tierLabel"_s)) tiers << text(t);
        QCOMPARE(tiers, (QStringList{u"Ücretsiz"_s, u"Plus"_s, u"Ücretsiz"_s}));
        // A long list stays at 210.
        QList<Server> many;
        for (int i = 0; i < 2000; ++i) many << server(QByteArray("s" + QByteArray::number(i)).constData(), "DE", "Köln", i, i);
        p.state->setServers(many);
        p.ui.grab();
        QCOMPARE(p.ui.find(u"serverPicker"_s)->height(), 210.0);
        // Where the screen has less room than the card wants (a long notice above the open list), the
        // list gives up what is missing and the card keeps to the room; with room again it grows back.
        p.state->setNotice(winterNotice());
        const qreal full = p.height();
        const int room = int(full) - 120;
        p.ui.root->setProperty("maxCardHeight", room);
        QCOMPARE(p.height(), qreal(room));
        QCOMPARE(p.ui.find(u"serverPicker"_s)->height(), 90.0);
        p.ui.root->setProperty("maxCardHeight", 0);
        QCOMPARE(p.height(), full);
        QCOMPARE(p.ui.find(u"serverPicker"_s)->height(), 210.0);
    }

    void emptyListAndErrorStrip() {
        Popup p;
        QVERIFY(p.open());
        p.signIn();
        p.state->setServers({});
        QCOMPARE(p.shown(u"serverName"_s), u"En iyi lokasyon"_s);
        QCOMPARE(p.shown(u"serverDestination"_s), u"Yükleniyor..."_s);
        QCOMPARE(p.shown(u"serverFlag"_s), QString::fromUcs4(U"\U0001F30D"));
        const qreal before = p.height();
        QQuickItem* strip = p.ui.find(u"errorStrip"_s);
        QCOMPARE(strip->opacity(), 0.0);
        p.state->setErrorMessage(QString(400, u'x'));
        QCOMPARE(p.height(), before);
        QCOMPARE(strip->opacity(), 1.0);
        QCOMPARE(strip->height(), 14.0);
        QVERIFY(strip->property("truncated").toBool());
    }

    void banners() {
        Popup p;
        QVERIFY(p.open());
        const qreal bare = p.height();
        Updater::Info info;
        info.version = u"2.0.0"_s;
        info.url = u"https://kestrava.app/u.squashfs"_s;
        p.state->setUpdateInfo(info);
        Campaign c = winterNotice();
        p.state->setNotice(c);
        const qreal both = p.height();
        QQuickItem* update = p.ui.find(u"updateBannerSlot"_s);
        QQuickItem* notice = p.ui.find(u"noticeBannerSlot"_s);
        QQuickItem* body = p.ui.find(u"body"_s);
        QVERIFY(update && notice && body);
        QVERIFY(update->y() < notice->y() && notice->y() < body->y());
        QCOMPARE(both, bare + update->height() + notice->height());
        QCOMPARE(p.shown(u"updateText"_s), u"Yeni sürüm 2.0.0 hazır — Güncelle"_s);
        QCOMPARE(p.shown(u"noticeCta"_s), u"İncele →"_s);
        QVERIFY(p.ui.save(p.ui.grab(), u"banners"_s));
        const QImage shot = p.ui.grab();
        QVERIFY(near(pixelAt(shot, update, {update->width() - 30, update->height() / 2}), QColor::fromRgbF(0.976f, 0.769f, 0.263f)));
        // Its left edge is drawn alike from where the rounded corner ends to its foot: no dark step between.
        const QColor foot = pixelAt(shot, update, {0.5, update->height() - 1.5});
        for (int y = 18; y < int(update->height()) - 1; ++y)
            QVERIFY2(near(pixelAt(shot, update, {0.5, y + 0.5}), foot, 16), qPrintable(u"row %1"_s.arg(y)));

        // While updating, the text changes and presses do nothing.
        p.state->setUpdating(true);
        QCOMPARE(p.shown(u"updateText"_s), u"Güncelleme indiriliyor…"_s);
        p.ui.click(p.ui.find(u"updateButton"_s));
        QCOMPARE(p.h.installs, 0);
        p.state->setUpdating(false);

        // Without a link there is no call to action; a long body is never cut.
        c.url.reset();
        c.body = QString(600, u'y').replace(u"yyyyy"_s, u"yyyy "_s);
        p.state->setNotice(c);
        p.ui.grab();
        QVERIFY(!p.ui.find(u"noticeCta"_s));
        QQuickItem* bodyText = p.ui.find(u"noticeBody"_s);
        QVERIFY(bodyText->height() >= bodyText->property("contentHeight").toReal());
        QVERIFY(p.ui.find(u"noticeBannerSlot"_s)->height() > 80);
        // Closing drops the banner at once.
        p.ui.click(p.ui.find(u"noticeClose"_s));
        QVERIFY(!p.state->notice());
        QVERIFY(!p.ui.find(u"noticeBannerSlot"_s));
    }

    // Connected with both banners, the links, quit and sign-out still answer.
    void linksAndQuit() {
        Popup p;
        QVERIFY(p.open());
        p.connectedWithUpdate();
        Campaign c = winterNotice(u"PLUS şimdi %40 indirimli"_s);
        c.cta = u"Fırsatı gör"_s;
        p.state->setNotice(c);
        QCOMPARE(p.shown(u"noticeCta"_s), u"Fırsatı gör"_s);
        QCOMPARE(p.shown(u"upgradeText"_s), u"Paketler"_s);
        QVERIFY(p.ui.save(p.ui.grab(), u"main-banners"_s));
        p.ui.click(p.ui.find(u"planBadge"_s));
        QCOMPARE(p.h.opened.size(), 1);
        QVERIFY(p.h.opened.last().toString().endsWith(u"/#plans"_s));
        QSignalSpy quits(p.model.get(), &PopupModel::quitRequested);
        // The whole strip reacts, also beside the label.
        QQuickItem* quit = p.ui.find(u"quitButton"_s);
        QTest::mouseClick(p.ui.window.get(), Qt::LeftButton, {}, quit->mapToScene(QPointF(3, quit->height() / 2)).toPoint());
        QCOMPARE(quits.count(), 1);
        p.ui.click(p.ui.find(u"logoutButton"_s));
        QVERIFY(!p.state->token());
        p.ui.grab();
        QVERIFY(p.ui.find(u"loginTitle"_s));
    }

    // A user's first session by pointer over the stand-in service and the simulated tunnel.
    void signInConnectDisconnect() {
        QVERIFY(serve());
        Popup p;
        QVERIFY(p.open(true));
        PopupFixture& ui = p.ui;
        StateHarness& h = p.h;
        AppState& state = *p.state;
        // A wrong password first: the service's own text, and no token.
        QVERIFY(ui.typeInto(u"emailField"_s, u"a@kestrava.test"_s));
        QVERIFY(ui.typeInto(u"passwordField"_s, u"wrong"_s));
        ui.click(ui.find(u"loginButton"_s));
        QVERIFY(h.drive([&] { return state.errorMessage().has_value() && !state.busy(); }));
        QCOMPARE(p.shown(u"loginError"_s), *state.errorMessage());
        QVERIFY(!state.token());
        QVERIFY(ui.find(u"passwordField"_s)->setProperty("text", QString()));
        QVERIFY(ui.typeInto(u"passwordField"_s, u"pw"_s));
        p.press(Qt::Key_Return); // does not submit
        QVERIFY(ui.find(u"loginTitle"_s));
        ui.click(ui.find(u"loginButton"_s));
        QVERIFY(h.drive([&] { return ui.find(u"headline"_s) != nullptr; }));
        QVERIFY(!state.errorMessage());
        // The list arrives with the next 30-second refresh.
        QVERIFY(h.drive([&] { return !state.servers().isEmpty(); }, 800));
        QCOMPARE(p.shown(u"accountEmail"_s), u"a@kestrava.test"_s);
        QVERIFY(ui.save(ui.grab(), u"click-signed-in"_s));

        // The server line opens the picker with every server, and closes it again.
        ui.click(ui.find(u"serverLineButton"_s));
        ui.grab();
        QVERIFY(ui.find(u"serverPicker"_s));
        QCOMPARE(ui.find(u"serverPicker"_s)->property("count").toInt(), state.servers().size());
        ui.click(ui.find(u"serverLineButton"_s));
        ui.grab();
        QVERIFY(!ui.find(u"serverPicker"_s));
        QVERIFY(ui.find(u"ipRow"_s));

        // A row of the picker closes it and connects to that server.
        QVERIFY(h.drive([&] { return state.originalIp().has_value(); }));
        ui.click(ui.find(u"serverLineButton"_s));
        ui.grab();
        QQuickItem* content = ui.find(u"serverPicker"_s)->property("contentItem").value<QQuickItem*>();
        const QList<QQuickItem*> rows = content->childItems();
        const auto row = std::find_if(rows.begin(), rows.end(), [](QQuickItem* r) { return r->property("serverId") == u"tr-1"_s; });
        QVERIFY(row != rows.end());
        ui.click(*row);
        QVERIFY(h.drive([&] { return state.status() == ConnectionStatus::connected; }));
        QCOMPARE(state.activeServerId(), u"tr-1"_s);
        QVERIFY(!ui.find(u"serverPicker"_s));
        QCOMPARE(p.shown(u"headline"_s), u"Korumadasın"_s);
        // The geo lookup now answers as through the tunnel: the exit card shows it, the other keeps the old one.
        QJsonObject scenario = m_scenario;
        scenario.insert(u"geo"_s, QJsonObject{{u"ip"_s, u"203.0.113.7"_s}, {u"city"_s, u"İstanbul"_s}, {u"countryCode"_s, u"TR"_s}});
        QVERIFY(m_service.setScenario(scenario));
        QVERIFY(h.drive([&] { return state.exitIp() == u"203.0.113.7"_s; }, 800));
        ui.grab();
        const auto card = [&](const char* name, const char* part) {
            return text(PopupFixture::findChild(ui.find(QString::fromLatin1(name)), QString::fromLatin1(part)));
        };
        QCOMPARE(card("exitCard", "cardValue"), u"203.0.113.7"_s);
        QCOMPARE(card("originalCard", "cardValue"), u"192.0.2.44"_s);
        // Capitals as Turkish writes them: the dotted İ.
        QCOMPARE(card("originalCard", "cardTitle"), u"ORİJİNAL IP"_s);
        QCOMPARE(card("exitCard", "cardTitle"), u"VPN ÇIKIŞ IP"_s);
        QVERIFY(ui.save(ui.grab(), u"click-connected"_s));

        // The power button takes it down, and up again to the remembered server.
        QVERIFY(m_service.setScenario(m_scenario));
        ui.click(ui.find(u"powerButton"_s));
        QVERIFY(h.drive([&] { return state.status() == ConnectionStatus::idle && !state.busy(); }));
        QCOMPARE(p.shown(u"headline"_s), u"Dokun, kalkışa geç"_s);
        ui.click(ui.find(u"powerButton"_s));
        QVERIFY(h.drive([&] { return state.status() == ConnectionStatus::connected; }));
        QCOMPARE(state.activeServerId(), u"tr-1"_s);
        // Signed out, a fresh form: nothing typed survives.
        ui.click(ui.find(u"logoutButton"_s));
        ui.grab();
        QVERIFY(ui.find(u"loginTitle"_s));
        QCOMPARE(p.shown(u"emailField"_s), QString());
        QCOMPARE(ui.find(u"passwordField"_s)->property("echoMode").toInt(), 2);
    }

    // The keyboard alone signs in and connects; a screen reader finds every control by role and name.
    void keyboardAlone() {
        QVERIFY(serve());
        Popup p;
        QVERIFY(p.open(true));
        PopupFixture& ui = p.ui;
        AppState& state = *p.state;
        ui.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(ui.window.get()));
        ui.grab();
        const QStringList form{u"button:Yeni sürüm 9.0.0 hazır — Güncelle"_s, // the stand-in offers an update
                               u"field:E-posta"_s, u"field:Şifre*"_s, u"button:Şifreyi göster"_s, u"button:Giriş yap"_s,
                               u"button:Şifremi unuttum"_s, u"button:Hesabın yok mu? Kayıt ol"_s, u"button:Kestrava’yı Kapat"_s};
        QCOMPARE(controls(ui.window.get()), form);

        // The form opens ready for the e-mail; Tab takes the typing on to the password.
        QCOMPARE(ui.window->activeFocusItem(), ui.find(u"emailField"_s));
        ui.type(u"demo@kestrava.app"_s);
        QTest::keyClick(ui.window.get(), Qt::Key_Tab);
        ui.type(u"pw"_s);
        QCOMPARE(p.shown(u"emailField"_s), u"demo@kestrava.app"_s);
        QCOMPARE(p.shown(u"passwordField"_s), u"pw"_s);
        // Escape in a field asks for the popup to go away, as a press outside it does; nothing typed is lost.
        QSignalSpy away(ui.root, SIGNAL(outsidePressed()));
        QTest::keyClick(ui.window.get(), Qt::Key_Escape);
        QCOMPARE(away.count(), 1);
        QCOMPARE(p.shown(u"passwordField"_s), u"pw"_s);

        // Every control of the form in order, and back again the other way.
        p.press(Qt::Key_Tab, Qt::ShiftModifier);
        const QStringList forward = p.tabCycle();
        const QStringList expected{u"E-posta"_s, u"Şifre"_s, u"Şifreyi göster"_s, u"Giriş yap"_s, u"Şifremi unuttum"_s,
                                   u"Hesabın yok mu? Kayıt ol"_s, u"Kestrava’yı Kapat"_s, u"Yeni sürüm 9.0.0 hazır — Güncelle"_s};
        QCOMPARE(forward, expected);
        QStringList backward = p.tabCycle(Qt::ShiftModifier);
        std::rotate(backward.begin(), backward.begin() + 1, backward.end());
        std::reverse(backward.begin(), backward.end());
        QCOMPARE(backward, expected);

        // Space on the eye shows the password; Return in a field still does not submit.
        QVERIFY(p.tabTo([](const QString& n) { return n == u"Şifreyi göster"_s; }));
        p.press(Qt::Key_Space);
        QCOMPARE(p.focused(), u"Şifreyi gizle"_s);
        QCOMPARE(ui.find(u"passwordField"_s)->property("echoMode").toInt(), 0);
        ui.find(u"passwordField"_s)->forceActiveFocus();
        p.press(Qt::Key_Return);
        QVERIFY(ui.find(u"loginTitle"_s));
        p.press(Qt::Key_Tab); // the eye
        p.press(Qt::Key_Tab);
        QCOMPARE(p.focused(), u"Giriş yap"_s);
        p.press(Qt::Key_Space);
        QVERIFY(p.h.drive([&] { return ui.find(u"headline"_s) != nullptr; }));
        QVERIFY(p.h.drive([&] { return !state.servers().isEmpty(); }, 800));
        // An ordinary address fits the account row whole.
        QCOMPARE(p.shown(u"accountEmail"_s), u"demo@kestrava.app"_s);
        QVERIFY(!ui.find(u"accountEmail"_s)->property("truncated").toBool());
        ui.save(ui.grab(), u"keyboard-signed-in"_s);

        // Tab to the server line, Space opens the picker, Tab to a server, Space connects to it.
        QVERIFY(p.tabTo([](const QString& n) { return n.startsWith(u"Sunucu seç: "_s); }));
        p.press(Qt::Key_Space);
        QVERIFY(ui.find(u"serverPicker"_s));
        // Signed in, the list open: every control is named, the ones a user needs among them.
        const QStringList all = controls(ui.window.get());
        QVERIFY(std::none_of(all.begin(), all.end(), [](const QString& c) { return c.section(u':', 1).trimmed().isEmpty(); }));
        for (const QString& wanted : {u"button:Bağlan"_s, u"button:Oturumu kapat"_s, u"button:Kestrava’yı Kapat"_s})
            QVERIFY2(all.contains(wanted), qPrintable(wanted));
        const auto tr = std::find_if(state.servers().cbegin(), state.servers().cend(), [](const Server& s) { return s.id == u"tr-1"_s; });
        QVERIFY(tr != state.servers().cend());
        QVERIFY(p.tabTo([&](const QString& n) { return n.startsWith(tr->city + u", "_s); }));
        p.press(Qt::Key_Space);
        QVERIFY(p.h.drive([&] { return state.status() == ConnectionStatus::connected; }));
        QCOMPARE(state.activeServerId(), u"tr-1"_s);
        // The power button, by its name while connected, takes it down.
        QVERIFY(p.tabTo([](const QString& n) { return n == u"Bağlantıyı kes"_s; }));
        p.press(Qt::Key_Space);
        QVERIFY(p.h.drive([&] { return state.status() == ConnectionStatus::idle && !state.busy(); }));
        ui.grab();
        QCOMPARE(p.focused(), u"Bağlan"_s);
    }

    // Hiding gives memory back but keeps the window and items: shown again, the same pixels.
    void drawsTheSameAfterHideAndRelease() {
        QVERIFY(serve());
        Popup p;
        QVERIFY(p.open());
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && qEnvironmentVariableIsEmpty("QMLSCENE_DEVICE") &&
            qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND"))
            QCOMPARE(p.ui.window->rendererInterface()->graphicsApi(), QSGRendererInterface::Software);
        const QImage signedOut = hideReleaseShow(p.ui, p.ui.grab());
        QVERIFY(!signedOut.isNull());
        QVERIFY(near(pixelAt(signedOut, p.ui.find(u"statusDot"_s), {3.5, 3.5}), red));
        // Signed in and connected, with an update banner: the mint power button, flags and shadows.
        p.connectedWithUpdate();
        const QImage connected = p.ui.grab();
        for (int round = 0; round < 2; ++round) { // a second release finds nothing left to break
            const QImage shown = hideReleaseShow(p.ui, connected);
            QVERIFY2(!shown.isNull(), "the popup drew something else after a hide and a release");
            QVERIFY(near(pixelAt(shown, p.ui.find(u"powerCore"_s), {20, 55}), mint));
            QVERIFY(near(pixelAt(shown, p.ui.find(u"statusDot"_s), {3.5, 3.5}), mint));
        }
        // It still follows the state.
        p.state->setStatus(ConnectionStatus::connecting);
        QVERIFY(near(p.pixel(u"powerCore"_s, {20, 55}), red));
        QVERIFY(p.ui.save(p.ui.grab(), u"released-then-connecting"_s));
    }

    // The shell releases once the panel is hidden, after the hide, and never while it is shown.
    void shellReleasesOnlyWhileHidden() {
        QVERIFY(serve());
        Shell s;
        QStringList steps;
        bool visibleDuringRelease = false;
        QObject::connect(s.shell.get(), &TrayShell::releasing, [&] {
            visibleDuringRelease = visibleDuringRelease || s.shell->panelVisible();
        });
        QObject::connect(s.shell.get(), &TrayShell::released, [&] { steps << u"done"_s; });
        QVERIFY(s.show());
        QQuickWindow* window = s.shell->panel();
        QQuickItem* popup = s.shell->popupItem();
        s.shell->closePanel();
        QVERIFY(steps.isEmpty()); // not before the hide has gone out
        QVERIFY(QTest::qWaitFor([&] { return steps.contains(u"done"_s); }, 2000));
        QVERIFY(!visibleDuringRelease);
        // Closed and shown again before the event loop ran: nothing is released under a shown panel.
        steps.clear();
        QVERIFY(s.show());
        s.shell->closePanel();
        s.shell->showPanel();
        bool turned = false; // queued after the shell's own deferred release
        QTimer::singleShot(0, [&] { turned = true; });
        QVERIFY(QTest::qWaitFor([&] { return turned; }, 2000));
        QVERIFY(steps.isEmpty());
        QVERIFY(s.shell->panelVisible());
        QCOMPARE(s.shell->panel(), window);
        QCOMPARE(s.shell->popupItem(), popup);
    }

    // A popup left hidden is destroyed, unless a new one would lose what the user opened or typed;
    // made anew it draws what the old one drew.
    void hiddenPopupIsDroppedUnlessTouched_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("dropped");
        QTest::newRow("sign-in form, empty") << false << u"LoginView"_s << QString() << QVariant() << true;
        QTest::newRow("an e-mail typed") << false << u"LoginView"_s << u"email"_s << QVariant(u"a@b.co"_s) << false;
        QTest::newRow("the password shown") << false << u"LoginView"_s << u"showPassword"_s << QVariant(true) << false;
        QTest::newRow("signed in") << true << u"MainView"_s << QString() << QVariant() << true;
        QTest::newRow("the list open") << true << u"MainView"_s << u"showPicker"_s << QVariant(true) << false;
    }
    void hiddenPopupIsDroppedUnlessTouched() {
        QVERIFY(serve());
        QFETCH(bool, signedIn);
        QFETCH(QString, view);
        QFETCH(QString, property);
        QFETCH(QVariant, value);
        QFETCH(bool, dropped);
        // The popup's bitmaps get memory of their own, which a drop must give back.
        ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
        const size_t mappedBefore = ::mallinfo2().hblkhd;
        Shell s(0);
        TrayShell& shell = *s.shell;
        if (signedIn) {
            shell.state().setEmail(u"ayse@example.com"_s);
            shell.state().setToken(u"tok"_s);
            shell.state().setServers({server("tr-1", "TR", "İstanbul"), server("de-1", "DE", "Frankfurt")});
        }
        QVERIFY(s.show());
        // The view the body shows: the sign-in form or the main view.
        QQuickItem* body = PopupFixture::findChild(shell.popupItem(), u"body"_s);
        QVERIFY(body);
        QQuickItem* item = body->property("item").value<QQuickItem*>();
        QVERIFY(item && QByteArray(item->metaObject()->className()).startsWith(view.toLatin1()));
        if (!property.isEmpty()) QVERIFY(item->setProperty(property.toUtf8(), value));
        const auto grab = [&] {
            QTest::qWait(0);
            return shell.panel()->grabWindow();
        };
        const QImage before = grab();
        const long filePagesShown = Measure::memory().fileKiB;
        QQuickItem* popup = shell.popupItem();
        QStringList steps;
        QObject::connect(&shell, &TrayShell::releasing, [&](bool gone) { steps << (gone ? u"dropped"_s : u"hidden"_s); });
        QObject::connect(&shell, &TrayShell::released, [&] { steps << u"done"_s; });
        shell.closePanel();
        // The release on hide runs first; the drop, if any, once its timer ran.
        QVERIFY(QTest::qWaitFor([&] { return steps.contains(u"done"_s) && !shell.dropPending(); }, 2000));
        QCOMPARE(steps.contains(u"dropped"_s), dropped);
        // Once dropped, no bitmap stays but the test's own picture (in its page-rounded mapping).
        if (dropped) QCOMPARE_LE(::mallinfo2().hblkhd, mappedBefore + size_t(before.sizeInBytes()) + 4096);
        // And Qt Quick's and the fonts' pages leave the resident set (megabytes of them).
        if (dropped) QCOMPARE_LT(Measure::memory().fileKiB, filePagesShown - 1024);
        QVERIFY(s.show());
        QCOMPARE(shell.popupItem() == popup, !dropped);
        QCOMPARE(grab(), before);
    }
};

QTEST_MAIN(PopupTest)
#include "popup_test.moc"
