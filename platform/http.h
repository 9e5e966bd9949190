#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QNetworkRequest>

#include <chrono>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QNetworkReply;

namespace Http {

// The one network access manager of the process (main thread).
QNetworkAccessManager& manager();

// Replies larger than this are refused as a transport failure, not buffered.
inline constexpr qint64 maxReplyBytes = 16 * 1024 * 1024;

struct Reply {
    int status = 0;  // HTTP status; 0 when the reply was not HTTP
    QByteArray body; // the whole reply body
};

// Where new connections go, as the tunnel's state says.
enum class Path {
    direct,  // no tunnel (also while one is coming up: until it is up, the link carries everything)
    tunnel,  // up
    leaving, // going down: its address and route are still there and will go any moment
};

// The tunnel came up, went down or is going down. Connections made over the old path are abandoned:
// kept-alive ones are closed, and each request in flight is asked again over the new path (a
// request marked onceOnly fails instead). While the tunnel is leaving, and after it is down until the
// addresses it brought are gone from this host (bounded by maxHold), no connection is opened: one
// opened from an address going away is never answered, and would hold up every request after it.
void setPath(Path path);
Path path();
inline constexpr std::chrono::milliseconds maxHold{3'000};
// How many path changes one request is asked again through before it fails.
inline constexpr int maxReasks = 3;
// A request attribute: true for a request the service must not get twice (it counts something).
inline constexpr QNetworkRequest::Attribute onceOnly = QNetworkRequest::User;

// Ends every network access manager while the application object still exists; nothing may be sent
// afterwards. For the end of main().
void shutdown();

// The request's transfer time-out only ends a transfer that stalls; a reply that trickles in keeps
// it alive. The whole transfer is therefore also limited to this many times that time-out.
inline constexpr int wholeTransferFactor = 3;

// Whether a finished reply with an error is a whole reply with an HTTP error status (the server's
// answer), rather than a failure to get one.
bool isStatusReply(const QNetworkReply& reply);

// Sends the request and waits for the whole reply. Any HTTP status is a reply; only a failure
// to get a complete reply (no network, time-out, reset, TLS, a proxy refusing us, oversize) is an error.
QCoro::Task<Result<Reply>> send(QNetworkRequest request, QByteArray method, QByteArray body = {},
                               qint64 maxBytes = maxReplyBytes);

} // namespace Http
