#include "vpn/keychain/memory_keychain.h"
#include "vpn/simulated/simulated_facility.h"
#include "vpn/vpn_controller.h"

#include "support/await.h"
#include "support/manual_clock.h"

#include <QCoreApplication>
#include <QTest>

#include <functional>
#include <memory>

using Change = std::function<void(VpnProfile&)>;
Q_DECLARE_METATYPE(VpnStatus)
Q_DECLARE_METATYPE(Change)

namespace {

const QString host = QStringLiteral("gw1.kestrava.test");
const QString rid = QStringLiteral("gw1.id");
const QString service = QString::fromUtf8(VPNController::keychainService);
const QString account = QString::fromUtf8(VPNController::keychainAccount);

// Lets queued completions run; bounded.
void settle() {
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// A start() in flight, so the test can move the clock and the status while it waits.
struct RunningStart {
    std::optional<Result<void>> result;
    QCoro::Task<> task;
    RunningStart(SimulatedFacility& f, Clock& c) : task(run(f, c)) {}
    QCoro::Task<> run(SimulatedFacility& f, Clock& c) { result.emplace(co_await VPNController::start(f, c)); }
    bool done() const { return result.has_value(); }
    QString text() const { return result && !result->ok() ? result->error().description() : QString(); }
};

} // namespace

class VpnControllerTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ManualClock> m_clock;
    std::unique_ptr<SimulatedFacility> m_facility;
    std::unique_ptr<MemoryKeychain> m_keychain;

    Result<void> install(const QString& secret = QStringLiteral("s3cret"), const QString& h = host,
                         const QString& r = rid) {
        return awaitTask(VPNController::install(*m_facility, *m_keychain, h, r, secret), 10'000);
    }

private Q_SLOTS:
    void init() {
        m_clock = std::make_unique<ManualClock>();
        m_facility = std::make_unique<SimulatedFacility>(*m_clock);
        m_keychain = std::make_unique<MemoryKeychain>();
    }

    // One saved profile per gateway; the key is added once, then updated in place.
    void installSavesOncePerGateway_data() {
        QTest::addColumn<QStringList>("secrets"); // one install each
        QTest::newRow("first use") << QStringList{QStringLiteral("s3cret")};
        QTest::newRow("same secret again") << QStringList{QStringLiteral("s3cret"), QStringLiteral("s3cret")};
        QTest::newRow("new secret") << QStringList{QStringLiteral("s3cret"), QStringLiteral("n3w-sécret")};
    }
    void installSavesOncePerGateway() {
        QFETCH(QStringList, secrets);
        for (const QString& secret : secrets) QVERIFY(install(secret).ok());
        QCOMPARE(m_facility->saves, 1);
        QCOMPARE(m_keychain->adds, 1);
        QCOMPARE(m_keychain->copies, secrets.size() - 1);
        QCOMPARE(m_keychain->data(service, account), std::optional<QByteArray>(secrets.last().toUtf8()));
        QVERIFY(m_facility->storedProfile);
        const QByteArray ref = *m_facility->storedProfile->protocolConfiguration->sharedSecretReference;
        QVERIFY(!ref.isEmpty() && !ref.contains("s3cret"));
        QCOMPARE(*m_facility->storedProfile, VPNController::profileFor(host, rid, ref));
        // Gateways already configured expect this identity.
        QCOMPARE(m_facility->storedProfile->protocolConfiguration->localIdentifier, QStringLiteral("kestrava-macos"));
    }

    void mismatchSavesAFreshProfile_data() {
        QTest::addColumn<Change>("change");
        const auto row = [](const char* name, Change c) { QTest::newRow(name) << c; };
        row("disabled", [](VpnProfile& p) { p.isEnabled = false; });
        row("other server", [](VpnProfile& p) { p.protocolConfiguration->serverAddress = QStringLiteral("gw2"); });
        row("other remote id", [](VpnProfile& p) { p.protocolConfiguration->remoteIdentifier = QStringLiteral("other"); });
        row("other reference", [](VpnProfile& p) { p.protocolConfiguration->sharedSecretReference = QByteArray("/memory/item/999"); });
        row("no reference", [](VpnProfile& p) { p.protocolConfiguration->sharedSecretReference.reset(); });
        row("no server address", [](VpnProfile& p) { p.protocolConfiguration->serverAddress.reset(); });
        row("no protocol", [](VpnProfile& p) { p.protocolConfiguration.reset(); });
    }
    void mismatchSavesAFreshProfile() {
        QFETCH(Change, change);
        QVERIFY(install().ok());
        VpnProfile stored = *m_facility->storedProfile;
        IkeV2Protocol& ike = *stored.protocolConfiguration;
        // Fields a fresh profile must not carry over.
        ike.useExtendedAuthentication = true;
        ike.localIdentifier = QStringLiteral("old");
        ike.deadPeerDetectionRate = 3;
        change(stored);
        m_facility->storedProfile = stored;
        QVERIFY(install().ok());
        QCOMPARE(m_facility->saves, 2);
        const QByteArray ref = *m_facility->storedProfile->protocolConfiguration->sharedSecretReference;
        QCOMPARE(*m_facility->storedProfile, VPNController::profileFor(host, rid, ref));
    }

    // The keychain's code, or the platform's own text when loading or saving the profile fails.
    void installFailures_data() {
        QTest::addColumn<int>("update");
        QTest::addColumn<int>("add");
        QTest::addColumn<int>("copy");
        QTest::addColumn<bool>("noReference");
        QTest::addColumn<QString>("failing"); // "load" or "save": the facility refuses that
        QTest::addColumn<QString>("told");
        const int none = 1; // not forced
        const QString code = QStringLiteral("VPN anahtarı kaydedilemedi (kod %1)");
        QTest::newRow("update refused") << -25293 << none << none << false << QString() << code.arg(-25293);
        QTest::newRow("update refused, positive") << 7 << none << none << false << QString() << code.arg(7);
        QTest::newRow("add refused") << none << -25291 << none << false << QString() << code.arg(-25291);
        QTest::newRow("add without reference") << none << none << none << true << QString() << code.arg(0);
        QTest::newRow("copy not found after update") << 0 << none << -25300 << false << QString() << code.arg(-25300);
        QTest::newRow("load") << none << none << none << false << QStringLiteral("load") << QStringLiteral("Ayarlar okunamadı");
        QTest::newRow("save") << none << none << none << false << QStringLiteral("save") << QStringLiteral("Ayarlar okunamadı");
    }
    void installFailures() {
        QFETCH(int, update);
        QFETCH(int, add);
        QFETCH(int, copy);
        QFETCH(bool, noReference);
        QFETCH(QString, failing);
        QFETCH(QString, told);
        if (update != 1) m_keychain->updateStatus = update;
        if (add != 1) m_keychain->addStatus = add;
        if (copy != 1) m_keychain->copyStatus = copy;
        m_keychain->addReturnsNoReference = noReference;
        const Error e{Error::Kind::Io, told};
        if (failing == QLatin1String("load")) m_facility->loadError = e;
        if (failing == QLatin1String("save")) m_facility->saveError = e;
        const Result<void> r = install();
        QVERIFY(!r.ok());
        QCOMPARE(r.error().description(), told);
        QVERIFY(!m_facility->storedProfile);
        if (!failing.isEmpty()) return;
        QCOMPARE(r.error().kind, Error::Kind::Keychain);
        // The profile is never touched.
        QCOMPARE(m_facility->loads, 0);
        QCOMPARE(m_facility->saves, 0);
    }

    void reinstallRemovesThenInstalls_data() {
        QTest::addColumn<bool>("installed");
        QTest::newRow("a matching profile") << true;
        QTest::newRow("no profile to load") << false;
    }
    void reinstallRemovesThenInstalls() {
        QFETCH(bool, installed);
        if (installed) QVERIFY(install().ok());
        else m_facility->loadError = Error{Error::Kind::Io, QStringLiteral("x")};
        auto flow = [this]() -> QCoro::Task<Result<void>> {
            auto task = VPNController::reinstall(*m_facility, *m_keychain, host, rid, QStringLiteral("s"));
            // Loading works again by the time install runs its own load.
            m_facility->loadError.reset();
            co_return co_await std::move(task);
        };
        QVERIFY(awaitTask(flow(), 10'000).ok());
        QCOMPARE(m_facility->removes, 1);
        QCOMPARE(m_facility->saves, installed ? 2 : 1);
        QVERIFY(m_facility->storedProfile);
    }

    // Neither waits: one has nothing to start, the other is refused by the system at once.
    void startEndsAtOnce_data() {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("text"); // empty = success
        QTest::newRow("while connected") << true << QString();
        QTest::newRow("refused") << false << QStringLiteral("Profil devre dışı");
    }
    void startEndsAtOnce() {
        QFETCH(bool, connected);
        QFETCH(QString, text);
        QVERIFY(install().ok());
        if (connected) m_facility->setStatus(VpnStatus::connected, false);
        else m_facility->startError = Error{Error::Kind::Io, text};
        const Result<void> r = awaitTask(VPNController::start(*m_facility, *m_clock), 10'000);
        QCOMPARE(r.ok() ? QString() : r.error().description(), text);
        QCOMPARE(m_facility->starts, connected ? 0 : 1);
        QCOMPARE(m_clock->activeTimers(), 0);
    }

    void startOutcomes_data() {
        QTest::addColumn<QList<int>>("statuses"); // notified after the start, 1 s apart
        QTest::addColumn<QVariant>("reason");
        QTest::addColumn<QString>("text"); // empty = success
        QTest::newRow("2 then 3") << QList<int>{2, 3} << QVariant() << QString();
        QTest::newRow("4 and 5 keep waiting") << QList<int>{2, 4, 5, 3} << QVariant() << QString();
        QTest::newRow("2 then 1 with a reason")
            << QList<int>{2, 1} << QVariant(QStringLiteral("Kimlik doğrulaması başarısız"))
            << QStringLiteral("Sistem VPN bağlantıyı reddetti \u2013 Kimlik doğrulaması başarısız");
        QTest::newRow("1 without a reason") << QList<int>{1} << QVariant() << QStringLiteral("Sistem VPN bağlantıyı reddetti");
        QTest::newRow("0 invalid") << QList<int>{0} << QVariant() << QStringLiteral("Sistem VPN bağlantıyı reddetti");
        QTest::newRow("3 after 1 is dropped") << QList<int>{1, 3} << QVariant() << QStringLiteral("Sistem VPN bağlantıyı reddetti");
    }
    void startOutcomes() {
        QFETCH(QList<int>, statuses);
        QFETCH(QVariant, reason);
        QFETCH(QString, text);
        QVERIFY(install().ok());
        m_facility->startSteps = {{VpnStatus::connecting, 0}};
        if (!reason.isNull()) m_facility->disconnectError = Error{Error::Kind::Io, reason.toString()};
        // The reason takes a while to arrive, so later notifications race it.
        m_facility->operationDelayMs = 0;
        RunningStart run(*m_facility, *m_clock);
        settle();
        QVERIFY(!run.done());
        for (int s : statuses) {
            m_clock->advance(1000);
            m_facility->setStatus(VpnStatus(s));
        }
        settle();
        QVERIFY(run.done());
        QCOMPARE(run.result->ok(), text.isEmpty());
        if (!text.isEmpty()) {
            QCOMPARE(run.result->error().kind, Error::Kind::Rejected);
            QCOMPARE(run.text(), text);
        }
        QCOMPARE(m_clock->activeTimers(), 0);
        QCOMPARE(m_facility->starts, 1);
    }

    void timeOut_data() {
        QTest::addColumn<VpnStatus>("statusAtTimeout");
        QTest::addColumn<bool>("ok");
        QTest::newRow("still connecting") << VpnStatus::connecting << false;
        QTest::newRow("up without a notification") << VpnStatus::connected << true;
        QTest::newRow("reasserting") << VpnStatus::reasserting << false;
    }
    void timeOut() {
        QFETCH(VpnStatus, statusAtTimeout);
        QFETCH(bool, ok);
        QVERIFY(install().ok());
        m_facility->startSteps = {{VpnStatus::connecting, 0}};
        RunningStart run(*m_facility, *m_clock);
        settle();
        m_clock->advance(27'999);
        settle();
        QVERIFY(!run.done());
        m_facility->setStatus(statusAtTimeout, false);
        m_clock->advance(1);
        settle();
        QVERIFY(run.done());
        QCOMPARE(run.result->ok(), ok);
        if (!ok) QCOMPARE(run.text(), QStringLiteral("VPN bağlantısı zaman aşımına uğradı"));
        // A notification after the time-out changes nothing and touches nothing freed.
        m_facility->setStatus(VpnStatus::disconnected);
        settle();
        QCOMPARE(run.result->ok(), ok);
    }

    void stopOnlyWhenUp_data() {
        QTest::addColumn<VpnStatus>("status");
        QTest::addColumn<int>("stops");
        QTest::newRow("invalid") << VpnStatus::invalid << 0;
        QTest::newRow("disconnected") << VpnStatus::disconnected << 0;
        QTest::newRow("connecting") << VpnStatus::connecting << 1;
        QTest::newRow("connected") << VpnStatus::connected << 1;
        QTest::newRow("reasserting") << VpnStatus::reasserting << 1;
        QTest::newRow("disconnecting") << VpnStatus::disconnecting << 1;
    }
    void stopOnlyWhenUp() {
        QFETCH(VpnStatus, status);
        QFETCH(int, stops);
        m_facility->setStatus(status, false);
        m_facility->stopSteps = {};
        VPNController::stop(*m_facility);
        QCOMPARE(m_facility->stops, 0); // it loads first
        settle();
        QCOMPARE(m_facility->loads, 1);
        QCOMPARE(m_facility->stops, stops);
    }
};

QTEST_GUILESS_MAIN(VpnControllerTest)
#include "vpn_controller_test.moc"
