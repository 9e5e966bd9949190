#pragma once

#include <QObject>

namespace Connection {
Q_NAMESPACE

// The program's own view of the tunnel.
enum class Status {
    idle,       // no tunnel and no connect flow
    connecting, // a connect flow runs, or the system reports connecting / reasserting
    connected,  // the system reports the tunnel up, or a connect flow just succeeded
};
Q_ENUM_NS(Status)

} // namespace Connection

using ConnectionStatus = Connection::Status;
