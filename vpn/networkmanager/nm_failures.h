#pragma once

#include "platform/result.h"

#include <QDBusMessage>

#include <optional>

// Every text the NetworkManager backend shows the user, made from what NetworkManager said.
namespace networkmanager {

// The readable reason a VPN connection ended, from NetworkManager's state reason and, where the
// plugin sent one, its failure code. Nothing when the user or the program ended it.
std::optional<Error> describeReason(uint reason, std::optional<uint> pluginFailure);

// A call NetworkManager refused or never answered; what says which call ("profili kaydetmedi").
Error busError(const QDBusMessage& reply, const QString& what, bool busConnected);
// The system bus itself is gone.
Error noBusError(const QString& why);
Error noBusToStartError();
// NetworkManager left the bus while the tunnel was up or coming up.
Error serviceStoppedError();

} // namespace networkmanager
