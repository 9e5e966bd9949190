#pragma once

#include "api/records.h"
#include "api/request.h"

#include <qcoro/qcorotask.h>

#include <optional>

namespace API {

// The service keeps notices per platform and knows this client by that name only.
inline const QString inboxPath = QStringLiteral("/notify/inbox?platform=macos");

// POST /auth/login; the stored-token fallback applies.
QCoro::Task<Result<LoginResponse>> login(QString email, QString password);
// POST /connect with the given token.
QCoro::Task<Result<ConnectResponse>> connect(QString token, QString serverId);
// GET /servers; the stored-token fallback applies.
QCoro::Task<Result<ServersResponse>> servers();
// GET the notice inbox with the given token.
QCoro::Task<Result<InboxResponse>> inbox(QString token);
// POST /notify/track; every failure is dropped.
QCoro::Task<void> trackNotify(QString token, QString campaignId, QString event);
// GET /geo with no headers of ours; any failure gives nullopt, the status is not looked at.
QCoro::Task<std::optional<PublicGeo>> publicGeo();

} // namespace API
