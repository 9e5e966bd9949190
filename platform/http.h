#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QNetworkRequest>

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

// The tunnel came up or went down: the source address and the route of every pooled connection
// and of every connection still being made are the old ones. Idle ones are closed; if requests are
// in flight they finish on their own, and new requests use new connections.
void pathChanged();

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
