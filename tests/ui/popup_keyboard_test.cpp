#include "popup_fixture.h"

#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "ui/popup_model.h"

#include <QAccessible>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <functional>

// The popup without a mouse: the keyboard alone signs in and connects, and a screen reader finds
// every control by its role and a Turkish name.
class PopupKeyboardTest : public QObject {
    Q_OBJECT
    DevService m_service;

    struct Control {
        QAccessible::Role role;
        QString name;
        bool secret = false; // a screen reader does not read it out
        bool operator==(const Control&) const = default;
    };

    // Every button and text field the accessibility tree shows, in tree order.
    static QList<Control> controls(QQuickWindow* window) {
        QList<Control> out;
        std::function<void(QAccessibleInterface*, int)> walk = [&](QAccessibleInterface* node, int depth) {
            if (!node || depth > 64) return;
            const QAccessible::Role role = node->role();
            if ((role == QAccessible::Button || role == QAccessible::EditableText) && !node->state().invisible)
                out.append({role, node->text(QAccessible::Name), bool(node->state().passwordEdit)});
            for (int i = 0; i < node->childCount(); ++i) walk(node->child(i), depth + 1);
        };
        walk(QAccessible::queryAccessibleInterface(window), 0);
        return out;
    }

    static QString focusedName(QQuickWindow* window) {
        QQuickItem* item = window->activeFocusItem();
        return item ? item->property("name").toString() + item->property("placeholder").toString() : QString();
    }

    // The names Tab (or Shift+Tab) visits from the focused item until it comes round again; bounded.
    static QStringList tabCycle(PopupFixture& ui, Qt::KeyboardModifiers mods = {}) {
        QStringList seen;
        QQuickItem* first = ui.window->activeFocusItem();
        for (int i = 0; i < 40; ++i) {
            seen << focusedName(ui.window.get());
            QTest::keyClick(ui.window.get(), Qt::Key_Tab, mods);
            ui.grab();
            if (ui.window->activeFocusItem() == first) break;
        }
        return seen;
    }

private Q_SLOTS:
    void initTestCase() {
        // The demo's address, an ordinary one: it must fit the account row.
        QJsonObject scenario = basicScenario();
        QJsonArray accounts = scenario.value(u"accounts"_qs).toArray();
        QJsonObject account = accounts.at(0).toObject();
        QJsonObject user = account.value(u"user"_qs).toObject();
        account.insert(u"email"_qs, u"demo@kestrava.app"_qs);
        user.insert(u"email"_qs, u"demo@kestrava.app"_qs);
        account.insert(u"user"_qs, user);
        accounts.replace(0, account);
        scenario.insert(u"accounts"_qs, accounts);
        QVERIFY(startServiceForProcess(m_service, scenario));
    }

    void keyboardAloneSignsInAndConnects() {
        TestEnv env;
        StateHarness h;
        std::unique_ptr<AppState> state = h.make(env.defaults(), true);
        QVERIFY(h.drive([&] { return !state->startingUp(); }));
        PopupModel model(*state, [&](const QUrl& u) { h.opened << u; });
        PopupFixture ui;
        QVERIFY(ui.load(model));
        ui.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(ui.window.get()));
        ui.grab();

        // The form opens ready for the e-mail; Tab takes the typing on to the password.
        QCOMPARE(ui.window->activeFocusItem(), ui.find(u"emailField"_qs));
        ui.type(u"demo@kestrava.app"_qs);
        QTest::keyClick(ui.window.get(), Qt::Key_Tab);
        ui.type(u"pw"_qs);
        QCOMPARE(ui.find(u"emailField"_qs)->property("text").toString(), u"demo@kestrava.app"_qs);
        QCOMPARE(ui.find(u"passwordField"_qs)->property("text").toString(), u"pw"_qs);
        // Escape in a field asks for the popup to go away, as a press outside it does; nothing typed is lost.
        QSignalSpy away(ui.root, SIGNAL(outsidePressed()));
        QTest::keyClick(ui.window.get(), Qt::Key_Escape);
        QCOMPARE(away.count(), 1);
        QCOMPARE(ui.find(u"passwordField"_qs)->property("text").toString(), u"pw"_qs);

        // Every control of the form in order, and back again the other way.
        QTest::keyClick(ui.window.get(), Qt::Key_Tab, Qt::ShiftModifier);
        ui.grab();
        const QStringList forward = tabCycle(ui);
        const QStringList expected{u"E-posta"_qs, u"Şifre"_qs, u"Şifreyi göster"_qs, u"Giriş yap"_qs,
                                   u"Şifremi unuttum"_qs, u"Hesabın yok mu? Kayıt ol"_qs, u"Kestrava’yı Kapat"_qs,
                                   u"Yeni sürüm 9.0.0 hazır — Güncelle"_qs};
        QVERIFY2(forward == expected, qPrintable(forward.join(u" | "_qs)));
        QStringList backward = tabCycle(ui, Qt::ShiftModifier);
        std::rotate(backward.begin(), backward.begin() + 1, backward.end());
        std::reverse(backward.begin(), backward.end());
        QCOMPARE(backward, expected);

        // Space on the eye shows the password; Return in a field still does not submit.
        while (focusedName(ui.window.get()) != u"Şifreyi göster"_qs) QTest::keyClick(ui.window.get(), Qt::Key_Tab);
        QTest::keyClick(ui.window.get(), Qt::Key_Space);
        ui.grab();
        QCOMPARE(focusedName(ui.window.get()), u"Şifreyi gizle"_qs);
        QCOMPARE(ui.find(u"passwordField"_qs)->property("echoMode").toInt(), 0 /* TextInput.Normal */);
        ui.find(u"passwordField"_qs)->forceActiveFocus();
        QTest::keyClick(ui.window.get(), Qt::Key_Return);
        ui.grab();
        QVERIFY(ui.find(u"loginTitle"_qs));

        QTest::keyClick(ui.window.get(), Qt::Key_Tab); // the eye
        QTest::keyClick(ui.window.get(), Qt::Key_Tab); // the sign-in button
        QCOMPARE(focusedName(ui.window.get()), u"Giriş yap"_qs);
        QTest::keyClick(ui.window.get(), Qt::Key_Space);
        QVERIFY(h.drive([&] { return ui.find(u"headline"_qs) != nullptr; }));
        QVERIFY(h.drive([&] { return !state->servers().isEmpty(); }, 800));
        ui.grab();
        // An ordinary address fits the account row whole.
        QCOMPARE(ui.find(u"accountEmail"_qs)->property("text").toString(), u"demo@kestrava.app"_qs);
        ui.save(ui.grab(), u"keyboard-signed-in"_qs);
        QQuickItem* email = ui.find(u"accountEmail"_qs);
        QVERIFY2(!email->property("truncated").toBool(), qPrintable(QStringLiteral("%1 wide of %2").arg(email->width()).arg(email->implicitWidth())));

        // Tab to the server line, Space opens the picker, Tab to a server, Space connects to it.
        auto tabTo = [&](const std::function<bool(const QString&)>& wanted) {
            for (int i = 0; i < 40 && !wanted(focusedName(ui.window.get())); ++i) {
                QTest::keyClick(ui.window.get(), Qt::Key_Tab);
                ui.grab();
            }
            return wanted(focusedName(ui.window.get()));
        };
        QVERIFY(tabTo([](const QString& n) { return n.startsWith(u"Sunucu seç: "_qs); }));
        QTest::keyClick(ui.window.get(), Qt::Key_Space);
        ui.grab();
        QVERIFY(ui.find(u"serverPicker"_qs));
        const auto server = std::find_if(state->servers().cbegin(), state->servers().cend(),
                                         [](const Server& s) { return s.id == u"tr-1"_qs; });
        QVERIFY(server != state->servers().cend());
        QVERIFY(tabTo([&](const QString& n) { return n.startsWith(server->city + u", "_qs); }));
        QTest::keyClick(ui.window.get(), Qt::Key_Space);
        const bool up = h.drive([&] { return state->status() == ConnectionStatus::connected; });
        QVERIFY2(up, qPrintable(QStringLiteral("status %1 error %2").arg(int(state->status()))
                                    .arg(state->errorMessage().value_or(QString()))));
        QCOMPARE(state->activeServerId(), u"tr-1"_qs);

        // The power button, by its name while connected, takes it down.
        ui.grab();
        QVERIFY(tabTo([](const QString& n) { return n == u"Bağlantıyı kes"_qs; }));
        QTest::keyClick(ui.window.get(), Qt::Key_Space);
        QVERIFY(h.drive([&] { return state->status() == ConnectionStatus::idle && !state->busy(); }));
        ui.grab();
        QCOMPARE(focusedName(ui.window.get()), u"Bağlan"_qs);
    }

    void everyControlHasARoleAndAName() {
        TestEnv env;
        StateHarness h;
        std::unique_ptr<AppState> state = h.make(env.defaults(), true);
        QVERIFY(h.drive([&] { return !state->startingUp(); }));
        PopupModel model(*state, [&](const QUrl&) {});
        PopupFixture ui;
        QVERIFY(ui.load(model));
        ui.grab();

        const QList<Control> form = controls(ui.window.get());
        const QList<Control> expected{
            {QAccessible::Button, u"Yeni sürüm 9.0.0 hazır — Güncelle"_qs}, // the stand-in offers an update
            {QAccessible::EditableText, u"E-posta"_qs}, {QAccessible::EditableText, u"Şifre"_qs, true},
            {QAccessible::Button, u"Şifreyi göster"_qs}, {QAccessible::Button, u"Giriş yap"_qs},
            {QAccessible::Button, u"Şifremi unuttum"_qs}, {QAccessible::Button, u"Hesabın yok mu? Kayıt ol"_qs},
            {QAccessible::Button, u"Kestrava’yı Kapat"_qs}};
        QStringList got;
        for (const Control& c : form) got << QString::number(int(c.role)) + u":"_qs + c.name + (c.secret ? u"*"_qs : QString());
        QVERIFY2(form == expected, qPrintable(got.join(u" | "_qs)));

        QVERIFY(ui.typeInto(u"emailField"_qs, u"demo@kestrava.app"_qs));
        QVERIFY(ui.typeInto(u"passwordField"_qs, u"pw"_qs));
        ui.click(ui.find(u"loginButton"_qs));
        QVERIFY(h.drive([&] { return ui.find(u"headline"_qs) != nullptr; }));
        QVERIFY(h.drive([&] { return !state->servers().isEmpty(); }, 800));
        ui.click(ui.find(u"serverLineButton"_qs));
        ui.grab();

        // Signed in, the picker open: every control is named, and the names a user needs are there.
        QSet<QString> names;
        for (const Control& c : controls(ui.window.get())) {
            QVERIFY2(!c.name.trimmed().isEmpty(), "a control without a name");
            names.insert(c.name);
        }
        for (const QString& wanted : {u"Bağlan"_qs, u"Oturumu kapat"_qs, u"Kestrava’yı Kapat"_qs})
            QVERIFY2(names.contains(wanted), qPrintable(wanted));
        QVERIFY(std::any_of(names.cbegin(), names.cend(), [](const QString& n) { return n.startsWith(u"Sunucu seç: "_qs); }));
        // One named row per server the picker made.
        const auto rows = std::count_if(names.cbegin(), names.cend(), [&](const QString& n) {
            return std::any_of(state->servers().cbegin(), state->servers().cend(),
                               [&](const Server& s) { return n.startsWith(s.city + u", "_qs); });
        });
        QVERIFY(rows >= 1);
    }
};

QTEST_MAIN(PopupKeyboardTest)

#include "popup_keyboard_test.moc"
