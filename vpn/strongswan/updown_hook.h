#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace strongswan {

// Where the package installs charon's hook for our CHILD_SA. The one path charon is handed, whichever
// copy of the program runs: a per-user copy from a self-update belongs to the user, and root must never
// run a file the user can change.
inline constexpr char packagedUpdownHook[] = "/usr/lib/kestrava/Kestrava.app/lib/kestrava/charon-updown";

// Why path must not be handed to charon, or nothing when it may. charon hands the path to /bin/sh as
// it stands and runs it as root, so: an absolute path of plain characters only, and every component
// from / on is root's, not writable by group or others and no symbolic link; the last one a program.
std::optional<QString> updownHookProblem(const QString& path);

// path encoded for charon when it passes the check; otherwise empty, and the user is told on standard
// error (once for each problem) that the leak guard is off.
QByteArray checkedUpdownHook(const QString& path);

} // namespace strongswan
