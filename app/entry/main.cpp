#include "app/entry/command_line.h"
#include "app/entry/headless.h"
#include "app/entry/quit_signals.h"
#include "app/hooks/hooks.h"
#include "app/process/application_bus.h"
#include "app/process/drop_notice.h"
#include "app/process/single_instance.h"
#include "app/tray/tray_shell.h"
#include "platform/defaults_store.h"
#include "platform/http.h"
#include "update/bundle.h"
#include "update/updater.h"
#include "vpn/vpn_facility.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {

// Like the headless mode, every run says first which version it is (the update hand-off relies on it).
void printVersion() {
    std::printf("{\"version\":\"%s\"}\n", qPrintable(Updater::currentVersion()));
    std::fflush(stdout);
}

// Qt's own texts (transport errors, file errors) in the program's language; a missing catalogue
// leaves them as Qt has them.
void loadQtTurkish() {
    static QTranslator qt;
    if (qt.load(QStringLiteral("qtbase_tr"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qt);
}

// A Wayland session with neither XWayland nor Qt's Wayland plugin: Qt would abort on start.
bool waylandWithoutPlugin() {
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return false;
    for (const QString& path : QCoreApplication::libraryPaths())
        if (!QDir(path + QStringLiteral("/platforms")).entryList({QStringLiteral("libqwayland*.so")}).isEmpty())
            return false;
    return true;
}

bool hasDisplay() {
    if (waylandWithoutPlugin()) return false;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// How this start meets a copy already running: the same copy is brought forward and this start
// ends (an ordinary launcher click must not cost the tunnel); another version or place, or a hung
// copy, is ended through its quit path and this one takes over (the update hand-off needs that).
enum class Start { run, handedOver };
Start meetRunningCopy(SingleInstance& instance, ApplicationBus& bus, bool hidden) {
    const ApplicationBus::Found found = bus.findRunning();
    if (found == ApplicationBus::Found::twin && (hidden || bus.activateRunning())) {
        std::fputs("Kestrava: zaten çalışıyor; açık olan kopya kullanılıyor.\n", stderr);
        return Start::handedOver;
    }
    instance.claim();
    bus.serve();
    return Start::run;
}

} // namespace

int main(int argc, char** argv) {
    // The packaged copy gives way to a newer per-user one that its self-update installed, by the
    // updater's own version rule; the launcher leaves that choice to us.
    Updater::handOverToNewerCopy(argv);
    QElapsedTimer sinceStart;
    sinceStart.start();
    const QStringList early = [&] {
        QStringList a;
        for (int i = 0; i < argc; ++i) a << QString::fromLocal8Bit(argv[i]);
        return a;
    }();
    // Asking for help or the version starts nothing, with or without a display.
    switch (CommandLine::early(early)) {
    case CommandLine::Early::help:
        std::fputs(qPrintable(CommandLine::usage()), stdout);
        return 0;
    case CommandLine::Early::version:
        std::printf("%s\n", qPrintable(CommandLine::versionLine()));
        return 0;
    case CommandLine::Early::run:
        break;
    }
    const bool headless = early.contains(QStringLiteral("--headless"));
    if (const std::optional<QString> problem = CommandLine::unknownIn(early, headless)) {
        std::fprintf(stderr, "Kestrava: %s\n\n%s", qPrintable(*problem), qPrintable(CommandLine::usage()));
        return CommandLine::usageError;
    }
    if (headless) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Kestrava"));
        QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
        loadQtTurkish();
        const int code = runHeadless(QCoreApplication::arguments());
        Http::shutdown();
        return code;
    }
    if (!hasDisplay()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
        printVersion();
        if (waylandWithoutPlugin())
            std::fputs("Kestrava: Wayland oturumunda XWayland (DISPLAY) yok ve Qt'nin Wayland eklentisi kurulu değil; "
                       "XWayland'i açın ya da qt6-wayland paketini kurun.\n", stderr);
        else
            std::fputs("Kestrava: ekran bulunamadı (DISPLAY veya WAYLAND_DISPLAY yok); "
                       "ekransız kullanım için --headless verin.\n", stderr);
        return 1;
    }

    // On Wayland only an X11 surface (XWayland) may place itself under the icon and stay out of
    // tiling; a native one would be a toplevel the compositor places, tiles or frames. The user's
    // own QT_QPA_PLATFORM wins.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");

    // Caught from before Qt starts: a signal that comes before the shell exists waits in the pipe.
    QuitSignals::catchThem();
    TrayShell::prepareProcess();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kestrava"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Kestrava"));
    QGuiApplication::setDesktopFileName(QStringLiteral("app.kestrava.linux"));
    loadQtTurkish();
    // Hiding the popup must not end the program.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QCoreApplication::arguments();
    printVersion();

    // SIGTERM from the session and SIGINT take the same quit path as the quit strip.
    std::unique_ptr<QSocketNotifier> signals;
    if (QuitSignals::descriptor() >= 0)
        signals = std::make_unique<QSocketNotifier>(QuitSignals::descriptor(), QSocketNotifier::Read);

    // --hidden: the tray icon only, as the start at login wants it.
    const bool hidden = args.contains(QStringLiteral("--hidden"));
    SingleInstance instance;
    ApplicationBus bus(InstanceIdentity::ofThisProgram());
    // A measured run must neither end nor be ended by the copy in use.
    if (!Hooks::measuring(args) && meetRunningCopy(instance, bus, hidden) == Start::handedOver) return 0;

    TrayShell::Options options;
    options.showAtStart = args.contains(QStringLiteral("--show")) && !hidden;
    options.startHidden = hidden;
    TrayShell shell(DefaultsStore::shared(), VpnFacility::shared(), options);
    QObject::connect(&instance, &SingleInstance::quitRequested, &shell, &TrayShell::requestQuit);
    QObject::connect(&bus, &ApplicationBus::activateRequested, &shell, &TrayShell::showPanel);
    QObject::connect(&bus, &ApplicationBus::quitRequested, &shell, &TrayShell::requestQuit);
    DropNotice dropNotice(shell);
    QObject::connect(&shell, &TrayShell::exiting, &app, [] { QCoreApplication::exit(0); });
    if (signals)
        QObject::connect(signals.get(), &QSocketNotifier::activated, &shell, [&shell] {
            QuitSignals::takeOne();
            shell.requestQuit();
        });
    shell.launch();
    const Hooks hooks(shell, VpnFacility::shared(), args, sinceStart);
    const int code = QApplication::exec();
    Http::shutdown();
    return code;
}
