#include "platform/http.h"

#include "platform/signal_wait.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <qcoro/qcoronetworkreply.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// Whether a plain http request went out through a forwarding HTTP proxy, the same choice the
// manager makes. Such a proxy refuses us with a 407 of its own as the HTTP reply; through a tunnel
// (https, SOCKS) it refuses before there is any reply.
bool forwardedByProxy(const QNetworkAccessManager& nam, const QUrl& url) {
    if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0) return false;
    const QNetworkProxyQuery query(url);
    QList<QNetworkProxy> proxies;
    if (QNetworkProxyFactory* factory = nam.proxyFactory())
        proxies = factory->queryProxy(query);
    else if (nam.proxy().type() != QNetworkProxy::DefaultProxy)
        proxies = {nam.proxy()};
    else
        proxies = QNetworkProxyFactory::proxyForQuery(query);
    for (const QNetworkProxy& p : proxies) {
        if ((p.capabilities() & QNetworkProxy::CachingCapability) &&
            (p.type() == QNetworkProxy::HttpProxy || p.type() == QNetworkProxy::HttpCachingProxy))
            return true;
        if (p.isTransparentProxy()) return false;
    }
    return false;
}

} // namespace

namespace Http {

// Codes Qt gives a complete HTTP reply for its 4xx/5xx status; everything else is transport, also
// when headers came before the failure and the reply carries their status. Qt files 400 and 418
// under ProtocolInvalidOperationError, and 407 among the proxy errors although no proxy need be
// involved: only a forwarding proxy's own 407 is a proxy's refusal.
bool isStatusReply(const QNetworkReply& reply) {
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) return false;
    const QNetworkReply::NetworkError e = reply.error();
    const int code = int(e);
    if (e == QNetworkReply::ProxyAuthenticationRequiredError)
        return !(reply.manager() && forwardedByProxy(*reply.manager(), reply.url()));
    return (code >= 201 && code <= 299) || (code >= 401 && code <= 499) ||
           e == QNetworkReply::ProtocolInvalidOperationError;
}

} // namespace Http

namespace {

Error tooLarge(qint64 maxBytes) {
    return Error{Error::Kind::Transport,
                 QStringLiteral("Sunucu yanıtı çok büyük (en fazla %1 MiB)").arg(maxBytes / (1024 * 1024))};
}

struct ReplyDeleter {
    void operator()(QNetworkReply* r) const {
        if (r) r->deleteLater();
    }
};

} // namespace

namespace Http {

namespace {

QNetworkAccessManager* makeManager() {
    auto* m = new QNetworkAccessManager();
    // Keep-alive connections and caches are fine; cookies are not part of this protocol.
    m->setCookieJar(nullptr);
    return m;
}

QNetworkAccessManager*& current() {
    static QNetworkAccessManager* nam = makeManager();
    return nam;
}

// Managers replaced by setPath() that still serve replies not made by send() (the installer's).
QList<QPointer<QNetworkAccessManager>>& retired() {
    static QList<QPointer<QNetworkAccessManager>> list;
    return list;
}

QList<QNetworkReply*> repliesOf(const QNetworkAccessManager* m) {
    return m->findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly);
}

void deleteIfIdle(QNetworkAccessManager* m) {
    if (repliesOf(m).isEmpty()) m->deleteLater();
}

// A retired manager serves what it has in flight and goes once its last reply is gone.
void deleteWhenIdle(QNetworkAccessManager* m) {
    const QList<QNetworkReply*> replies = repliesOf(m);
    if (replies.isEmpty()) return m->deleteLater();
    for (QNetworkReply* r : replies) {
        // Queued: a reply is still its manager's child while it is being destroyed.
        QObject::connect(r, &QObject::destroyed, m, [m] { QTimer::singleShot(0, m, [m] { deleteIfIdle(m); }); });
    }
}

// Set on a reply of send() that a path change abandoned.
constexpr char abandonedProperty[] = "kestrava-abandoned";

// The addresses a connection to the service may leave from: a link-local one never does (and the
// tunnel's device may keep its own long after the tunnel is gone).
QSet<QHostAddress> hostAddresses() {
    QSet<QHostAddress> out;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (!a.isLinkLocal() && !a.isLoopback()) out.insert(a);
    return out;
}

} // namespace

// Whether new connections may be opened, and the wake-up of those waiting for it.
class PathGate : public QObject {
    Q_OBJECT
public:
    static PathGate& instance() {
        static PathGate* gate = new PathGate;
        return *gate;
    }

    bool open() const { return m_path != Path::leaving && m_going.isEmpty(); }
    Path path() const { return m_path; }
    QList<QPointer<QNetworkReply>>& inFlight() { return m_inFlight; }

    void set(Path to) {
        const Path from = m_path;
        m_path = to;
        // The tunnel's addresses are those it brought: what the host has beyond its own without one.
        // Seen when the tunnel is up, as a tunnel coming up may bring them before it is.
        if (to == Path::tunnel && from != Path::tunnel && m_haveDirect) m_tunnel = hostAddresses() - m_direct;
        if (to == Path::direct && from != Path::direct) m_going = std::exchange(m_tunnel, {});
        m_refreshDirect = to == Path::direct && (from != Path::direct || !m_haveDirect);
        if (!m_going.isEmpty()) watch();
        settle();
    }

Q_SIGNALS:
    void opened();

private:
    PathGate() {
        m_holdLimit.setSingleShot(true);
        connect(&m_holdLimit, &QTimer::timeout, this, [this] {
            // Bounded: an address that does not go is not worth every request after it.
            m_going.clear();
            settle();
        });
    }

    void watch() {
        if (!m_holdLimit.isActive()) m_holdLimit.start(maxHold);
        if (m_netlink) return;
        // The kernel says when addresses come and go; each message is a cue to look again.
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        if (fd < 0) return;
        sockaddr_nl where{};
        where.nl_family = AF_NETLINK;
        where.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            ::close(fd);
            return;
        }
        m_netlink = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_netlink, &QSocketNotifier::activated, this, [this, fd] {
            char buffer[8192];
            while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            settle();
        });
    }

    void unwatch() {
        m_holdLimit.stop();
        if (!m_netlink) return;
        const int fd = int(m_netlink->socket());
        delete m_netlink;
        m_netlink = nullptr;
        ::close(fd);
    }

    void settle() {
        if (!m_going.isEmpty()) m_going &= hostAddresses();
        if (!m_going.isEmpty()) return;
        unwatch();
        if (m_path == Path::direct && m_refreshDirect) {
            m_direct = hostAddresses();
            m_haveDirect = true;
            m_refreshDirect = false;
        }
        if (open()) Q_EMIT opened();
    }

    Path m_path = Path::direct;
    bool m_haveDirect = false;      // m_direct was seen without a tunnel
    bool m_refreshDirect = false;   // look at m_direct again once the tunnel's addresses are gone
    QSet<QHostAddress> m_direct;    // the host's addresses without a tunnel
    QSet<QHostAddress> m_tunnel;    // those the tunnel brought
    QSet<QHostAddress> m_going;     // the tunnel's, still on the host after it went down
    QTimer m_holdLimit;
    QSocketNotifier* m_netlink = nullptr;
    QList<QPointer<QNetworkReply>> m_inFlight; // send()'s, on the current path
};

QNetworkAccessManager& manager() { return *current(); }

Path path() { return PathGate::instance().path(); }

void setPath(Path to) {
    PathGate& gate = PathGate::instance();
    const Path from = gate.path();
    gate.set(to);
    if (from == to) return;
    // Every connection of the old pool, idle or busy, has the old path's source and route.
    QNetworkAccessManager* old = current();
    current() = makeManager();
    const QList<QPointer<QNetworkReply>> abandoned = std::exchange(gate.inFlight(), {});
    for (const QPointer<QNetworkReply>& r : abandoned) {
        if (!r || r->isFinished()) continue;
        r->setProperty(abandonedProperty, true);
        r->abort();
    }
    retired().removeAll(nullptr);
    retired().append(old);
    deleteWhenIdle(old);
}

void shutdown() {
    // Each manager quits and joins its own thread; after the application object is gone that thread
    // would start its event loop without one, and Qt would say so on standard error.
    for (const QPointer<QNetworkAccessManager>& m : std::as_const(retired())) delete m.data();
    retired().clear();
    delete current();
    current() = nullptr;
}

namespace {

// Waits, bounded, until connections may be opened.
QCoro::Task<> pathOpen(QDeadlineTimer deadline) {
    PathGate& gate = PathGate::instance();
    while (!gate.open() && !deadline.hasExpired())
        co_await nextEmission(&gate, &PathGate::opened, std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())));
}

} // namespace

QCoro::Task<Result<Reply>> send(QNetworkRequest request, QByteArray method, QByteArray body, qint64 maxBytes) {
    const int stall = request.transferTimeout();
    const bool once = request.attribute(onceOnly).toBool();
    for (int asked = 0;; ++asked) {
        co_await pathOpen(QDeadlineTimer(stall > 0 ? qint64(stall) : qint64(maxHold.count())));
        QNetworkAccessManager& nam = manager();
        QNetworkReply* raw = nullptr;
        if (method == "GET" && body.isEmpty())
            raw = nam.get(request);
        else if (method == "POST")
            raw = nam.post(request, body);
        else
            raw = nam.sendCustomRequest(request, method, body);
        std::unique_ptr<QNetworkReply, ReplyDeleter> reply(raw);
        PathGate::instance().inFlight().append(raw);

        auto oversize = std::make_shared<bool>(false);
        auto checkSize = [r = QPointer<QNetworkReply>(raw), oversize, maxBytes](qint64 received, qint64 total) {
            if (!r || *oversize) return;
            if (received > maxBytes || total > maxBytes) {
                *oversize = true;
                r->abort();
            }
        };
        QObject::connect(raw, &QNetworkReply::downloadProgress, raw, checkSize);
        QObject::connect(raw, &QNetworkReply::metaDataChanged, raw, [r = QPointer<QNetworkReply>(raw), checkSize] {
            if (!r) return;
            const QVariant length = r->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid()) checkSize(0, length.toLongLong());
        });

        if (stall > 0 && !raw->isFinished()) {
            // The reply's own timer, gone with it: a free single-shot would live out the whole limit.
            auto* limit = new QTimer(raw);
            limit->setSingleShot(true);
            // Aborted like a stalled transfer, so it reads as the same platform error.
            QObject::connect(limit, &QTimer::timeout, raw, [raw] {
                if (!raw->isFinished()) raw->abort();
            });
            limit->start(std::chrono::milliseconds(qint64(stall) * wholeTransferFactor));
        }

        if (!raw->isFinished()) co_await raw;
        PathGate::instance().inFlight().removeAll(raw);

        // Its path is gone: asked again over the new one, as if it had been sent just now.
        if (raw->property(abandonedProperty).toBool() && !once && asked < maxReasks) continue;

        if (*oversize) co_return tooLarge(maxBytes);

        const QVariant statusAttr = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QNetworkReply::NetworkError err = raw->error();
        if (err != QNetworkReply::NoError && !isStatusReply(*raw))
            co_return Error{Error::Kind::Transport, raw->errorString(), int(err)};

        Reply out;
        out.status = statusAttr.isValid() ? statusAttr.toInt() : 0;
        out.body = raw->readAll();
        if (out.body.size() > maxBytes) co_return tooLarge(maxBytes);
        co_return out;
    }
}

} // namespace Http

#include "http.moc"
