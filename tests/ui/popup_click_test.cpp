#include "popup_fixture.h"

#include "state/app_state.h"
#include "support/dev_service.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "ui/popup_model.h"

#include <QJsonObject>
#include <QTest>

// A user's first session, through the real popup: the stand-in service over loopback and the
// simulated tunnel; only the pointer and the keyboard are driven.
class PopupClickTest : public QObject {
    Q_OBJECT
    DevService m_service;

    // The picker's row for that server, among the rows it has made.
    static QQuickItem* rowFor(QQuickItem* picker, const QString& id) {
        if (!picker) return nullptr;
        auto* content = picker->property("contentItem").value<QQuickItem*>();
        for (QQuickItem* item : content ? content->childItems() : QList<QQuickItem*>())
            if (item->property("serverId").toString() == id) return item;
        return nullptr;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }

    void signInConnectDisconnect() {
        TestEnv env;
        StateHarness h;
        std::unique_ptr<AppState> state = h.make(env.defaults(), true);
        QVERIFY(h.drive([&] { return !state->startingUp(); }));
        PopupModel model(*state, [&](const QUrl& u) { h.opened << u; });
        PopupFixture ui;
        QVERIFY(ui.load(model));

        QVERIFY(ui.typeInto(u"emailField"_qs, u"a@kestrava.test"_qs));
        QVERIFY(ui.typeInto(u"passwordField"_qs, u"pw"_qs));
        // Return does not submit.
        QTest::keyClick(ui.window.get(), Qt::Key_Return);
        ui.grab();
        QVERIFY(ui.find(u"loginTitle"_qs));
        ui.click(ui.find(u"loginButton"_qs));
        QVERIFY(h.drive([&] { return ui.find(u"headline"_qs) != nullptr; }));
        QVERIFY(!state->errorMessage());
        // The list arrives with the next 30-second refresh.
        QVERIFY(h.drive([&] { return !state->servers().isEmpty(); }, 800));
        ui.grab();
        QCOMPARE(ui.find(u"accountEmail"_qs)->property("text").toString(), u"a@kestrava.test"_qs);
        QVERIFY(ui.save(ui.grab(), u"click-signed-in"_qs));

        // The server line opens the picker with every server, and closes it again.
        ui.click(ui.find(u"serverLineButton"_qs));
        ui.grab();
        QQuickItem* picker = ui.find(u"serverPicker"_qs);
        QVERIFY(picker);
        QCOMPARE(picker->property("count").toInt(), state->servers().size());
        ui.click(ui.find(u"serverLineButton"_qs));
        ui.grab();
        QVERIFY(!ui.find(u"serverPicker"_qs));
        QVERIFY(ui.find(u"ipRow"_qs));

        // A row of the picker closes it and connects to that server.
        QVERIFY(h.drive([&] { return state->originalIp().has_value(); }));
        ui.click(ui.find(u"serverLineButton"_qs));
        ui.grab();
        QQuickItem* row = rowFor(ui.find(u"serverPicker"_qs), u"tr-1"_qs);
        QVERIFY(row);
        ui.click(row);
        QVERIFY(h.drive([&] { return state->status() == ConnectionStatus::connected; }));
        QCOMPARE(state->activeServerId(), u"tr-1"_qs);
        ui.grab();
        QVERIFY(!ui.find(u"serverPicker"_qs));
        QCOMPARE(ui.find(u"headline"_qs)->property("text").toString(), u"Korumadasın"_qs);
        // From now on the geo lookup answers as it does through the tunnel; the next refresh shows
        // it as the exit address, and the real address card keeps the one seen before.
        QJsonObject scenario = basicScenario();
        scenario.insert(u"geo"_qs, QJsonObject{{u"ip"_qs, u"203.0.113.7"_qs}, {u"city"_qs, u"İstanbul"_qs},
                                                {u"countryCode"_qs, u"TR"_qs}});
        QVERIFY(m_service.setScenario(scenario));
        QVERIFY(h.drive([&] { return state->exitIp() == u"203.0.113.7"_qs; }, 800));
        ui.grab();
        QCOMPARE(PopupFixture::findChild(ui.find(u"exitCard"_qs), u"cardValue"_qs)->property("text").toString(),
                 u"203.0.113.7"_qs);
        QCOMPARE(PopupFixture::findChild(ui.find(u"originalCard"_qs), u"cardValue"_qs)->property("text").toString(),
                 u"192.0.2.44"_qs);
        // Capitals as Turkish writes them: the dotted İ.
        QCOMPARE(PopupFixture::findChild(ui.find(u"originalCard"_qs), u"cardTitle"_qs)->property("text").toString(),
                 u"ORİJİNAL IP"_qs);
        QCOMPARE(PopupFixture::findChild(ui.find(u"exitCard"_qs), u"cardTitle"_qs)->property("text").toString(),
                 u"VPN ÇIKIŞ IP"_qs);

        QVERIFY(ui.save(ui.grab(), u"click-connected"_qs));

        // The power button takes it down, and up again to the remembered server.
        QVERIFY(m_service.setScenario(basicScenario()));
        ui.click(ui.find(u"powerButton"_qs));
        QVERIFY(h.drive([&] { return state->status() == ConnectionStatus::idle && !state->busy(); }));
        ui.grab();
        QCOMPARE(ui.find(u"headline"_qs)->property("text").toString(), u"Dokun, kalkışa geç"_qs);
        ui.click(ui.find(u"powerButton"_qs));
        QVERIFY(h.drive([&] { return state->status() == ConnectionStatus::connected; }));
        QCOMPARE(state->activeServerId(), u"tr-1"_qs);

        ui.click(ui.find(u"logoutButton"_qs));
        ui.grab();
        QVERIFY(ui.find(u"loginTitle"_qs));
        // A fresh form: nothing typed survives the sign-out.
        QCOMPARE(ui.find(u"emailField"_qs)->property("text").toString(), QString());
        QCOMPARE(ui.find(u"passwordField"_qs)->property("echoMode").toInt(), 2);
    }

    void wrongPasswordShowsTheServiceText() {
        TestEnv env;
        StateHarness h;
        std::unique_ptr<AppState> state = h.make(env.defaults());
        PopupModel model(*state);
        PopupFixture ui;
        QVERIFY(ui.load(model));
        QVERIFY(ui.typeInto(u"emailField"_qs, u"a@kestrava.test"_qs));
        QVERIFY(ui.typeInto(u"passwordField"_qs, u"wrong"_qs));
        ui.click(ui.find(u"loginButton"_qs));
        QVERIFY(h.drive([&] { return state->errorMessage().has_value() && !state->busy(); }));
        ui.grab();
        QQuickItem* error = ui.find(u"loginError"_qs);
        QVERIFY(error);
        QCOMPARE(error->property("text").toString(), *state->errorMessage());
        QVERIFY(!state->token());
    }
};

QTEST_MAIN(PopupClickTest)
#include "popup_click_test.moc"
