#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// Build-time constants, with the environment overrides that tests and the demo use.
namespace Config {

// KESTRAVA_API_ORIGIN / KESTRAVA_WEB_ORIGIN win when they hold an absolute http(s) origin.
QUrl apiOrigin();
QUrl webOrigin();

// Origin text without a trailing slash, for joining with absolute paths.
QString apiOriginText();
QString webOriginText();

// The running program's short version, when the build carries one.
std::optional<QString> shortVersion();
// The "version" of a bundle's Info.json; nothing when the file is missing or says none.
std::optional<QString> bundleVersion(const QString& bundleInfoPath);

// Whether text is an http(s) URL with a host and no path, query or fragment.
bool isOrigin(const QString& text);

} // namespace Config
