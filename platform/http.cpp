#include "platform/http.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcoronetworkreply.h>

#include <algorithm>
#include <memory>

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

// Managers replaced by pathChanged() that still serve requests in flight.
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

} // namespace

QNetworkAccessManager& manager() { return *current(); }

void pathChanged() {
    QNetworkAccessManager* old = current();
    const QList<QNetworkReply*> replies = repliesOf(old);
    if (std::all_of(replies.begin(), replies.end(), [](const QNetworkReply* r) { return r->isFinished(); })) {
        old->clearConnectionCache();
        return;
    }
    // A request still connecting over the old path would hold up every new one to the same host
    // (Qt waits for a connecting channel rather than opening another): new requests get a new pool.
    current() = makeManager();
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

QCoro::Task<Result<Reply>> send(QNetworkRequest request, QByteArray method, QByteArray body, qint64 maxBytes) {
    QNetworkAccessManager& nam = manager();
    QNetworkReply* raw = nullptr;
    if (method == "GET" && body.isEmpty())
        raw = nam.get(request);
    else if (method == "POST")
        raw = nam.post(request, body);
    else
        raw = nam.sendCustomRequest(request, method, body);
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(raw);

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

    if (const int stall = request.transferTimeout(); stall > 0 && !raw->isFinished()) {
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

} // namespace Http
