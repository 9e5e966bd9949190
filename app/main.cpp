#include "app/app_delegate.h"
#include "app/headless.h"
#include "app/measure.h"
#include "app/single_instance.h"
#include "platform/defaults_store.h"
#include "platform/http.h"
#include "update/updater.h"
#include "vpn/vpn_facility.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    (void)!::write(signalPipe[1], &c, 1);
}

// Like the headless mode, every run says first which version it is (the update hand-off relies on it).
void printVersion() {
    std::printf("{\"version\":\"%s\"}\n", qPrintable(Updater::currentVersion()));
    std::fflush(stdout);
}

bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    const QStringList early = [&] {
        QStringList a;
        for (int i = 0; i < argc; ++i) a << QString::fromLocal8Bit(argv[i]);
        return a;
    }();
    if (early.contains(QStringLiteral("--headless"))) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Kestrava"));
        QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
        const int code = runHeadless(QCoreApplication::arguments());
        Http::shutdown();
        return code;
    }
    if (!hasDisplay()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
        printVersion();
        std::fputs("Kestrava: ekran bulunamadı (DISPLAY veya WAYLAND_DISPLAY yok); "
                   "ekransız kullanım için --headless verin.\n", stderr);
        return 1;
    }

    // Caught from before Qt starts: a signal that comes before the delegate exists waits in the pipe.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kestrava"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Kestrava"));
    QGuiApplication::setDesktopFileName(QStringLiteral("app.kestrava.linux"));
    // Hiding the popup must not end the program.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = QCoreApplication::arguments();
    printVersion();
    const Measure::Plan plan = Measure::fromArguments(args);

    // SIGTERM from the session and SIGINT take the same quit path as the quit strip.
    std::unique_ptr<QSocketNotifier> signals;
    if (signalPipe[0] >= 0) signals = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);

    SingleInstance instance;
    // A measured run must neither end nor be ended by the copy in use.
    if (!plan.active) instance.claim();

    AppDelegate::Options options;
    options.showAtStart = args.contains(QStringLiteral("--show"));
    AppDelegate delegate(DefaultsStore::shared(), VpnFacility::shared(), options);
    QObject::connect(&instance, &SingleInstance::quitRequested, &delegate, &AppDelegate::requestQuit);
    QObject::connect(&delegate, &AppDelegate::exiting, &app, [] { QCoreApplication::exit(0); });
    if (signals)
        QObject::connect(signals.get(), &QSocketNotifier::activated, &delegate, [&delegate] {
            char c;
            (void)!::read(signalPipe[0], &c, 1);
            delegate.requestQuit();
        });

    std::unique_ptr<Measure> measure;
    if (plan.active) {
        measure = std::make_unique<Measure>(
            plan,
            [&delegate] {
                delegate.showPanel();
                return delegate.panel();
            },
            [&delegate] { delegate.closePanel(); }, sinceStart);
        QObject::connect(measure.get(), &Measure::done, &app, [] { QCoreApplication::exit(0); });
    }
    delegate.launch();
    if (measure) measure->begin();
    const int code = QApplication::exec();
    Http::shutdown();
    return code;
}
