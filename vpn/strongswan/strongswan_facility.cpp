#include "vpn/strongswan/strongswan_facility.h"

#include "platform/private_file.h"
#include "platform/signal_wait.h"
#include "vpn/strongswan/charon_config.h"
#include "vpn/strongswan/charon_failures.h"
#include "vpn/strongswan/profile_file.h"
#include "vpn/strongswan/updown_hook.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTimer>
#include <QHostAddress>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

using namespace std::chrono_literals;
using strongswan::TunnelEvent;

namespace {

constexpr int recentLogLines = 40;
// How long a drop's reason may trail it in charon's log.
constexpr std::chrono::seconds lateReasonWait{2};

bool succeeded(const vici::Section& response) { return response.value("success") == QByteArrayLiteral("yes"); }

// Nobody answered any more (dead-peer detection or retransmits gave up): the network may come back.
bool pathLost(const Error& why) { return why.detail == QLatin1String("PEER_NOT_RESPONDING"); }
// No log line told why (yet).
bool untold(const Error& why) { return why.detail == QLatin1String("CONNECTION_FAILED"); }

QStringList logMessages(const std::vector<std::pair<QByteArray, vici::Section>>& streamed) {
    QStringList lines;
    for (const auto& [name, message] : streamed)
        if (name == "control-log") lines.append(message.text("msg"));
    return lines;
}

// What a call reports when the facility went away while it waited; nobody is left to read it.
Error gone() { return strongswan::charonError(vici::unreachable(QStringLiteral("facility closed"))); }

} // namespace

StrongSwanFacility::StrongSwanFacility(QString socketPath, QString profilePath, SecretResolver resolver, QObject* parent)
    : LiveFacility(QStringLiteral("strongswan"), parent),
      m_socketPath(std::move(socketPath)),
      m_profilePath(std::move(profilePath)),
      m_resolver(std::move(resolver)),
      m_commands(new vici::Connection(this)),
      m_events(new vici::Connection(this)) {
    connect(m_events, &vici::Connection::eventReceived, this, &StrongSwanFacility::onEvent);
    connect(m_events, &vici::Connection::lost, this, &StrongSwanFacility::onEventsLost);
}

StrongSwanFacility::~StrongSwanFacility() { disarmComeBack(); }

QString StrongSwanFacility::defaultSocketPath() { return QStringLiteral("/var/run/charon.vici"); }

QString StrongSwanFacility::defaultUpdownScript() { return QString::fromLatin1(strongswan::packagedUpdownHook); }

QString StrongSwanFacility::defaultProfilePath() { return PrivateFile::configPath(QStringLiteral("vpn-profile.json")); }

void StrongSwanFacility::apply(TunnelEvent event) { setStatus(strongswan::nextStatus(status(), event)); }

StrongSwanFacility::SocketAccess StrongSwanFacility::probeSocket(const QString& path) {
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.state() != QLocalSocket::UnconnectedState) {
        probe.abort();
        return SocketAccess::reachable;
    }
    switch (probe.error()) {
    case QLocalSocket::ServerNotFoundError: return SocketAccess::missing;
    case QLocalSocket::SocketAccessError: return SocketAccess::denied;
    default: return SocketAccess::refused;
    }
}

QCoro::Task<Result<void>> StrongSwanFacility::ensureChannels() {
    if (m_commands->isOpen() && m_events->isOpen()) co_return Result<void>();
    QPointer<StrongSwanFacility> self(this);
    if (m_opening) {
        co_await nextEmission(&m_opened, &strongswan::detail::Wakeup::fired, m_limits.command * 2);
        if (!self) co_return gone();
        if (m_commands->isOpen() && m_events->isOpen()) co_return Result<void>();
        co_return m_openError.value_or(strongswan::charonError(vici::unreachable(QStringLiteral("no connection"))));
    }
    m_opening = true;
    const vici::Outcome<void> opened = co_await openChannels();
    if (!self) co_return gone();
    m_opening = false;
    m_openError = opened ? std::nullopt : std::optional<Error>(strongswan::charonError(opened.error()));
    Q_EMIT m_opened.fired();
    if (m_openError) co_return *m_openError;
    co_return Result<void>();
}

QCoro::Task<vici::Outcome<void>> StrongSwanFacility::openChannels() {
    QPointer<StrongSwanFacility> self(this);
    const auto limit = m_limits.command;
    if (!m_commands->isOpen()) {
        auto r = co_await m_commands->open(m_socketPath, limit);
        if (!r || !self) co_return r;
        // list-sas answers with list-sa events, which only registered connections receive.
        r = co_await m_commands->subscribe("list-sa", limit);
        if (!self) co_return r;
        if (!r) {
            m_commands->close();
            co_return r;
        }
    }
    if (!m_events->isOpen()) {
        auto r = co_await m_events->open(m_socketPath, limit);
        if (!r || !self) co_return r;
        for (const char* event : {"ike-updown", "child-updown", "ike-rekey", "child-rekey"}) {
            r = co_await m_events->subscribe(event, limit);
            if (!self) co_return r;
            if (!r) {
                m_events->close();
                co_return r;
            }
        }
        // Helpful but not needed to follow the status; older charons may not offer them.
        for (const char* event : {"ike-update", "log"}) {
            r = co_await m_events->subscribe(event, limit);
            if (!self) co_return vici::Outcome<void>();
            if (!r && r.error().kind != vici::Failure::Kind::UnknownEvent) {
                m_events->close();
                co_return r;
            }
        }
    }
    co_return vici::Outcome<void>();
}

QCoro::Task<Result<vici::Reply>> StrongSwanFacility::command(QByteArray name, vici::Section args, Refusal refusal) {
    QPointer<StrongSwanFacility> self(this);
    auto reply = co_await m_commands->request(name, std::move(args), m_limits.command);
    if (!self) co_return gone();
    if (!reply) co_return strongswan::charonError(reply.error());
    const bool refused = refusal != Refusal::ignored && !succeeded(reply->response);
    // Not there is as good as withdrawn.
    const bool absent = reply->response.text("errmsg").contains(QLatin1String("not found"));
    if (refused && !(refusal == Refusal::unlessAbsent && absent)) co_return strongswan::serviceError(name, reply->response);
    co_return std::move(reply).value();
}

QCoro::Task<Result<void>> StrongSwanFacility::pushConfiguration(IkeProfile::Usable profile) {
    QPointer<StrongSwanFacility> self(this);
    if (!m_resolver) co_return strongswan::noKeychainError();
    std::optional<QByteArray> secret = co_await m_resolver(profile.secretReference);
    if (!self) co_return gone();
    if (!secret || secret->isEmpty()) co_return strongswan::missingSecretError();

    // charon runs it as root: only a hook that is there (a missing one would fail the CHILD_SA) and that
    // nobody but root can change or redirect.
    const QByteArray script = strongswan::checkedUpdownHook(m_updown);
    auto loaded = co_await command("load-conn", strongswan::connectionMessage(profile, script));
    if (!loaded) co_return loaded.error();
    vici::Section shared = strongswan::sharedSecretMessage(profile, *secret);
    secret->fill('\0');
    auto keyed = co_await command("load-shared", std::move(shared));
    if (!keyed) co_return keyed.error();
    co_return Result<void>();
}

QCoro::Task<Result<void>> StrongSwanFacility::withdrawConfiguration() {
    vici::Section conn;
    conn.set("name", strongswan::connectionName);
    auto unloaded = co_await command("unload-conn", std::move(conn), Refusal::unlessAbsent);
    if (!unloaded) co_return unloaded.error();
    vici::Section key;
    key.set("id", strongswan::connectionName);
    auto unkeyed = co_await command("unload-shared", std::move(key), Refusal::unlessAbsent);
    if (!unkeyed) co_return unkeyed.error();
    co_return Result<void>();
}

QCoro::Task<Result<VpnStatus>> StrongSwanFacility::queryStatus() {
    vici::Section args;
    // Blocking on purpose: with noblock an IKE_SA busy rekeying is left out, and looks gone.
    args.set("ike", strongswan::connectionName);
    auto reply = co_await command("list-sas", std::move(args), Refusal::ignored);
    if (!reply) co_return reply.error();
    std::vector<vici::Section> sas;
    for (auto& [name, message] : reply->streamed)
        if (name == "list-sa") sas.push_back(std::move(message));
    co_return strongswan::statusFromSas(sas);
}

QCoro::Task<vici::Outcome<vici::Reply>> StrongSwanFacility::terminate(QByteArray ikeSelector, QByteArray value) {
    vici::Section args;
    args.set(ikeSelector, value);
    // Graceful first; a gateway that does not confirm the delete in time is dropped anyway.
    args.set("force", QByteArrayLiteral("yes"));
    args.set("timeout", QByteArray::number(qint64(m_limits.terminate.count())));
    co_return co_await m_commands->request("terminate", std::move(args), m_limits.terminate + m_limits.command);
}

QCoro::Task<Result<void>> StrongSwanFacility::load() {
    QPointer<StrongSwanFacility> self(this);
    m_setAside.clear();
    const Result<strongswan::StoredProfile> read = strongswan::readProfileFile(m_profilePath);
    if (!read) co_return read.error();
    m_setAside = read->setAside;
    m_stored = read->profile;
    m_profile = m_stored.value_or(VpnProfile{});
    if (!m_stored) {
        setStatus(VpnStatus::invalid);
        co_return Result<void>();
    }
    if (status() == VpnStatus::invalid) setStatus(VpnStatus::disconnected);

    auto channels = co_await ensureChannels();
    if (!self) co_return Result<void>();
    if (!channels) {
        setStatus(VpnStatus::disconnected);
        co_return Result<void>();
    }
    auto found = co_await queryStatus();
    if (!self) co_return Result<void>();
    // A start or stop under way knows better than a snapshot taken in its middle.
    if (found && status() != VpnStatus::connecting && status() != VpnStatus::disconnecting && m_stored)
        setStatus(*found);
    co_return Result<void>();
}

QCoro::Task<Result<void>> StrongSwanFacility::save() {
    QPointer<StrongSwanFacility> self(this);
    const VpnProfile profile = m_profile;
    std::optional<IkeProfile::Usable> usable;
    if (profile.protocolConfiguration) {
        auto checked = IkeProfile::check(*profile.protocolConfiguration);
        if (!checked) co_return checked.error();
        usable = std::move(*checked);
    }
    if (auto written = strongswan::writeProfileFile(m_profilePath, profile); !written) co_return written;
    m_stored = profile;
    if (status() == VpnStatus::invalid) setStatus(VpnStatus::disconnected);

    auto channels = co_await ensureChannels();
    if (!self) co_return Result<void>();
    if (!channels) co_return Result<void>(); // reaches charon on connect

    if (profile.isEnabled && usable) co_return co_await pushConfiguration(*usable);

    // Disabled: charon must not be able to start it, not even through its own tools.
    if (Tunnel::mayStop(status())) stopTunnel();
    co_return co_await withdrawConfiguration();
}

QCoro::Task<Result<void>> StrongSwanFacility::remove() {
    QPointer<StrongSwanFacility> self(this);
    retireAttempts();
    noteUserStop();
    disarmComeBack();
    m_initiating = false;
    std::optional<Error> serviceFailure;
    auto channels = co_await ensureChannels();
    if (!self) co_return Result<void>();
    if (channels) {
        // Whatever runs under our name goes, whether or not this copy of the program started it.
        (void)co_await terminate("ike", strongswan::connectionName);
        if (!self) co_return Result<void>();
        auto withdrawn = co_await withdrawConfiguration();
        if (!self) co_return Result<void>();
        if (!withdrawn) serviceFailure = withdrawn.error();
    }
    if (auto removed = strongswan::removeProfileFile(m_profilePath); !removed) co_return removed;
    m_stored.reset();
    setStatus(VpnStatus::invalid);
    if (serviceFailure) co_return *serviceFailure;
    co_return Result<void>();
}

Result<void> StrongSwanFacility::startTunnel() {
    if (auto problem = storedProblem()) return *problem;
    auto usable = IkeProfile::check(*m_stored->protocolConfiguration);
    if (!usable) return usable.error();
    if (Tunnel::isUp(status())) return {};
    if (!m_events->isOpen()) {
        switch (probeSocket(m_socketPath)) {
        case SocketAccess::reachable: break;
        case SocketAccess::denied: return strongswan::accessDeniedError(m_socketPath);
        case SocketAccess::missing:
        case SocketAccess::refused: return strongswan::unreachableError(m_socketPath);
        }
    }
    disarmComeBack();
    m_recentLog.clear();
    m_initiating = false;
    m_retiredSas.unite(m_knownSas);
    m_knownSas.clear();
    const quint64 attempt = beginAttempt();
    apply(TunnelEvent::StartRequested);
    runStart(attempt, std::move(*usable));
    return {};
}

QCoro::Task<> StrongSwanFacility::runStart(quint64 attempt, IkeProfile::Usable profile) {
    QPointer<StrongSwanFacility> self(this);
    auto current = [&] { return self && isCurrent(attempt); };
    auto giveUp = [&](const Error& error) {
        setLastError(error);
        apply(TunnelEvent::InitiateFailed);
    };

    auto channels = co_await ensureChannels();
    if (!current()) co_return;
    if (!channels) co_return giveUp(channels.error());
    auto pushed = co_await pushConfiguration(std::move(profile));
    if (!current()) co_return;
    if (!pushed) co_return giveUp(pushed.error());

    // Its own connection: initiate holds it until the tunnel is up or has failed.
    auto* initiator = new vici::Connection(this);
    auto opened = co_await initiator->open(m_socketPath, m_limits.command);
    if (opened) opened = co_await initiator->subscribe("control-log", m_limits.command);
    if (!self) co_return;
    if (!opened || !current()) {
        initiator->deleteLater();
        if (current()) giveUp(strongswan::charonError(opened.error()));
        co_return;
    }
    vici::Section args;
    args.set("child", strongswan::connectionName);
    args.set("ike", strongswan::connectionName);
    args.set("timeout", QByteArray::number(qint64(m_limits.attempt.count())));
    args.set("init-limits", QByteArrayLiteral("no"));
    args.set("loglevel", QByteArrayLiteral("1"));
    m_initiating = true;
    auto reply = co_await initiator->request("initiate", std::move(args), m_limits.attempt + m_limits.command);
    if (!self) co_return;
    initiator->deleteLater();
    if (isCurrent(attempt)) m_initiating = false;
    if (!current()) co_return;

    if (reply && succeeded(reply->response)) {
        // child-updown normally got here first; list-sas covers an event connection that fell behind.
        if (status() == VpnStatus::connecting) {
            auto found = co_await queryStatus();
            if (current() && found && *found == VpnStatus::connected) apply(TunnelEvent::ChildUp);
        }
        co_return;
    }
    const Error why = reply ? strongswan::describeFailure(logMessages(reply->streamed), reply->response.text("errmsg"),
                                                          strongswan::attemptFailedText())
                            : strongswan::charonError(reply.error());
    if (status() == VpnStatus::connecting && !hasLastError()) setLastError(why);
    apply(TunnelEvent::InitiateFailed);
    // What the failed attempt left behind (an IKE_SA without its CHILD_SA, or one still trying) goes too.
    QByteArray uniqueId;
    if (reply) {
        for (const auto& [name, message] : reply->streamed)
            if (const auto id = message.value("ikesa-uniqueid")) uniqueId = *id;
    }
    terminateLeftover(uniqueId);
}

void StrongSwanFacility::terminateLeftover(QByteArray uniqueId) {
    if (!uniqueId.isEmpty()) m_retiredSas.insert(uniqueId);
    [](QPointer<StrongSwanFacility> self, QByteArray uniqueId) -> QCoro::Task<> {
        if (!self) co_return;
        if (uniqueId.isEmpty()) (void)co_await self->terminate("ike", strongswan::connectionName);
        else (void)co_await self->terminate("ike-id", uniqueId);
    }(QPointer<StrongSwanFacility>(this), std::move(uniqueId));
}

void StrongSwanFacility::stopTunnel() {
    disarmComeBack();
    if (!Tunnel::mayStop(status())) return;
    noteUserStop();
    m_initiating = false;
    const quint64 attempt = retireAttempts();
    apply(TunnelEvent::StopRequested);
    runStop(attempt);
}

QCoro::Task<> StrongSwanFacility::runStop(quint64 attempt) {
    QPointer<StrongSwanFacility> self(this);
    auto channels = co_await ensureChannels();
    if (!self || !isCurrent(attempt)) co_return;
    if (channels) {
        (void)co_await terminate("ike", strongswan::connectionName);
        if (!self || !isCurrent(attempt)) co_return;
    }
    apply(TunnelEvent::TerminateDone);
}

void StrongSwanFacility::noteSa(const QByteArray& uniqueId) {
    if (!uniqueId.isEmpty() && !m_retiredSas.contains(uniqueId)) m_knownSas.insert(uniqueId);
}

void StrongSwanFacility::onEvent(const QByteArray& name, const vici::Section& message) {
    if (name == "log") {
        if (message.value("ikesa-name") == strongswan::connectionName) {
            const QByteArray id = message.value("ikesa-uniqueid").value_or(QByteArray());
            if (m_retiredSas.contains(id)) return;
            noteSa(id);
            m_recentLog.append(message.text("msg"));
            while (m_recentLog.size() > recentLogLines) m_recentLog.removeFirst();
            if (!m_lateReasonUntil.hasExpired()) takeLateReason();
        }
        return;
    }
    const auto event = strongswan::classifyEvent(name, message);
    if (!event) return;
    const vici::Section* ike = message.section(strongswan::connectionName);
    const QByteArray id = ike->value("uniqueid").value_or(QByteArray());
    const bool down = *event == TunnelEvent::IkeDown || *event == TunnelEvent::ChildDown;
    // An SA of an earlier attempt going away late says nothing about the current one.
    if (down && m_retiredSas.contains(id) && status() != VpnStatus::disconnecting) return;
    noteSa(id);
    if (const vici::Section* renewed = ike->section("new")) noteSa(renewed->value("uniqueid").value_or(QByteArray()));

    // charon may announce the failed IKE_SA before logging why; the initiate reply, which comes with its
    // log in order, settles an attempt of ours.
    if (down && status() == VpnStatus::connecting && m_initiating) return;

    const VpnStatus before = status();
    bool pathDied = false;
    if (down && Tunnel::isUp(before)) {
        const Error why = strongswan::describeFailure(m_recentLog, QString(),
                                                      before == VpnStatus::connecting ? strongswan::attemptFailedText()
                                                                                      : strongswan::droppedText());
        const bool droppedWhileUp = before != VpnStatus::connecting && !userStopped();
        pathDied = droppedWhileUp && pathLost(why);
        noteEnd(why);
        m_lateReasonUntil = droppedWhileUp && untold(why) ? QDeadlineTimer(lateReasonWait) : QDeadlineTimer();
    }
    apply(*event);
    if (pathDied && status() == VpnStatus::disconnected) armComeBack();
    if (*event == TunnelEvent::Rekeyed && status() == VpnStatus::reasserting) confirmAfterRekey();
    // A CHILD_SA gone while its IKE_SA lives on carries nothing; do not leave the IKE_SA behind.
    if (*event == TunnelEvent::ChildDown && before != status() && status() == VpnStatus::disconnected)
        terminateLeftover(id);
}

QCoro::Task<> StrongSwanFacility::confirmAfterRekey() {
    QPointer<StrongSwanFacility> self(this);
    const quint64 asked = attempt();
    auto found = co_await queryStatus();
    if (!self || !isCurrent(asked) || status() != VpnStatus::reasserting) co_return;
    if (!found) co_return;
    if (*found == VpnStatus::connected) apply(TunnelEvent::ChildUp);
    else if (*found == VpnStatus::disconnected) apply(TunnelEvent::ChildDown);
}

void StrongSwanFacility::takeLateReason() {
    if (status() != VpnStatus::disconnected || userStopped()) {
        m_lateReasonUntil = QDeadlineTimer();
        return;
    }
    const Error why = strongswan::describeFailure(m_recentLog, QString(), strongswan::droppedText());
    if (untold(why)) return;
    m_lateReasonUntil = QDeadlineTimer();
    setLastError(why);
    if (pathLost(why)) armComeBack();
}

void StrongSwanFacility::armComeBack() {
    m_comeBack = true;
    if (!m_networkWatch) {
        // Links, addresses and routes: any of them may be what brings the gateway back in reach.
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl where{};
        where.nl_family = AF_NETLINK;
        where.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
            m_networkWatch = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(m_networkWatch, &QSocketNotifier::activated, this, [this, fd] {
                char buffer[8192];
                while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
                }
                tryComeBack();
            });
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    // After the status change has gone out, so that it shows down first.
    QTimer::singleShot(0, this, &StrongSwanFacility::tryComeBack);
}

void StrongSwanFacility::disarmComeBack() {
    m_comeBack = false;
    if (!m_networkWatch) return;
    const int fd = int(m_networkWatch->socket());
    delete m_networkWatch;
    m_networkWatch = nullptr;
    ::close(fd);
}

void StrongSwanFacility::tryComeBack() {
    if (!m_comeBack) return;
    if (status() != VpnStatus::disconnected) return disarmComeBack();
    if (!m_stored || !m_stored->protocolConfiguration) return disarmComeBack();
    // A route to the gateway: the kernel picks one when a UDP socket connects, and sends nothing.
    const QHostAddress gateway(m_stored->protocolConfiguration->serverAddress.value_or(QString()));
    if (!gateway.isNull()) {
        sockaddr_storage to{};
        socklen_t length = 0;
        if (gateway.protocol() == QAbstractSocket::IPv6Protocol) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&to);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(500);
            const Q_IPV6ADDR bytes = gateway.toIPv6Address();
            std::memcpy(&a->sin6_addr, bytes.c, sizeof bytes.c);
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&to);
            a->sin_family = AF_INET;
            a->sin_port = htons(500);
            a->sin_addr.s_addr = htonl(gateway.toIPv4Address());
            length = sizeof *a;
        }
        const int probe = ::socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const bool routed = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&to), length) == 0;
        if (probe >= 0) ::close(probe);
        if (!routed) return; // wait for the next change
    }
    // Once per loss: if this start fails, the failure ends it.
    disarmComeBack();
    (void)startTunnel();
}

void StrongSwanFacility::onEventsLost(const vici::Failure& why) {
    disarmComeBack();
    m_commands->close();
    if (Tunnel::isUp(status())) noteEnd(strongswan::serviceLostError(why));
    apply(TunnelEvent::ServiceLost);
}
