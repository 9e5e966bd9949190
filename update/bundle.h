#pragma once

#include "platform/result.h"

#include <QString>

#include <optional>

// What makes a Kestrava.app bundle folder one that can be installed and run: checked by the installer
// before anything is swapped, and by the packaged program before it hands over to a per-user copy.
namespace Updater {

// The program inside a bundle, and the file that says the bundle's version.
inline constexpr const char* bundleProgram = "bin/kestrava";
inline constexpr const char* bundleInfo = "Info.json";

// Larger than any bundle we ship by far; an image that unpacks to more is not an update.
inline constexpr qint64 maxBundleBytes = 512LL * 1024 * 1024;
inline constexpr qint64 maxBundleEntries = 100'000;

// Why a bundle or a file in it is refused, in words.
struct Refused {
    QString why;
    bool tooLarge = false; // over the caps: a bomb rather than a broken bundle
};

struct BundleSize {
    qint64 bytes = 0;   // file and link sizes as the image's own tables give them
    qint64 entries = 0; // folders, files and links
};

// Walks the bundle without following a link: it must be a real folder holding only folders, files
// and links whose target stays inside it (checked by name here, so on a mounted image before any
// copy), within the caps above. The failure is why, in words.
Result<BundleSize, Refused> inspectBundle(const QString& bundle);

// Every link in a bundle on this machine resolves inside it. The failure is why.
std::optional<QString> linkLeavingBundle(const QString& bundle);

// Why `program` cannot run here: not a regular executable file, not an ELF program of this
// machine's kind, cut short, or its interpreter missing. Nothing when it can.
std::optional<QString> programProblem(const QString& program);

// The "version" of a bundle's Info.json: a regular file (a FIFO is never waited on) holding one JSON
// object with exactly one "version" key of non-empty text. The failure is why.
Result<QString, Refused> infoVersion(const QString& infoPath);

// Why `bundle` cannot be installed as `version`: its program cannot run, or its Info.json does not
// name exactly that version. Nothing when it can.
std::optional<QString> bundleProblem(const QString& bundle, const QString& version);

// The per-user bundle that self-updates install: ~/Applications/Kestrava.app.
QString perUserBundle();

// The program to run instead of this one, started from `ownBundle`: the per-user bundle's program
// when that bundle is a real folder other than ours whose version is newer than ours by isNewer and
// whose program can run here; otherwise nothing, and this copy runs.
std::optional<QString> newerCopyThan(const QString& ownBundle, const QString& userBundle);

// Replaces this process with the newer per-user copy when there is one (argv unchanged); returns when
// this copy should run, also when the other one could not be started.
void handOverToNewerCopy(char** argv);

} // namespace Updater
