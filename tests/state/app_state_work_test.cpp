#include "platform/defaults_keys.h"
#include "platform/defaults_store.h"
#include "state/app_state.h"
#include "support/service_fixture.h"
#include "support/state_harness.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

QJsonObject campaign(const char* id, const char* url = nullptr) {
    QJsonObject c{{QStringLiteral("id"), QString::fromUtf8(id)},
                  {QStringLiteral("title"), QStringLiteral("Başlık ") + QString::fromUtf8(id)},
                  {QStringLiteral("body"), QStringLiteral("Metin")},
                  {QStringLiteral("createdAt"), QStringLiteral("2026-12-01T10:00:00Z")}};
    if (url) c.insert(QStringLiteral("url"), QString::fromUtf8(url));
    return c;
}

QJsonObject withCampaigns(const QJsonArray& campaigns) {
    QJsonObject s = basicScenario();
    s.insert(QStringLiteral("campaigns"), campaigns);
    return s;
}

QJsonObject withManifestVersion(const char* version) {
    QJsonObject s = basicScenario();
    s.insert(QStringLiteral("manifest"),
             QJsonObject{{QStringLiteral("mac"), QJsonObject{{QStringLiteral("version"), QString::fromUtf8(version)},
                                                             {QStringLiteral("url"), QStringLiteral("https://x.test/u.sqfs")}}}});
    return s;
}

QString requestLine(const QJsonValue& r) {
    const QJsonObject o = r.toObject();
    return o.value(QStringLiteral("method")).toString() + QLatin1Char(' ') + o.value(QStringLiteral("path")).toString();
}

QStringList lines(const QJsonArray& requests) {
    QStringList out;
    for (const QJsonValue& r : requests) out.append(requestLine(r));
    return out;
}

} // namespace

class AppStateWorkTest : public QObject {
    Q_OBJECT
    DevService m_service;
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<StateHarness> m_h;
    std::unique_ptr<AppState> m_state;

    void signedIn() { QVERIFY(m_env->defaults().setString(DefaultsKeys::token, QStringLiteral("tok-1")).ok()); }
    void remake(bool startWork = false) {
        m_state.reset();
        m_state = m_h->make(m_env->restartDefaults(), startWork);
    }
    QStringList dismissed() { return m_env->defaults().stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList()); }
    QString noticeId() const { return m_state->notice() ? m_state->notice()->id : QString(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(startServiceForProcess(m_service)); }
    void init() {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_service.setScenario(basicScenario()));
        QVERIFY(m_service.clearRequests());
        m_h = std::make_unique<StateHarness>();
        m_state = m_h->make(m_env->defaults());
    }
    void cleanup() {
        m_state.reset();
        m_h.reset();
        m_env.reset();
    }

    // Notices.

    void latestUndismissedNotice() {
        signedIn();
        remake();
        QVERIFY(m_service.setScenario(withCampaigns({campaign("A"), campaign("B"), campaign("C")})));
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QCOMPARE(noticeId(), QStringLiteral("C"));
        m_state->dismissNotice();
        QVERIFY(!m_state->notice());
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QCOMPARE(noticeId(), QStringLiteral("B"));
        m_state->dismissNotice();
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QCOMPARE(noticeId(), QStringLiteral("A"));
        m_state->dismissNotice();
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QVERIFY(!m_state->notice());
        QCOMPARE(dismissed(), (QStringList{QStringLiteral("C"), QStringLiteral("B"), QStringLiteral("A")}));
        // Dismissing sends nothing.
        QCOMPARE(m_service.requests(QStringLiteral("POST"), QStringLiteral("/notify/track")).size(), 0);
    }

    void noticeFollowsTheInbox_data() {
        QTest::addColumn<QJsonObject>("second"); // the scenario of the second refresh
        QTest::addColumn<QString>("notice");
        QTest::newRow("withdrawn") << withCampaigns({}) << QString();
        QTest::newRow("a later one takes over") << withCampaigns({campaign("A"), campaign("D")}) << QStringLiteral("D");
        QJsonObject broken = basicScenario();
        broken.insert(QStringLiteral("overrides"),
                      QJsonArray{QJsonObject{{QStringLiteral("path"), QStringLiteral("/notify/inbox")}, {QStringLiteral("status"), 500}}});
        QTest::newRow("failure keeps it") << broken << QStringLiteral("A");
    }
    void noticeFollowsTheInbox() {
        QFETCH(QJsonObject, second);
        QFETCH(QString, notice);
        signedIn();
        remake();
        QVERIFY(m_service.setScenario(withCampaigns({campaign("A")})));
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QCOMPARE(noticeId(), QStringLiteral("A"));
        QVERIFY(m_service.setScenario(second));
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QCOMPARE(noticeId(), notice);
        QVERIFY(!m_state->errorMessage());
    }

    void signedOutMakesNoInboxRequest() {
        m_state->setNotice(Campaign{QStringLiteral("old"), QStringLiteral("t"), QStringLiteral("b"), {}, {}, QStringLiteral("x")});
        QVERIFY(driveTask(*m_h, m_state->refreshNotices()));
        QVERIFY(m_service.requests().isEmpty());
        QCOMPARE(noticeId(), QStringLiteral("old"));
    }

    void dismissedListKeepsTheNewest100() {
        QStringList old;
        for (int i = 0; i < 100; ++i) old.append(QStringLiteral("old-%1").arg(i));
        QVERIFY(m_env->defaults().setStringList(DefaultsKeys::dismissedCampaigns, old).ok());
        m_state->setNotice(Campaign{QStringLiteral("new"), QStringLiteral("t"), QStringLiteral("b"), {}, {}, QStringLiteral("x")});
        m_state->dismissNotice();
        // What a new process would read.
        QStringList now = DefaultsStore(m_env->defaultsPath()).stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList());
        QCOMPARE(now.size(), 100);
        QCOMPARE(now.first(), QStringLiteral("old-1"));
        QCOMPARE(now.last(), QStringLiteral("new"));
        // The same id again is stored again.
        m_state->setNotice(Campaign{QStringLiteral("new"), QStringLiteral("t"), QStringLiteral("b"), {}, {}, QStringLiteral("x")});
        m_state->dismissNotice();
        now = m_env->defaults().stringList(DefaultsKeys::dismissedCampaigns).value_or(QStringList());
        QCOMPARE(now.size(), 100);
        QCOMPARE(now.mid(98), (QStringList{QStringLiteral("new"), QStringLiteral("new")}));
        // Nothing to dismiss: nothing changes.
        m_state->dismissNotice();
        QCOMPARE(m_env->defaults().stringList(DefaultsKeys::dismissedCampaigns)->size(), 100);
    }

    void openNotice_data() {
        QTest::addColumn<QVariant>("url");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("opens");
        const QVariant none;
        QTest::newRow("https, signed in") << QVariant(QStringLiteral("https://kestrava.app/#plans")) << true << true;
        QTest::newRow("http, signed out") << QVariant(QStringLiteral("http://kestrava.app/a?b=c")) << false << true;
        QTest::newRow("no link") << none << true << false;
        QTest::newRow("empty link") << QVariant(QString()) << true << false;
        QTest::newRow("not a url") << QVariant(QStringLiteral("http://exa mple.com/")) << true << false;
        QTest::newRow("relative") << QVariant(QStringLiteral("/plans")) << true << false;
        QTest::newRow("file scheme") << QVariant(QStringLiteral("file:///etc/passwd")) << true << false;
        QTest::newRow("desktop handler scheme") << QVariant(QStringLiteral("x-handler://run?cmd=1")) << true << false;
        QTest::newRow("javascript") << QVariant(QStringLiteral("javascript:alert(1)")) << true << false;
        QTest::newRow("https without host") << QVariant(QStringLiteral("https:///x")) << true << false;
    }
    void openNotice() {
        QFETCH(QVariant, url);
        QFETCH(bool, signedIn);
        QFETCH(bool, opens);
        if (signedIn) m_state->setToken(QStringLiteral("tok-1"));
        Campaign c{QStringLiteral("c1"), QStringLiteral("t"), QStringLiteral("b"), {}, {}, QStringLiteral("x")};
        if (!url.isNull()) c.url = url.toString();
        m_state->setNotice(c);
        m_state->openNotice();
        QCOMPARE(m_h->opened.size(), opens ? 1 : 0);
        if (opens) QCOMPARE(m_h->opened.first(), QUrl(url.toString()));
        const bool tracked = opens && signedIn;
        if (tracked)
            QVERIFY(StateHarness::spin([&] { return m_service.requests().size() == 1; }));
        else
            StateHarness::spin([] { return false; }, 100);
        const QJsonArray track = m_service.requests(QStringLiteral("POST"), QStringLiteral("/notify/track"));
        QCOMPARE(track.size(), tracked ? 1 : 0);
        if (tracked)
            QCOMPARE(track.first().toObject().value(QStringLiteral("body")).toString(),
                     QStringLiteral("{\"campaignId\":\"c1\",\"event\":\"clicked\"}"));
        // Opening neither dismisses nor records.
        QCOMPARE(noticeId(), QStringLiteral("c1"));
        QVERIFY(dismissed().isEmpty());
    }

    // Updates.

    void applyUpdateOnce() {
        m_state->setUpdateInfo(Updater::Info{QStringLiteral("9.0.0"), QStringLiteral("https://x.test/u.sqfs"), {}});
        m_state->setErrorMessage(QStringLiteral("eski"));
        m_h->installDelayMs = 1000;
        m_h->installResult = Result<void>();
        bool first = false, second = false;
        // Named: a coroutine lambda's captures live in the closure, which must outlive the task.
        auto pressFirst = [&]() -> QCoro::Task<> { co_await m_state->applyUpdate(); first = true; };
        auto pressSecond = [&]() -> QCoro::Task<> { co_await m_state->applyUpdate(); second = true; };
        auto a = pressFirst();
        auto b = pressSecond();
        QVERIFY(second); // the second press returns at once
        QVERIFY(m_state->updating());
        QVERIFY(!m_state->errorMessage());
        QVERIFY(m_h->drive([&] { return first; }));
        QCOMPARE(m_h->installs, 1);
        // Success: the program is on its way out, so updating stays on.
        QVERIFY(m_state->updating());
        QVERIFY(m_state->updateInfo());
    }

    void failedUpdateOffersItAgain() {
        m_state->setUpdateInfo(Updater::Info{QStringLiteral("9.0.0"), QStringLiteral("https://x.test/u.sqfs"), {}});
        m_h->installResult = Error{Error::Kind::Update, QStringLiteral("İmza doğrulanamadı")};
        QVERIFY(driveTask(*m_h, m_state->applyUpdate()));
        QCOMPARE(m_state->errorMessage(), std::optional<QString>(QStringLiteral("Güncelleme başarısız: İmza doğrulanamadı")));
        QVERIFY(!m_state->updating());
        QVERIFY(m_state->updateInfo());
        QVERIFY(driveTask(*m_h, m_state->applyUpdate()));
        QCOMPARE(m_h->installs, 2);
    }

    void noOfferNoInstall() {
        QVERIFY(driveTask(*m_h, m_state->applyUpdate()));
        QCOMPARE(m_h->installs, 0);
        QVERIFY(!m_state->updating());
    }

    // Start-up work and timers.

    void startUpRequests_data() {
        QTest::addColumn<bool>("signedIn");
        QTest::newRow("signed in") << true;
        QTest::newRow("signed out") << false;
    }
    void startUpRequests() {
        QFETCH(bool, signedIn);
        if (signedIn) this->signedIn();
        remake(true);
        const int expected = signedIn ? 4 : 3;
        QVERIFY(StateHarness::spin([&] { return m_service.requests().size() == expected && m_state->updateInfo(); }));
        QStringList got = lines(m_service.requests());
        got.sort();
        QStringList want{QStringLiteral("GET /desktop/latest.json"), QStringLiteral("GET /geo"), QStringLiteral("GET /servers")};
        if (signedIn) want.append(QStringLiteral("GET /notify/inbox"));
        want.sort();
        QCOMPARE(got, want);
        QCOMPARE(m_state->updateInfo()->version, QStringLiteral("9.0.0"));
        QCOMPARE(m_h->facility.loads, 1);
        // Nothing more until the first tick.
        StateHarness::spin([] { return false; }, 100);
        QCOMPARE(m_service.requests().size(), expected);
    }

    void networkDownAtStart() {
        signedIn();
        QJsonArray drops;
        for (const char* p : {"/servers", "/geo", "/notify/inbox", "/desktop/latest.json"})
            drops.append(QJsonObject{{QStringLiteral("path"), QString::fromUtf8(p)}, {QStringLiteral("dropConnection"), true}});
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("overrides"), drops);
        QVERIFY(m_service.setScenario(scenario));
        remake(true);
        QVERIFY(StateHarness::spin([&] { return m_service.requests().size() == 4; }));
        StateHarness::spin([] { return false; }, 200);
        QVERIFY(m_state->servers().isEmpty());
        QVERIFY(!m_state->notice() && !m_state->updateInfo() && !m_state->errorMessage() && !m_state->originalIp());
        QCOMPARE(m_state->status(), ConnectionStatus::idle);
    }

    void aDayOfTicks() {
        signedIn();
        remake(true);
        QVERIFY(StateHarness::spin([&] { return m_service.requests().size() == 4 && m_state->updateInfo(); }));
        QVERIFY(m_service.clearRequests());
        QSignalSpy updates(m_state.get(), &AppState::updateInfoChanged);
        // Each tick ends with the notice refresh, which assigns the notice once it has its reply.
        QSignalSpy notices(m_state.get(), &AppState::noticeChanged);
        int ticks = 0;
        int checks = 0;
        // 24 hours in 30-second steps; each tick's three requests finish before the clock moves on.
        for (qint64 t = 30'000; t <= 24LL * 3600 * 1000; t += 30'000) {
            const bool sixHours = t % 21'600'000 == 0;
            if (sixHours) {
                ++checks;
                // From the second check on, the service offers nothing newer.
                if (checks == 2) QVERIFY(m_service.setScenario(withManifestVersion("0.9")));
            }
            m_h->clock.advance(30'000);
            ++ticks;
            for (int i = 0; i < 50 && (notices.count() < ticks || updates.count() < checks); ++i) {
                if (notices.count() < ticks) notices.wait(200);
                else updates.wait(200);
            }
            QVERIFY2(notices.count() == ticks && updates.count() == checks, qPrintable(QStringLiteral("tick %1").arg(ticks)));
        }
        const QJsonArray all = m_service.requests();
        QCOMPARE(ticks, 2880);
        QCOMPARE(checks, 4);
        QCOMPARE(all.size(), 3 * 2880 + 4);
        // Every tick: servers, then addresses, then notices, in that order; the update checks fall
        // between ticks, at their own times.
        QStringList tickLines;
        int manifests = 0;
        for (const QJsonValue& r : all) {
            const QString line = requestLine(r);
            if (line == QLatin1String("GET /desktop/latest.json")) {
                ++manifests;
                continue;
            }
            tickLines.append(line);
        }
        QCOMPARE(manifests, 4);
        for (int i = 0; i < tickLines.size(); i += 3) {
            QCOMPARE(tickLines.at(i), QStringLiteral("GET /servers"));
            QCOMPARE(tickLines.at(i + 1), QStringLiteral("GET /geo"));
            QCOMPARE(tickLines.at(i + 2), QStringLiteral("GET /notify/inbox"));
        }
        // A later check that finds nothing newer took the offer away.
        QVERIFY(!m_state->updateInfo());
        QCOMPARE(updates.count(), 4);
    }

    // The refresh and the update check are promised every 30 s and every 6 h: timers that may come early
    // would break that.
    void repeatingTimersArePrecise() {
        remake(true);
        QList<qint64> repeating;
        for (const ManualClock::Armed& t : m_h->clock.armed()) {
            if (!t.repeating) continue;
            repeating.append(t.intervalMs);
            QVERIFY2(t.precise, qPrintable(QString::number(t.intervalMs)));
        }
        std::sort(repeating.begin(), repeating.end());
        QCOMPARE(repeating, (QList<qint64>{30'000, 21'600'000}));
        QVERIFY(StateHarness::spin([&] { return !m_state->startingUp(); }));
    }

    void timersHoldTheStateWeakly() {
        signedIn();
        remake(true);
        QVERIFY(StateHarness::spin([&] { return m_service.requests().size() == 4; }));
        m_state.reset();
        QVERIFY(m_service.clearRequests());
        m_h->clock.advance(22'000'000);
        m_h->facility.setStatus(VpnStatus::connected);
        StateHarness::spin([] { return false; }, 100);
        QVERIFY(m_service.requests().isEmpty());
    }
};

QTEST_GUILESS_MAIN(AppStateWorkTest)
#include "app_state_work_test.moc"
