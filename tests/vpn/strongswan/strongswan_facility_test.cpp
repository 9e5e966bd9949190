// The facility against no charon at all and against an in-process stand-in that speaks VICI.
#include "vpn/backends.h"
#include "vpn/strongswan/strongswan_facility.h"

#include "support/await.h"
#include "support/fake_charon.h"
#include "support/files.h"

#include <QLocalServer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Access = StrongSwanFacility::SocketAccess;

namespace {

const QByteArray reference = QByteArrayLiteral("/org/freedesktop/secrets/collection/login/42");
const QByteArray secret = QByteArrayLiteral("correct horse battery staple");

VpnProfile profile(bool enabled = true) {
    VpnProfile p;
    p.localizedDescription = QStringLiteral("Kestrava");
    p.isEnabled = enabled;
    IkeV2Protocol ike;
    ike.serverAddress = QStringLiteral("203.0.113.7");
    ike.remoteIdentifier = QStringLiteral("gw.example.net");
    ike.localIdentifier = QStringLiteral("device-1@example.net");
    ike.sharedSecretReference = reference;
    ike.ikeSecurityAssociationParameters = ike.childSecurityAssociationParameters = {6, 3, 31};
    p.protocolConfiguration = ike;
    return p;
}

int mode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

} // namespace

class StrongSwanFacilityTest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::optional<QByteArray> m_secret;

    QString socketPath() const { return m_dir->path() + QStringLiteral("/charon.vici"); }
    QString profilePath() const { return m_dir->path() + QStringLiteral("/config/kestrava/vpn-profile.json"); }
    QString profileFolder() const { return QFileInfo(profilePath()).absolutePath(); }

    std::unique_ptr<StrongSwanFacility> facility() {
        auto f = std::make_unique<StrongSwanFacility>(socketPath(), profilePath(),
                                                      [this](QByteArray ref) -> QCoro::Task<std::optional<QByteArray>> {
                                                          co_return ref == reference ? m_secret : std::nullopt;
                                                      });
        f->setLimits({500ms, 500ms, 200ms});
        return f;
    }

    // A facility with the profile stored (and in charon when one runs); nothing if that failed.
    std::unique_ptr<StrongSwanFacility> saved(const QString& updown = {}) {
        auto f = facility();
        if (!updown.isEmpty()) f->setUpdownScript(updown);
        f->profile() = profile();
        return awaitTask(f->save()).ok() ? std::move(f) : nullptr;
    }

    // Connected through a charon that answers initiate as the real one does: events first, then the reply.
    std::unique_ptr<StrongSwanFacility> connected(FakeCharon& charon) {
        charon.handle("initiate", [&charon](FakeCharon::Peer&, const vici::Section&) {
            charon.broadcast("ike-updown", ikeMessage(true));
            charon.broadcast("child-updown", ikeMessage(true, "1", true));
            return std::optional(vici::Section().set("success", QByteArrayLiteral("yes")));
        });
        charon.handle("list-sas", [&charon](FakeCharon::Peer& peer, const vici::Section&) {
            charon.send(peer, "list-sa", ikeMessage(false, "1", true));
            return std::optional(vici::Section());
        });
        auto f = saved();
        if (!f || !f->startTunnel().ok()) return nullptr;
        return QTest::qWaitFor([&] { return f->status() == VpnStatus::connected; }, 10'000) ? std::move(f) : nullptr;
    }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_secret = secret;
    }

    // Stored privately and without the key; a profile charon could not read, or a file that is no
    // profile, never replaces or loses what was there.
    void profileFile() {
        auto f = saved(); // no charon: stored, pushed on connect
        QVERIFY(f);
        QCOMPARE(f->status(), VpnStatus::disconnected);
        QCOMPARE(mode(profilePath()), 0600);
        QCOMPARE(mode(profileFolder()), 0700);
        const QByteArray data = readFile(profilePath());
        QVERIFY(!data.contains(secret));
        QVERIFY(data.contains(reference.toBase64()));
        QCOMPARE(QDir(profileFolder()).entryList(QDir::Files).size(), 1); // no temp left
        auto again = facility();
        QVERIFY(awaitTask(again->load()).ok());
        QCOMPARE(again->profile(), profile());
        QCOMPARE(again->status(), VpnStatus::disconnected);

        f->profile().protocolConfiguration->serverAddress = QStringLiteral("gw.example.net, 198.51.100.1");
        const auto refused = awaitTask(f->save());
        QVERIFY(!refused.ok());
        QCOMPARE(refused.error().kind, Error::Kind::Rejected);
        QCOMPARE(readFile(profilePath()), data);

        const QByteArray junk = QByteArrayLiteral("{\"format\": 1, \"isEnabled\": tru");
        QVERIFY(writeFile(profilePath(), junk));
        auto damaged = facility();
        QVERIFY(awaitTask(damaged->load()).ok());
        QVERIFY(!damaged->profile().protocolConfiguration);
        QCOMPARE(damaged->status(), VpnStatus::invalid);
        QVERIFY(!QFile::exists(profilePath()));
        QCOMPARE(readFile(damaged->setAsidePath()), junk);
    }

    // Missing, listening, stopped (a socket file nobody listens on) and root's alone are four things,
    // and what the program takes without NetworkManager (which wins over all): charon when it may use
    // its socket, stopped or not. A user who may not is told so, not asked whether strongSwan runs.
    void socketStatesAreToldApart() {
        using C = Backends::Choice;
        const auto seen = [](const QString& path) {
            const Access a = StrongSwanFacility::probeSocket(path);
            return std::pair(a, Backends::choose(false, a));
        };
        QCOMPARE(Backends::choose(true, Access::reachable), C::networkManager);
        QCOMPARE(seen(socketPath()), std::pair(Access::missing, C::none));
        {
            FakeCharon charon(socketPath());
            QCOMPARE(seen(socketPath()), std::pair(Access::reachable, C::strongSwan));
        }
        QLocalServer stale;
        stale.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(stale.listen(socketPath()));
        const QByteArray kept = QFile::encodeName(socketPath() + QStringLiteral(".kept"));
        QCOMPARE(::link(QFile::encodeName(socketPath()).constData(), kept.constData()), 0);
        stale.close();
        QCOMPARE(seen(QFile::decodeName(kept)), std::pair(Access::refused, C::strongSwan));

        if (::geteuid() != 0) QSKIP("needs root to act as another user");
        FakeCharon charon(socketPath());
        QCOMPARE(::chmod(QFile::encodeName(socketPath()).constData(), 0600), 0);
        QVERIFY(saved());
        // The profile is the other user's to read, as it would be in their own home.
        for (const QString& d : {m_dir->path(), QFileInfo(profileFolder()).absolutePath(), profileFolder()})
            QCOMPARE(::chmod(QFile::encodeName(d).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(profilePath()).constData(), 0644), 0);
        int out[2];
        QCOMPARE(::pipe(out), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(out[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
            QByteArray said = QByteArray::number(int(StrongSwanFacility::probeSocket(socketPath()))) + '\n';
            auto f = facility();
            const bool loaded = awaitTask(f->load(), 5'000).ok();
            const auto started = f->startTunnel();
            said += loaded ? (started.ok() ? QByteArray("started") : started.error().message.toUtf8()) : "load failed";
            (void)!::write(out[1], said.constData(), size_t(said.size()));
            ::_exit(0);
        }
        ::close(out[1]);
        QFile pipe;
        QVERIFY(pipe.open(out[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        int status = 0;
        if (!QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10'000)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            QFAIL("the other user's copy did not finish");
        }
        const QList<QByteArray> lines = pipe.readAll().split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0).toInt(), int(Access::denied));
        QCOMPARE(Backends::choose(false, Access::denied), C::charonDenied);
        const QString text = QString::fromUtf8(lines.at(1));
        QVERIFY2(text.startsWith(QStringLiteral("VPN hizmetine (charon) erişim izni yok: ")), qPrintable(text));
        QVERIFY(text.contains(socketPath()));
    }

    void startIsRefusedAtOnce_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("kind");
        QTest::newRow("no profile") << QStringLiteral("none") << int(Error::Kind::Rejected);
        QTest::newRow("profile disabled") << QStringLiteral("disabled") << int(Error::Kind::Rejected);
        QTest::newRow("no charon") << QStringLiteral("no charon") << int(Error::Kind::Transport);
        QTest::newRow("profile removed") << QStringLiteral("removed") << int(Error::Kind::Rejected);
    }
    void startIsRefusedAtOnce() {
        QFETCH(QString, situation);
        QFETCH(int, kind);
        std::optional<FakeCharon> charon;
        if (situation != QLatin1String("no charon")) charon.emplace(socketPath());
        auto f = facility();
        if (situation != QLatin1String("none")) {
            f->profile() = profile(situation != QLatin1String("disabled"));
            QVERIFY(awaitTask(f->save()).ok());
        }
        if (situation == QLatin1String("removed")) {
            QVERIFY(awaitTask(f->remove()).ok());
            QVERIFY(!QFile::exists(profilePath()));
            QCOMPARE(f->status(), VpnStatus::invalid);
        }
        const VpnStatus before = f->status();
        QSignalSpy changes(f.get(), &VpnFacility::statusChanged);
        auto started = f->startTunnel();
        QVERIFY(!started.ok());
        QCOMPARE(int(started.error().kind), kind);
        QVERIFY(!started.error().message.isEmpty());
        QCOMPARE(f->status(), before);
        QCOMPARE(changes.size(), 0);
        if (situation == QLatin1String("no charon")) QVERIFY(started.error().message.contains(socketPath()));
        if (situation == QLatin1String("disabled") || situation == QLatin1String("removed")) {
            // Withdrawn from charon, so that its own tools cannot start it either.
            QVERIFY(!charon->commandNames().contains("load-conn") || situation == QLatin1String("removed"));
            QVERIFY(charon->commandNames().contains("unload-conn"));
            QVERIFY(charon->commandNames().contains("unload-shared"));
        }
    }

    // refusing: the command charon answers no to, "silent" for none at all, empty for a clean save.
    void saveIntoCharon_data() {
        QTest::addColumn<bool>("secretKnown");
        QTest::addColumn<QByteArray>("refusing");
        QTest::addColumn<int>("kind");
        QTest::newRow("saved") << true << QByteArray() << -1;
        QTest::newRow("secret missing from the keychain") << false << QByteArray() << int(Error::Kind::Keychain);
        QTest::newRow("charon refuses the connection") << true << QByteArray("load-conn") << int(Error::Kind::Rejected);
        QTest::newRow("charon refuses the key") << true << QByteArray("load-shared") << int(Error::Kind::Rejected);
        QTest::newRow("charon stays silent") << true << QByteArray("silent") << int(Error::Kind::Transport);
    }
    void saveIntoCharon() {
        QFETCH(bool, secretKnown);
        QFETCH(QByteArray, refusing);
        QFETCH(int, kind);
        FakeCharon charon(socketPath());
        if (!secretKnown) m_secret.reset();
        if (!refusing.isEmpty())
            charon.handle(refusing == "silent" ? QByteArray("load-conn") : refusing, [refusing](FakeCharon::Peer&, const vici::Section&) {
                return refusing == "silent" ? std::optional<vici::Section>() : failure("parsing 'remote_addrs' failed");
            });
        auto f = facility();
        f->profile() = profile();
        auto saved = awaitTask(f->save(), 10'000);
        QVERIFY(QFile::exists(profilePath())); // the profile itself is kept
        if (kind >= 0) {
            QVERIFY(!saved.ok());
            QCOMPARE(int(saved.error().kind), kind);
            QVERIFY(!saved.error().message.isEmpty());
            if (int(Error::Kind::Rejected) == kind) QVERIFY(saved.error().message.contains(QStringLiteral("remote_addrs")));
            return;
        }
        QVERIFY(saved.ok());
        QCOMPARE(charon.commandNames(), (QList<QByteArray>{"load-conn", "load-shared"}));
        const vici::Section* conn = charon.last("load-conn")->message.section("kestrava");
        QVERIFY(conn);
        // Both address families asked for and routed; IKE's and ESP's proposals not swapped.
        QCOMPARE(conn->list("vips"), (QList<QByteArray>{"0.0.0.0", "::"}));
        QCOMPARE(conn->list("proposals"), QList<QByteArray>{"aes256gcm16-prfsha256-curve25519"});
        const vici::Section* child = conn->section("children")->section("kestrava");
        QVERIFY(child);
        QCOMPARE(child->list("esp_proposals"), QList<QByteArray>{"aes256gcm16-curve25519"});
        QCOMPARE(child->list("remote_ts"), (QList<QByteArray>{"0.0.0.0/0", "::/0"}));
        QCOMPARE(child->value("start_action"), QByteArray("none"));
        const vici::Section& shared = charon.last("load-shared")->message;
        QCOMPARE(shared.value("data"), secret);
        QCOMPARE(shared.list("owners"), (QList<QByteArray>{"device-1@example.net", "gw.example.net"}));
    }

    // charon runs the hook as root through /bin/sh: it gets the path only when nothing on it is anyone
    // else's to change or redirect, and the user is told when it gets none.
    void updownHookIsPinned_data() {
        QTest::addColumn<QString>("hook");    // under a root-owned folder holding lib/kestrava/charon-updown
        QTest::addColumn<QString>("change");  // what is done to that tree first
        QTest::addColumn<QString>("problem"); // in the warning; empty: handed to charon
        const QString plain = QStringLiteral("lib/kestrava/charon-updown");
        QTest::newRow("root's alone") << plain << QString() << QString();
        QTest::newRow("a space in a folder") << QStringLiteral("kv a/charon-updown") << QString() << QStringLiteral("karakter");
        QTest::newRow("a parent owned by a user") << plain << QStringLiteral("chown lib/kestrava") << QStringLiteral("kestrava root'un değil");
        QTest::newRow("a group-writable parent") << plain << QStringLiteral("chmod lib") << QStringLiteral("lib başkalarınca yazılabilir");
        QTest::newRow("a symbolic link on the way") << QStringLiteral("link/kestrava/charon-updown") << QStringLiteral("ln lib link")
                                                    << QStringLiteral("link bir sembolik bağlantı");
        QTest::newRow("the hook a symbolic link") << QStringLiteral("lib/kestrava/hook") << QStringLiteral("ln charon-updown lib/kestrava/hook")
                                                  << QStringLiteral("hook bir sembolik bağlantı");
        QTest::newRow("the hook owned by a user") << plain << QStringLiteral("chown ") + plain << QStringLiteral("updown root'un değil");
        QTest::newRow("a .. on the way") << QStringLiteral("lib/../lib/kestrava/charon-updown") << QString() << QStringLiteral("..");
        QTest::newRow("not there") << QStringLiteral("lib/kestrava/none") << QString() << QStringLiteral("none: ");
    }
    void updownHookIsPinned() {
        QFETCH(QString, hook);
        QFETCH(QString, change);
        QFETCH(QString, problem);
        if (::geteuid() != 0) QSKIP("needs root: the hook must be root's");
        // Every folder from / down must be root's alone: /run is, wherever the checkout lies.
        QTemporaryDir base(QStringLiteral("/run/kestrava-hook-XXXXXX"));
        QVERIFY(base.isValid());
        const auto at = [&](const QString& relative) { return QFile::encodeName(base.path() + u'/' + relative); };
        for (const QString& dir : {QStringLiteral("lib"), QStringLiteral("lib/kestrava"), QStringLiteral("kv a")}) {
            QVERIFY(QDir(base.path()).mkpath(dir));
            QCOMPARE(::chmod(at(dir).constData(), 0755), 0);
        }
        for (const QString& file : {QStringLiteral("lib/kestrava/charon-updown"), QStringLiteral("kv a/charon-updown")}) {
            QVERIFY(writeFile(base.path() + u'/' + file, "#!/bin/sh\nexit 0\n"));
            QCOMPARE(::chmod(at(file).constData(), 0755), 0);
        }
        const QStringList c = change.split(u' ');
        if (c[0] == QLatin1String("chown")) QCOMPARE(::chown(at(c[1]).constData(), 65534, 65534), 0);
        if (c[0] == QLatin1String("chmod")) QCOMPARE(::chmod(at(c[1]).constData(), 0775), 0);
        if (c[0] == QLatin1String("ln")) QCOMPARE(::symlink(QFile::encodeName(c[1]).constData(), at(c[2]).constData()), 0);

        const QString path = base.path() + u'/' + hook;
        if (problem.isEmpty())
            QTest::failOnWarning(QRegularExpression(QStringLiteral("sızıntı")));
        else
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(problem) +
                                                                  QStringLiteral(".*sızıntı koruması kapalı")));
        FakeCharon charon(socketPath());
        QVERIFY(saved(path));
        const vici::Section* child = charon.last("load-conn")->message.section("kestrava")->section("children")->section("kestrava");
        QCOMPARE(child->value("updown"), problem.isEmpty() ? std::optional(QFile::encodeName(path)) : std::nullopt);
    }

    // How a tunnel that was up ends: the reason kept, or (a gateway that stopped answering is a path
    // lost) started again by itself.
    void droppedTunnelsSayWhy_data() {
        QTest::addColumn<QByteArray>("logged");
        QTest::addColumn<bool>("logAfter"); // charon's log may trail the event it explains
        QTest::addColumn<QString>("token");
        QTest::newRow("gateway deleted it") << QByteArray("received DELETE for IKE_SA kestrava[1]") << false
                                            << QStringLiteral("DELETED_BY_PEER");
        QTest::newRow("nothing said") << QByteArray() << false << QStringLiteral("CONNECTION_FAILED");
        QTest::newRow("gateway gone, said after") << QByteArray("giving up after 2 retransmits") << true
                                                  << QStringLiteral("PEER_NOT_RESPONDING");
        QTest::newRow("charon gone") << QByteArray() << false << QStringLiteral("SERVICE_LOST");
    }
    void droppedTunnelsSayWhy() {
        QFETCH(QByteArray, logged);
        QFETCH(bool, logAfter);
        QFETCH(QString, token);
        auto charon = std::make_unique<FakeCharon>(socketPath());
        auto f = connected(*charon);
        QVERIFY(f);
        const bool charonGone = token == QLatin1String("SERVICE_LOST");
        if (!logged.isEmpty() && !logAfter) charon->broadcast("log", logLine(logged));
        if (charonGone) {
            charon->hangUp();
            charon.reset();
        } else {
            charon->broadcast("ike-updown", ikeMessage(false));
        }
        QTRY_VERIFY_WITH_TIMEOUT(f->status() == VpnStatus::disconnected, 10'000);
        if (logAfter) charon->broadcast("log", logLine(logged));
        if (token == QLatin1String("PEER_NOT_RESPONDING")) {
            QTRY_VERIFY_WITH_TIMEOUT(charon->commandNames().count("initiate") == 2 && f->status() == VpnStatus::connected, 10'000);
            return;
        }
        const auto error = awaitTask(f->fetchLastDisconnectError());
        QVERIFY(error);
        QCOMPARE(error->detail, token);
        QVERIFY(!error->message.isEmpty());
        if (!charonGone) return;
        QVERIFY(!f->startTunnel().ok());
        QVERIFY(awaitTask(f->load(), 5'000).ok()); // still reports the stored profile
        QCOMPARE(f->profile(), profile());
        QCOMPARE(f->status(), VpnStatus::disconnected);
    }

    // charon never answers the initiate: our own limit ends the attempt, with a reason.
    void silentInitiateEndsWithinTheLimit() {
        FakeCharon charon(socketPath());
        charon.handle("initiate", [](FakeCharon::Peer&, const vici::Section&) { return std::optional<vici::Section>(); });
        auto f = saved();
        QVERIFY(f);
        QVERIFY(f->startTunnel().ok());
        QCOMPARE(f->status(), VpnStatus::connecting);
        QTRY_VERIFY_WITH_TIMEOUT(f->status() == VpnStatus::disconnected, 10'000);
        QVERIFY(awaitTask(f->fetchLastDisconnectError()));
    }
};

QTEST_GUILESS_MAIN(StrongSwanFacilityTest)
#include "strongswan_facility_test.moc"
