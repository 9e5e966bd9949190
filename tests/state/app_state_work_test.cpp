#include "platform/defaults_keys.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QJsonObject campaign(const char* id) {
    return {{u"id"_s, QString::fromUtf8(id)}, {u"title"_s, u"Başlık "_s + QString::fromUtf8(id)}, {u"body"_s, u"Metin"_s},
            {u"createdAt"_s, u"2026-12-01T10:00:00Z"_s}};
}

QJsonObject withCampaigns(const QJsonArray& campaigns) {
    QJsonObject s = basicScenario();
    s.insert(u"campaigns"_s, campaigns);
    return s;
}

Campaign notice(const char* id, std::optional<QString> url = {}) {
    return Campaign{QString::fromUtf8(id), u"t"_s, u"b"_s, std::move(url), {}, u"x"_s};
}

} // namespace

class AppStateWorkTest : public QObject {
    Q_OBJECT
    StateFixture f;

    void signedIn() { QVERIFY(f.env->defaults().setString(DefaultsKeys::token, u"tok-1"_s).ok()); }
    QStringList dismissed() { return f.env->defaults().stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList()); }
    QString noticeId() const { return f.state->notice() ? f.state->notice()->id : QString(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(f.start()); }
    void init() { QVERIFY(f.reset()); }
    void cleanup() { f.clear(); }

    void latestUndismissedNotice() {
        signedIn();
        f.remake(false);
        QVERIFY(f.service.setScenario(withCampaigns({campaign("A"), campaign("B"), campaign("C")})));
        for (const QString& id : {u"C"_s, u"B"_s, u"A"_s, QString()}) {
            QVERIFY(f.run(f.state->refreshNotices()));
            QCOMPARE(noticeId(), id);
            f.state->dismissNotice();
            QVERIFY(!f.state->notice());
        }
        QCOMPARE(dismissed(), (QStringList{u"C"_s, u"B"_s, u"A"_s}));
        // Dismissing sends nothing.
        QCOMPARE(f.sent(), QStringList(4, u"GET /notify/inbox"_s));
    }

    void noticeFollowsTheInbox_data() {
        QTest::addColumn<QJsonObject>("second"); // the scenario of the second refresh
        QTest::addColumn<QString>("notice");
        QTest::newRow("withdrawn") << withCampaigns({}) << QString();
        QTest::newRow("a later one takes over") << withCampaigns({campaign("A"), campaign("D")}) << u"D"_s;
        QTest::newRow("failure keeps it") << withReply("GET", "/notify/inbox", {{u"status"_s, 500}}) << u"A"_s;
    }
    void noticeFollowsTheInbox() {
        QFETCH(QJsonObject, second);
        QFETCH(QString, notice);
        signedIn();
        f.remake(false);
        QVERIFY(f.service.setScenario(withCampaigns({campaign("A")})));
        QVERIFY(f.run(f.state->refreshNotices()));
        QCOMPARE(noticeId(), u"A"_s);
        QVERIFY(f.service.setScenario(second));
        QVERIFY(f.run(f.state->refreshNotices()));
        QCOMPARE(noticeId(), notice);
        QVERIFY(!f.state->errorMessage());
    }

    void dismissedListKeepsTheNewest100() {
        QStringList old;
        for (int i = 0; i < 100; ++i) old.append(u"old-%1"_s.arg(i));
        QVERIFY(f.env->defaults().setStringList(DefaultsKeys::dismissedCampaigns, old).ok());
        f.state->setNotice(notice("new"));
        f.state->dismissNotice();
        // What a new process would read.
        QStringList now = DefaultsStore(f.env->defaultsPath()).stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList());
        QCOMPARE(now.size(), 100);
        QCOMPARE(now.first(), u"old-1"_s);
        QCOMPARE(now.last(), u"new"_s);
        // The same id again is stored again; with nothing to dismiss nothing changes.
        f.state->setNotice(notice("new"));
        f.state->dismissNotice();
        f.state->dismissNotice();
        now = dismissed();
        QCOMPARE(now.size(), 100);
        QCOMPARE(now.mid(98), (QStringList{u"new"_s, u"new"_s}));
    }

    void openNotice_data() {
        QTest::addColumn<QVariant>("url");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https, signed in") << QVariant(u"https://kestrava.app/#plans"_s) << true << true;
        QTest::newRow("http, signed out") << QVariant(u"http://kestrava.app/a?b=c"_s) << false << true;
        QTest::newRow("no link") << QVariant() << true << false;
        QTest::newRow("empty link") << QVariant(QString()) << true << false;
        QTest::newRow("not a url") << QVariant(u"http://exa mple.com/"_s) << true << false;
        QTest::newRow("relative") << QVariant(u"/plans"_s) << true << false;
        QTest::newRow("file scheme") << QVariant(u"file:///etc/passwd"_s) << true << false;
        QTest::newRow("desktop handler scheme") << QVariant(u"x-handler://run?cmd=1"_s) << true << false;
        QTest::newRow("javascript") << QVariant(u"javascript:alert(1)"_s) << true << false;
        QTest::newRow("https without host") << QVariant(u"https:///x"_s) << true << false;
    }
    void openNotice() {
        QFETCH(QVariant, url);
        QFETCH(bool, signedIn);
        QFETCH(bool, opens);
        if (signedIn) f.state->setToken(u"tok-1"_s);
        f.state->setNotice(notice("c1", url.isNull() ? std::nullopt : std::optional(url.toString())));
        f.state->openNotice();
        QCOMPARE(f.h->opened, opens ? QList<QUrl>{QUrl(url.toString())} : QList<QUrl>());
        const bool tracked = opens && signedIn;
        if (tracked) QVERIFY(StateHarness::spin([&] { return !f.sent().isEmpty(); }));
        QCOMPARE(f.flush(), tracked ? QStringList{u"POST /notify/track"_s} : QStringList());
        if (tracked)
            QCOMPARE(f.service.requests(u"POST"_s, u"/notify/track"_s).first().toObject().value("body"_L1).toString(),
                     u"{\"campaignId\":\"c1\",\"event\":\"clicked\"}"_s);
        // Opening neither dismisses nor records.
        QCOMPARE(noticeId(), u"c1"_s);
        QVERIFY(dismissed().isEmpty());
    }

    // Two presses install once; a failure offers the update again; no offer installs nothing.
    void applyUpdate_data() {
        QTest::addColumn<bool>("offered");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("succeeds") << true << true;
        QTest::newRow("fails") << true << false;
        QTest::newRow("no offer") << false << true;
    }
    void applyUpdate() {
        QFETCH(bool, offered);
        QFETCH(bool, succeeds);
        if (offered) f.state->setUpdateInfo(Updater::Info{u"9.0.0"_s, u"https://x.test/u.sqfs"_s, {}});
        f.state->setErrorMessage(u"eski"_s);
        f.h->installDelayMs = 1000;
        if (!succeeds) f.h->installResult = Error{Error::Kind::Update, u"İmza doğrulanamadı"_s};
        const Running first = startTask(f.state->applyUpdate());
        const Running second = startTask(f.state->applyUpdate());
        QVERIFY(*second.done); // the second press returns at once
        QCOMPARE(f.state->updating(), offered);
        QVERIFY(f.h->drive([&] { return *first.done; }));
        QCOMPARE(f.h->installs, offered ? 1 : 0);
        // Success: the program is on its way out, so updating stays on.
        QCOMPARE(f.state->updating(), offered && succeeds);
        QCOMPARE(f.state->updateInfo().has_value(), offered);
        if (!offered) return;
        QCOMPARE(f.state->errorMessage(),
                 succeeds ? std::optional<QString>() : std::optional(u"Güncelleme başarısız: İmza doğrulanamadı"_s));
        if (succeeds) return;
        QVERIFY(f.run(f.state->applyUpdate()));
        QCOMPARE(f.h->installs, 2);
    }

    void startUpRequests_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("networkDown");
        QTest::newRow("signed in") << true << false;
        QTest::newRow("signed out") << false << false;
        QTest::newRow("network down") << true << true;
    }
    void startUpRequests() {
        QFETCH(bool, signedIn);
        QFETCH(bool, networkDown);
        if (signedIn) this->signedIn();
        QStringList want{u"GET /desktop/latest.json"_s, u"GET /geo"_s, u"GET /servers"_s};
        if (signedIn) want.append(u"GET /notify/inbox"_s);
        if (networkDown) {
            QJsonObject scenario = basicScenario();
            QJsonArray drops;
            for (const QString& line : want)
                drops.append(QJsonObject{{u"path"_s, line.section(u' ', 1)}, {u"dropConnection"_s, true}});
            scenario.insert(u"overrides"_s, drops);
            QVERIFY(f.service.setScenario(scenario));
        }
        f.remake(true);
        QVERIFY(StateHarness::spin([&] {
            return !f.state->startingUp() && f.sent().size() == want.size() && (networkDown || f.state->originalIp());
        }));
        QStringList got = f.sent();
        got.sort();
        want.sort();
        QCOMPARE(got, want);
        QCOMPARE(f.h->facility.loads, 1);
        QCOMPARE(f.state->status(), ConnectionStatus::idle);
        QVERIFY(!f.state->errorMessage());
        QCOMPARE(f.state->servers().size(), signedIn && !networkDown ? 2 : 0);
        QCOMPARE(f.state->updateInfo() ? f.state->updateInfo()->version : QString(), networkDown ? QString() : u"9.0.0"_s);
        QCOMPARE(f.state->originalIp().has_value(), !networkDown);
        QCOMPARE(f.state->notice().has_value(), signedIn && !networkDown);
        // Nothing more until the first tick.
        QCOMPARE(f.flush().size(), want.size());
    }

    void aDayOfTicks() {
        signedIn();
        f.remake(true);
        QVERIFY(StateHarness::spin([&] { return !f.state->startingUp() && f.sent().size() == 4; }));
        QVERIFY(f.service.clearRequests());
        QSignalSpy updates(f.state.get(), &AppState::updateInfoChanged);
        // Each tick ends with the notice refresh, which assigns the notice once it has its reply.
        QSignalSpy notices(f.state.get(), &AppState::noticeChanged);
        int ticks = 0;
        int checks = 0;
        // 24 hours in 30-second steps; each tick's three requests finish before the clock moves on.
        for (qint64 t = 30'000; t <= 24LL * 3600 * 1000; t += 30'000) {
            if (t % 21'600'000 == 0 && ++checks == 2) {
                // From the second check on, the service offers nothing newer.
                QJsonObject s = basicScenario();
                s.insert(u"manifest"_s, QJsonObject{{u"mac"_s, QJsonObject{{u"version"_s, u"0.9"_s}, {u"url"_s, u"https://x.test/u.sqfs"_s}}}});
                QVERIFY(f.service.setScenario(s));
            }
            f.h->clock.advance(30'000);
            ++ticks;
            for (int i = 0; i < 50 && (notices.count() < ticks || updates.count() < checks); ++i)
                (notices.count() < ticks ? notices : updates).wait(200);
            QVERIFY2(notices.count() == ticks && updates.count() == checks, qPrintable(u"tick %1"_s.arg(ticks)));
        }
        QCOMPARE(checks, 4);
        // Every tick: servers, then addresses, then notices, in that order; the update checks fall
        // between ticks, at their own times.
        QStringList lines = f.sent();
        QCOMPARE(lines.removeAll(u"GET /desktop/latest.json"_s), 4);
        QCOMPARE(lines.size(), 3 * 2880);
        for (int i = 0; i < lines.size(); i += 3)
            QCOMPARE(lines.mid(i, 3), (QStringList{u"GET /servers"_s, u"GET /geo"_s, u"GET /notify/inbox"_s}));
        // A later check that finds nothing newer took the offer away.
        QVERIFY(!f.state->updateInfo());
        QCOMPARE(updates.count(), 4);
    }

    // The refresh and the update check are promised every 30 s and every 6 h: timers that may come early
    // would break that.
    void repeatingTimersArePrecise() {
        f.remake(true);
        QList<qint64> repeating;
        for (const ManualClock::Armed& t : f.h->clock.armed()) {
            if (!t.repeating) continue;
            repeating.append(t.intervalMs);
            QVERIFY2(t.precise, qPrintable(QString::number(t.intervalMs)));
        }
        std::sort(repeating.begin(), repeating.end());
        QCOMPARE(repeating, (QList<qint64>{30'000, 21'600'000}));
        QVERIFY(StateHarness::spin([&] { return !f.state->startingUp(); }));
    }

    void timersHoldTheStateWeakly() {
        signedIn();
        f.remake(true);
        QVERIFY(StateHarness::spin([&] { return !f.state->startingUp() && f.sent().size() == 4; }));
        f.state.reset();
        QVERIFY(f.service.clearRequests());
        f.h->clock.advance(22'000'000);
        f.h->facility.setStatus(VpnStatus::connected);
        QVERIFY(f.flush().isEmpty());
    }
};

QTEST_GUILESS_MAIN(AppStateWorkTest)
#include "app_state_work_test.moc"
