#pragma once

#include "platform/result.h"
#include "vpn/strongswan/vici.h"

#include <QStringList>

// Every text the charon backend shows the user, made from what charon and the wire said.
namespace strongswan {

// The readable reason an attempt or a tunnel ended, from charon's log lines for our IKE_SA (oldest
// first) and the error text of its reply. The detail holds a stable token (AUTHENTICATION_FAILED,
// NO_PROPOSAL_CHOSEN, PEER_NOT_RESPONDING, ...); the code the IKEv2 notify number where there is one.
Error describeFailure(const QStringList& logLines, const QString& errmsg, const QString& fallback);

// What an attempt that ended without a telling log line says: before or after it was up.
QString attemptFailedText();
QString droppedText();

// A failure of the socket or the wire, as the user reads it.
Error charonError(const vici::Failure& failure);
// A command charon answered with success=no.
Error serviceError(const QByteArray& command, const vici::Section& response);
// The socket did not accept a connection when a start needed it.
Error unreachableError(const QString& socketPath);
// charon runs, but its socket is closed to this user.
Error accessDeniedError(const QString& socketPath);
// The event connection closed while the tunnel was up or coming up.
Error serviceLostError(const vici::Failure& failure);
// The keychain could not hand over the profile's secret.
Error noKeychainError();
Error missingSecretError();

} // namespace strongswan
