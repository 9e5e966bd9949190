#include "vpn/vpn_controller.h"

#include <QPointer>

#include <qcoro/qcorosignal.h>

#include <memory>

namespace VPNControllerError {

Error keychain(int code) {
    return Error{Error::Kind::Keychain, QStringLiteral("VPN anahtarı kaydedilemedi (kod %1)").arg(code), code};
}

Error rejected(const QString& message) { return Error{Error::Kind::Rejected, message}; }

} // namespace VPNControllerError

namespace VPNController {

namespace {

QString text(const char* s) { return QString::fromUtf8(s); }

// Holds one wait's outcome; whatever settles first wins, later outcomes are dropped.
class TunnelWait : public QObject {
    Q_OBJECT
public:
    bool finished = false;
    bool refused = false; // decided; only the reason is still on its way
    WaitOutcome outcome;
    void finish(bool ok, std::optional<QString> message) {
        if (finished) return;
        finished = true;
        outcome = WaitOutcome{ok, std::move(message)};
        Q_EMIT done();
    }
Q_SIGNALS:
    void done();
};

bool matches(const VpnProfile& p, const QString& hostname, const QString& remoteId, const QByteArray& ref) {
    if (!p.protocolConfiguration || !p.isEnabled) return false;
    const IkeV2Protocol& ike = *p.protocolConfiguration;
    return ike.serverAddress && *ike.serverAddress == hostname && ike.remoteIdentifier &&
           *ike.remoteIdentifier == remoteId && ike.sharedSecretReference && *ike.sharedSecretReference == ref;
}

QCoro::Task<> fetchReasonAndFinish(VpnFacility* facility, QPointer<TunnelWait> wait) {
    const std::optional<Error> reason = co_await facility->fetchLastDisconnectError();
    if (!wait) co_return;
    QString message = text(refusedText);
    if (reason) message += QStringLiteral(" \u2013 ") + reason->description();
    wait->finish(false, message);
}

} // namespace

QCoro::Task<Result<QByteArray>> storeSecret(Keychain& keychain, const QString& secret) {
    const QString service = text(keychainService);
    const QString account = text(keychainAccount);
    const QByteArray bytes = secret.toUtf8();
    KeychainResult<void> updated = co_await keychain.update(service, account, bytes);
    if (!updated && updated.error().status == KeychainStatus::itemNotFound) {
        // An item of an earlier build keeps its reference, so the profile that names it stays right.
        const KeychainResult<void> moved = co_await keychain.rename(text(legacyKeychainService), account, service);
        if (moved) updated = co_await keychain.update(service, account, bytes);
        else if (moved.error().status != KeychainStatus::itemNotFound)
            co_return VPNControllerError::keychain(moved.error().status);
    }
    KeychainResult<QByteArray> found = KeychainFailure{};
    if (!updated && updated.error().status == KeychainStatus::itemNotFound)
        found = co_await keychain.add(service, account, bytes);
    else if (!updated)
        co_return VPNControllerError::keychain(updated.error().status);
    else
        found = co_await keychain.copyMatching(service, account);
    if (!found) co_return VPNControllerError::keychain(found.error().status);
    // A call that succeeded without a reference reports its own status, success.
    if (found->isEmpty()) co_return VPNControllerError::keychain(KeychainStatus::success);
    co_return found.value();
}

VpnProfile profileFor(const QString& hostname, const QString& remoteId, const QByteArray& secretRef) {
    IkeV2Protocol ike;
    ike.serverAddress = hostname;
    ike.remoteIdentifier = remoteId;
    ike.localIdentifier = text(localIdentifier);
    ike.authenticationMethod = 2;
    ike.sharedSecretReference = secretRef;
    ike.useExtendedAuthentication = false;
    ike.disconnectOnSleep = false;
    ike.deadPeerDetectionRate = 2;
    ike.ikeSecurityAssociationParameters = IkeSaParameters{4, 3, 14};
    ike.childSecurityAssociationParameters = IkeSaParameters{4, 3, 14};
    VpnProfile p;
    p.protocolConfiguration = ike;
    p.localizedDescription = text(profileDescription);
    p.isEnabled = true;
    p.isOnDemandEnabled = false;
    return p;
}

QCoro::Task<Result<void>> install(VpnFacility& facility, Keychain& keychain, QString hostname, QString remoteId,
                                  QString secret) {
    const Result<QByteArray> ref = co_await storeSecret(keychain, secret);
    if (!ref.ok()) co_return ref.error();
    const Result<void> loaded = co_await facility.load();
    if (!loaded.ok()) co_return loaded.error();
    if (matches(facility.profile(), hostname, remoteId, ref.value())) co_return Result<void>();

    facility.profile() = profileFor(hostname, remoteId, ref.value());
    const Result<void> saved = co_await facility.save();
    if (!saved.ok()) co_return saved.error();
    (void)co_await facility.load();
    co_return Result<void>();
}

QCoro::Task<Result<void>> reinstall(VpnFacility& facility, Keychain& keychain, QString hostname, QString remoteId,
                                    QString secret) {
    (void)co_await facility.load();
    (void)co_await facility.remove();
    co_return co_await install(facility, keychain, std::move(hostname), std::move(remoteId), std::move(secret));
}

QCoro::Task<WaitOutcome> waitForTunnel(VpnFacility& facility, Clock& clock, double timeoutSeconds) {
    auto wait = std::make_unique<TunnelWait>();
    TunnelWait* w = wait.get();
    std::unique_ptr<ClockTimer> timeout = clock.createTimer();
    // The wait is promised in full: a coarse time-out could give up a second and more early.
    timeout->setPrecise(true);
    ClockTimer* t = timeout.get();

    QObject::connect(t, &ClockTimer::timeout, w, [w, &facility] {
        w->finish(facility.status() == VpnStatus::connected, text(timedOutText));
    });
    // The observer is in place before the first notification can be delivered.
    QObject::connect(&facility, &VpnFacility::statusChanged, w, [w, t, &facility] {
        if (w->finished || w->refused) return;
        switch (facility.status()) {
        case VpnStatus::invalid:
        case VpnStatus::disconnected:
            t->stop();
            w->refused = true;
            fetchReasonAndFinish(&facility, QPointer<TunnelWait>(w));
            break;
        case VpnStatus::connected:
            t->stop();
            w->finish(true, std::nullopt);
            break;
        case VpnStatus::connecting:
        case VpnStatus::reasserting:
        case VpnStatus::disconnecting:
            break;
        }
    });
    t->start(std::chrono::milliseconds(qint64(timeoutSeconds * 1000.0)), false);

    if (!w->finished) co_await qCoro(w, &TunnelWait::done);
    // Leaving the scope removes the observer and the time-out with the objects.
    const WaitOutcome outcome = w->outcome;
    co_return outcome;
}

QCoro::Task<Result<void>> start(VpnFacility& facility, Clock& clock) {
    const Result<void> loaded = co_await facility.load();
    if (!loaded.ok()) co_return loaded.error();
    if (facility.status() == VpnStatus::connected) co_return Result<void>();
    const Result<void> started = facility.startTunnel();
    if (!started.ok()) co_return started.error();
    const WaitOutcome outcome = co_await waitForTunnel(facility, clock, startTimeoutSeconds);
    if (outcome.ok) co_return Result<void>();
    co_return VPNControllerError::rejected(outcome.message.value_or(text(couldNotOpenText)));
}

void stop(VpnFacility& facility) {
    [](VpnFacility* f) -> QCoro::Task<> {
        // Whatever the load says, the stop is tried on the status the facility reports.
        (void)co_await f->load();
        if (Tunnel::mayStop(f->status())) f->stopTunnel();
    }(&facility);
}

} // namespace VPNController

#include "vpn_controller.moc"
