#pragma once

#include "platform/result.h"
#include "update/bundle.h"
#include "update/updater.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace Updater {

// The three ways an update fails on its own account; any other failure carries the platform's text.
enum class UpdateError { download = 1, mount = 2, appNotFound = 3 };
Error updateError(UpdateError e);

// Where an update goes and what it runs. The tools are looked up on PATH when they are not absolute:
// squashfuse mounts the image, fusermount3 unmounts it, cp copies the bundle, sh runs the hand-off.
struct InstallPlan {
    QString imageDir;     // where the downloaded image is kept
    QString mountPoint;   // private to this user, created fresh for each mount
    QString installedApp; // ~/Applications/Kestrava.app
    qint64 processId = 0; // the process the hand-off script waits for
    QUrl webOrigin;       // where the manifest came from: an https website sends us to https images only
    QString mountTool = QStringLiteral("squashfuse");
    QString unmountTool = QStringLiteral("fusermount3");
    QString copyTool = QStringLiteral("cp");
    QString shell = QStringLiteral("sh");
    // A tool that runs longer than this is stopped and counts as failed.
    std::chrono::milliseconds toolLimit{300'000};
    // A download that receives nothing for this long is given up.
    std::chrono::milliseconds transferStall{60'000};
    // Asks the application to quit through its normal quit path.
    std::function<void()> terminate;

    // This user's: the temporary folder, $XDG_RUNTIME_DIR (else ~/.cache/kestrava), ~/Applications,
    // this process, the website origin, and a queued QCoreApplication::quit.
    static InstallPlan forThisUser();
};

// Runs a tool through no shell, with the platform's environment and standard streams, and waits for
// it. A non-zero exit (or a tool that outlives the limit) fails with mount; a tool that cannot be
// started fails with the platform's text.
QCoro::Task<Result<int>> runProcess(QString executable, QStringList arguments,
                                    std::chrono::milliseconds limit = std::chrono::milliseconds(300'000));

// "Kestrava-update-<version>.squashfs"; nothing when the version could leave the folder or holds
// nothing usable.
std::optional<QString> imageFileName(const QString& version);

// The three lines that wait for the process, unmount the image and start the installed bundle's
// program, the file the installer checked (not a launcher script beside it that nobody checked).
QString handOffScript(qint64 processId, const QString& unmountTool, const QString& mountPoint,
                      const QString& installedApp);

// Downloads the offered image, installs the bundle it holds as plan.installedApp, starts the hand-off
// and asks the application to quit. A download that does not arrive whole, or comes over http where
// the website is https, fails with download and leaves nothing behind. The bundle is checked whole
// before anything is swapped or anyone quits (a real folder, links that stay inside, a program that
// runs here, the offered version in Info.json, its unpacked size and the room for it); any failure
// leaves the installed bundle as it was, and neither a copy nor the image behind.
QCoro::Task<Result<void>> downloadAndInstall(Info info, InstallPlan plan);
QCoro::Task<Result<void>> downloadAndInstall(Info info);

} // namespace Updater
