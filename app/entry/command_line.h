#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The command line as a person meets it: the usage text, --help and --version, and the check
// that turns a mistyped option into a clear error instead of a silent start.
namespace CommandLine {

// Exit codes: 0 done, 1 the asked operation failed, 2 the command line (or its input) was wrong.
inline constexpr int usageError = 2;

QString usage();
// "Kestrava 1.0.0".
QString versionLine();

enum class Early { run, help, version };
// --help or --version anywhere wins over everything else.
Early early(const QStringList& args);

// The first argument this mode does not accept, as a one-line message; nullopt when all are fine.
// Single-dash arguments belong to Qt (-platform, -style…) in the tray mode and are left to it.
std::optional<QString> unknownIn(const QStringList& args, bool headless);

} // namespace CommandLine
