#include "popup_fixture.h"

#include "state/app_state.h"
#include "support/state_harness.h"
#include "support/test_env.h"
#include "ui/popup_model.h"

#include <QQmlProperty>
#include <QTest>

namespace {

const QColor mint = QColor::fromRgbF(0.176f, 0.831f, 0.655f);
const QColor red = QColor::fromRgbF(0.886f, 0.231f, 0.231f);

Server server(const char* id, const char* cc, const char* city, qint64 load, std::optional<qint64> ping, const char* tier) {
    Server s;
    s.id = QString::fromUtf8(id);
    s.countryCode = QString::fromUtf8(cc);
    s.country = QString::fromUtf8(cc) == u"TR"_qs ? u"Türkiye"_qs : u"Almanya"_qs;
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

// The provider's winter notice, with the body given.
Campaign winterNotice(const QString& body) {
    Campaign c;
    c.id = u"c1"_qs;
    c.title = u"Kış indirimi"_qs;
    c.body = body;
    c.url = u"https://kestrava.app/#plans"_qs;
    return c;
}

QString text(QQuickItem* item) { return item ? item->property("text").toString() : QStringLiteral("<missing>"); }

} // namespace

class PopupRenderTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<StateHarness> m_h;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<PopupModel> m_model;
    std::unique_ptr<PopupFixture> m_ui;

    QColor pixelAt(QQuickItem* item, QPointF local) {
        const QImage image = m_ui->grab();
        const QPoint p = item->mapToScene(local).toPoint();
        return image.pixelColor(int(p.x() * image.devicePixelRatio()), int(p.y() * image.devicePixelRatio()));
    }
    void signIn() {
        m_state->setEmail(u"ayse@example.com"_qs);
        m_state->setPlan(u"plus"_qs);
        m_state->setToken(u"tok"_qs);
        m_state->setServers({server("tr-1", "TR", "İstanbul", 40, 18, "FREE"), server("de-1", "DE", "Frankfurt", 12, std::nullopt, "PLUS"),
                             server("de-2", "DE", "Berlin", 70, 30, "plus")});
        m_state->setOriginalIp(u"192.0.2.44"_qs);
        m_state->setOriginalPlace(u"Ankara, TR"_qs);
    }
    // Every visible named part of the body lies within the popup's 24-point side padding; returns
    // how many were checked (0 after a failure, which is reported).
    int insidePadding() {
        m_ui->grab();
        QQuickItem* popup = m_ui->popup();
        const qreal left = popup->mapToScene({0, 0}).x() + 24, right = popup->mapToScene({popup->width(), 0}).x() - 24;
        QQuickItem* body = m_ui->find(u"body"_qs);
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
    qreal popupHeight() {
        m_ui->grab();
        return m_ui->popup()->height();
    }

private Q_SLOTS:
    void init() {
        m_env = std::make_unique<TestEnv>();
        m_h = std::make_unique<StateHarness>();
        m_state = m_h->make(m_env->defaults());
        m_model = std::make_unique<PopupModel>(*m_state, [this](const QUrl& u) { m_h->opened << u; });
        m_ui = std::make_unique<PopupFixture>();
        QVERIFY(m_ui->load(*m_model));
    }
    void cleanup() {
        m_ui.reset();
        m_model.reset();
        m_state.reset();
        m_h.reset();
        m_env.reset();
    }

    void signedOutEmpty() {
        QCOMPARE(m_ui->popup()->width(), 400.0);
        QVERIFY(m_ui->find(u"loginTitle"_qs));
        QCOMPARE(text(m_ui->find(u"loginTitle"_qs)), u"Kestrava’e giriş"_qs);
        QQuickItem* button = m_ui->find(u"loginButton"_qs);
        QVERIFY(button);
        QCOMPARE(button->opacity(), 0.55);
        QCOMPARE(text(m_ui->find(u"loginButtonText"_qs)), u"Giriş yap"_qs);
        QVERIFY(!m_ui->find(u"loginError"_qs));
        QVERIFY(near(pixelAt(m_ui->find(u"statusDot"_qs), {3.5, 3.5}), red));
        QCOMPARE(text(m_ui->find(u"statusPillText"_qs)), u"Kapalı"_qs);
        // Typing enables the button; the eye swaps the symbol and keeps the text.
        QQuickItem* password = m_ui->find(u"passwordField"_qs);
        QVERIFY(m_ui->typeInto(u"emailField"_qs, u"a"_qs));
        QVERIFY(m_ui->typeInto(u"passwordField"_qs, u"b c"_qs));
        m_ui->grab();
        QCOMPARE(button->opacity(), 1.0);
        QCOMPARE(password->property("echoMode").toInt(), 2); // Password
        m_ui->click(m_ui->find(u"eyeButton"_qs));
        m_ui->grab();
        QCOMPARE(password->property("echoMode").toInt(), 0); // Normal
        QCOMPARE(text(password), u"b c"_qs);
        QVERIFY(m_ui->find(u"eyeIcon"_qs)->property("source").toString().contains(u"/eye-slash/"_qs));
        QVERIFY(m_ui->save(m_ui->grab(), u"signed-out"_qs));
        // While the sign-in runs the button fades, drawn as mint at 0.55 over the card.
        const QColor faded = QColor::fromRgbF(0.125f, 0.494f, 0.416f);
        QVERIFY(near(pixelAt(button, {12, button->height() / 2}), mint));
        m_state->setBusy(true);
        m_ui->grab();
        QCOMPARE(button->opacity(), 0.55);
        QVERIFY(near(pixelAt(button, {12, button->height() / 2}), faded, 4));
    }

    // However long the e-mail address, every named part of the main view stays inside the popup's
    // 24-point side padding; the address elides instead.
    void mainViewKeepsItsPadding_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("plan");
        QTest::newRow("short") << u"a@b.co"_qs << u"plus"_qs;
        QTest::newRow("usual") << u"ayse@example.com"_qs << u"plus"_qs;
        QTest::newRow("usual, free plan") << u"ayse.yilmaz@example.com"_qs << u"free"_qs;
        QTest::newRow("very long") << QString(70, u'x') + u"@example.com"_qs << u"free"_qs;
    }
    void mainViewKeepsItsPadding() {
        QFETCH(QString, email);
        QFETCH(QString, plan);
        signIn();
        m_state->setEmail(email);
        m_state->setPlan(plan);
        m_ui->grab();
        QVERIFY(insidePadding() > 10);
        QQuickItem* shown = m_ui->find(u"accountEmail"_qs);
        if (email.size() > 40) QVERIFY(shown->property("truncated").toBool());
    }

    void signedOutWithError() {
        const qreal before = popupHeight();
        m_state->setErrorMessage(u"E-posta veya şifre hatalı. Lütfen bilgilerinizi kontrol edip yeniden deneyin; "
                                 u"sorun sürerse destek ekibimize yazın."_qs);
        QCOMPARE(text(m_ui->find(u"loginError"_qs)), m_state->errorMessage().value());
        // The sign-in error wraps and grows the form.
        QVERIFY(popupHeight() > before + 20);
        QVERIFY(insidePadding() > 5);
        QVERIFY(m_ui->save(m_ui->grab(), u"signed-out-error"_qs));
    }

    void captions_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("headline");
        QTest::addColumn<QString>("explanation");
        QTest::addColumn<QString>("screenshot");
        QTest::addColumn<bool>("mintCore");
        QTest::newRow("idle") << int(ConnectionStatus::idle) << "Dokun, kalkışa geç"
                              << "Gerçek IP’n görünür, bağlanınca çıkış IP’si atanır" << "idle" << false;
        QTest::newRow("connecting") << int(ConnectionStatus::connecting) << "Kalkışa geçiliyor..."
                                    << "Güvenli tünel kuruluyor" << "connecting" << false;
        QTest::newRow("connected") << int(ConnectionStatus::connected) << "Korumadasın"
                                   << "Trafiğin şifreli tünelden akıyor" << "connected" << true;
    }
    void captions() {
        QFETCH(int, status);
        QFETCH(QString, headline);
        QFETCH(QString, explanation);
        QFETCH(QString, screenshot);
        QFETCH(bool, mintCore);
        signIn();
        m_state->setStatus(ConnectionStatus(status));
        if (mintCore) m_state->setExitIp(u"203.0.113.7"_qs);
        m_ui->grab();
        QCOMPARE(text(m_ui->find(u"headline"_qs)), headline);
        QCOMPARE(text(m_ui->find(u"explanation"_qs)), explanation);
        QQuickItem* core = m_ui->find(u"powerCore"_qs);
        QVERIFY(core);
        QCOMPARE(core->width(), 110.0);
        // Away from the centre symbol, the core is the accent.
        QVERIFY(near(pixelAt(core, {20, 55}), mintCore ? mint : red));
        QVERIFY(near(pixelAt(m_ui->find(u"statusDot"_qs), {3.5, 3.5}), mintCore ? mint : red));
        QCOMPARE(text(m_ui->find(u"statusPillText"_qs)), mintCore ? u"Bağlı"_qs : u"Kapalı"_qs);
        QQuickItem* original = m_ui->find(u"originalCard"_qs);
        QQuickItem* exit = m_ui->find(u"exitCard"_qs);
        QCOMPARE(original->property("value").toString(), u"192.0.2.44"_qs);
        QCOMPARE(exit->property("value").toString(), mintCore ? u"203.0.113.7"_qs : u"—"_qs);
        QCOMPARE(exit->property("meta").toString(), mintCore ? u"Korumadasın"_qs : u"Bağlı değil"_qs);
        QCOMPARE(qAbs(original->width() - exit->width()) < 1, true);
        QVERIFY(m_ui->save(m_ui->grab(), u"main-"_qs + screenshot));
    }

    void serverLineAndPicker() {
        signIn();
        m_ui->grab();
        QCOMPARE(text(m_ui->find(u"serverName"_qs)), u"En iyi lokasyon"_qs);
        QVERIFY(m_state->bestServer());
        QCOMPARE(text(m_ui->find(u"serverDestination"_qs)), m_state->bestServer()->city + u" · şu an en uygun"_qs);
        m_state->setActiveServerId(u"de-1"_qs);
        QCOMPARE(text(m_ui->find(u"serverName"_qs)), u"Frankfurt"_qs);
        QCOMPARE(text(m_ui->find(u"serverDestination"_qs)), u"Almanya · %12"_qs);
        const qreal closed = popupHeight();
        m_ui->click(m_ui->find(u"serverLineButton"_qs));
        m_ui->grab();
        QQuickItem* picker = m_ui->find(u"serverPicker"_qs);
        QVERIFY(picker);
        QVERIFY(!m_ui->find(u"ipRow"_qs));
        QVERIFY(picker->height() <= 210);
        QVERIFY(m_ui->find(u"pickerChevron"_qs)->property("source").toString().contains(u"/chevron-up/"_qs));
        QVERIFY(m_ui->save(m_ui->grab(), u"main-picker"_qs));
        // Tier labels: exact "PLUS" only.
        QStringList tiers;
        for (QQuickItem* row : picker->property("contentItem").value<QQuickItem*>()->childItems())
            if (QQuickItem* t = PopupFixture::findChild(row, u"tierLabel"_qs)) tiers << text(t);
        QCOMPARE(tiers, (QStringList{u"Ücretsiz"_qs, u"Plus"_qs, u"Ücretsiz"_qs}));
        Q_UNUSED(closed);
        // A long list stays at 210.
        QList<Server> many;
        for (int i = 0; i < 2000; ++i) many << server(QByteArray("s" + QByteArray::number(i)).constData(), "DE", "Köln", i, i, "FREE");
        m_state->setServers(many);
        m_ui->grab();
        QCOMPARE(m_ui->find(u"serverPicker"_qs)->height(), 210.0);
        // Where the screen has less room than the card wants (a long notice above the open list), the
        // list gives up what is missing and the card keeps to the room; with room again it grows back.
        m_state->setNotice(winterNotice(u"PLUS şimdi %40 indirimli. Bu fırsat yalnızca bu hafta sonuna kadar geçerli, kaçırma!"_qs));
        const qreal full = popupHeight();
        const int room = int(full) - 120;
        m_ui->root->setProperty("maxCardHeight", room);
        QCOMPARE(popupHeight(), qreal(room));
        QCOMPARE(m_ui->find(u"serverPicker"_qs)->height(), 90.0);
        m_ui->root->setProperty("maxCardHeight", 0);
        QCOMPARE(popupHeight(), full);
        QCOMPARE(m_ui->find(u"serverPicker"_qs)->height(), 210.0);
    }

    void emptyListAndErrorStrip() {
        signIn();
        m_state->setServers({});
        m_ui->grab();
        QCOMPARE(text(m_ui->find(u"serverName"_qs)), u"En iyi lokasyon"_qs);
        QCOMPARE(text(m_ui->find(u"serverDestination"_qs)), u"Yükleniyor..."_qs);
        QCOMPARE(text(m_ui->find(u"serverFlag"_qs)), QString::fromUcs4(U"\U0001F30D"));
        const qreal before = popupHeight();
        QQuickItem* strip = m_ui->find(u"errorStrip"_qs);
        QCOMPARE(strip->opacity(), 0.0);
        m_state->setErrorMessage(QString(400, u'x'));
        QCOMPARE(popupHeight(), before);
        QCOMPARE(strip->opacity(), 1.0);
        QCOMPARE(strip->height(), 14.0);
        QVERIFY(strip->property("truncated").toBool());
    }

    void banners() {
        const qreal bare = popupHeight();
        Updater::Info info;
        info.version = u"2.0.0"_qs;
        info.url = u"https://kestrava.app/u.squashfs"_qs;
        m_state->setUpdateInfo(info);
        Campaign c = winterNotice(u"PLUS şimdi %40 indirimli. Bu fırsat yalnızca bu hafta sonuna kadar geçerli, kaçırma!"_qs);
        m_state->setNotice(c);
        const qreal both = popupHeight();
        QQuickItem* update = m_ui->find(u"updateBannerSlot"_qs);
        QQuickItem* notice = m_ui->find(u"noticeBannerSlot"_qs);
        QQuickItem* body = m_ui->find(u"body"_qs);
        QVERIFY(update && notice && body);
        QVERIFY(update->y() < notice->y());
        QVERIFY(notice->y() < body->y());
        QCOMPARE(both, bare + update->height() + notice->height());
        QCOMPARE(text(m_ui->find(u"updateText"_qs)), u"Yeni sürüm 2.0.0 hazır — Güncelle"_qs);
        QCOMPARE(text(m_ui->find(u"noticeCta"_qs)), u"İncele →"_qs);
        QVERIFY(m_ui->save(m_ui->grab(), u"banners"_qs));
        // The amber strip is amber.
        const QColor amber = QColor::fromRgbF(0.976f, 0.769f, 0.263f);
        QVERIFY(near(pixelAt(update, {update->width() - 30, update->height() / 2}), amber));
        // Its left edge is drawn alike from where the rounded corner ends to its foot: no dark step between.
        {
            const QImage shot = m_ui->grab();
            const qreal ratio = shot.devicePixelRatio();
            auto edge = [&](int y) { return shot.pixelColor((update->mapToScene({0.5, y + 0.5}) * ratio).toPoint()); };
            const QColor foot = edge(int(update->height()) - 2);
            for (int y = 18; y < int(update->height()) - 1; ++y)
                QVERIFY2(near(edge(y), foot, 16), qPrintable(u"row %1: %2, foot %3"_qs.arg(y).arg(edge(y).name(), foot.name())));
        }

        // While updating, the text changes and presses do nothing.
        m_state->setUpdating(true);
        QCOMPARE(text(m_ui->find(u"updateText"_qs)), u"Güncelleme indiriliyor…"_qs);
        const int before = m_h->installs;
        m_ui->click(m_ui->find(u"updateButton"_qs));
        QCOMPARE(m_h->installs, before);
        m_state->setUpdating(false);

        // Without a link there is no call to action; a long body is never cut.
        c.url.reset();
        c.body = QString(600, u'y').replace(u"yyyyy"_qs, u"yyyy "_qs);
        m_state->setNotice(c);
        m_ui->grab();
        QVERIFY(!m_ui->find(u"noticeCta"_qs));
        QQuickItem* bodyText = m_ui->find(u"noticeBody"_qs);
        QVERIFY(bodyText->height() >= bodyText->property("contentHeight").toReal());
        QVERIFY(m_ui->find(u"noticeBannerSlot"_qs)->height() > 80);

        // Closing drops the banner at once.
        m_ui->click(m_ui->find(u"noticeClose"_qs));
        QVERIFY(!m_state->notice());
        QVERIFY(!m_ui->find(u"noticeBannerSlot"_qs));
    }

    void signedInBannersScreenshot() {
        signIn();
        m_state->setStatus(ConnectionStatus::connected);
        m_state->setExitIp(u"203.0.113.7"_qs);
        Updater::Info info;
        info.version = u"2.0.0"_qs;
        m_state->setUpdateInfo(info);
        Campaign c = winterNotice(u"PLUS şimdi %40 indirimli"_qs);
        c.cta = u"Fırsatı gör"_qs;
        m_state->setNotice(c);
        m_ui->grab();
        QCOMPARE(text(m_ui->find(u"noticeCta"_qs)), u"Fırsatı gör"_qs);
        QCOMPARE(text(m_ui->find(u"upgradeText"_qs)), u"Paketler"_qs);
        QVERIFY(m_ui->save(m_ui->grab(), u"main-banners"_qs));
    }

    void linksAndQuit() {
        signIn();
        m_ui->grab();
        m_ui->click(m_ui->find(u"planBadge"_qs));
        QCOMPARE(m_h->opened.size(), 1);
        QVERIFY(m_h->opened.last().toString().endsWith(u"/#plans"_qs));
        int quits = 0;
        QObject::connect(m_model.get(), &PopupModel::quitRequested, [&] { ++quits; });
        // The whole strip reacts, also beside the label.
        QQuickItem* quit = m_ui->find(u"quitButton"_qs);
        QTest::mouseClick(m_ui->window.get(), Qt::LeftButton, {}, quit->mapToScene(QPointF(3, quit->height() / 2)).toPoint());
        QCOMPARE(quits, 1);
        m_ui->click(m_ui->find(u"logoutButton"_qs));
        QVERIFY(!m_state->token());
        m_ui->grab();
        QVERIFY(m_ui->find(u"loginTitle"_qs));
    }
};

QTEST_MAIN(PopupRenderTest)
#include "popup_render_test.moc"
