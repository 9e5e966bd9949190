#include "app/entry/headless.h"

#include "app/entry/command_line.h"
#include "app/entry/quit_signals.h"

#include "platform/defaults_store.h"
#include "platform/signal_wait.h"
#include "state/app_state.h"
#include "state/app_state_fields.h"
#include "update/updater.h"
#include "vpn/vpn_facility.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>

#include <cstdio>

namespace {

void emitLine(const QJsonObject& o) {
    const QByteArray line = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

QJsonObject snapshot(const AppState& s) {
    QJsonObject o;
    for (const AppStateField& f : appStateFields()) o.insert(f.name, f.value(s));
    return o;
}

// Prints one line per assignment, named after the field.
void watch(AppState& state) {
    for (const AppStateField& f : appStateFields()) {
        QObject::connect(&state, f.changed, &state, [&state, f] {
            emitLine({{QStringLiteral("field"), f.name}, {QStringLiteral("value"), f.value(state)}});
        });
    }
}

struct Options {
    std::optional<QString> login;
    bool connect = false;
    std::optional<QString> serverId;
    bool disconnect = false;
    bool watch = false;
    bool update = false;
};

std::optional<Options> parse(const QStringList& args, QString& problem) {
    Options o;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--headless")) continue;
        if (a == QLatin1String("--login")) {
            if (i + 1 >= args.size() || args.at(i + 1).startsWith(QLatin1String("--"))) {
                problem = QStringLiteral("--login bir e-posta adresi bekliyor");
                return std::nullopt;
            }
            o.login = args.at(++i);
        } else if (a == QLatin1String("--connect")) {
            o.connect = true;
            if (i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1String("--"))) o.serverId = args.at(++i);
        } else if (a == QLatin1String("--disconnect")) {
            o.disconnect = true;
        } else if (a == QLatin1String("--watch")) {
            o.watch = true;
        } else if (a == QLatin1String("--update")) {
            o.update = true;
        } else {
            problem = QStringLiteral("Bilinmeyen seçenek: %1").arg(a);
            return std::nullopt;
        }
    }
    return o;
}

// Waits, bounded, until done() holds, waking on each emission of signal.
QCoro::Task<> waitFor(AppState& state, void (AppState::*signal)(), const std::function<bool()>& done, int limitMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < limitMs)
        co_await nextEmission(&state, signal, std::chrono::milliseconds(limitMs - elapsed.elapsed()));
}

QCoro::Task<int> run(QStringList args) {
    QString problem;
    const std::optional<Options> opts = parse(args, problem);
    if (!opts) {
        emitLine({{QStringLiteral("error"), problem}});
        std::fputs(qPrintable(CommandLine::usage()), stderr);
        co_return CommandLine::usageError;
    }
    // The password comes from standard input, never from the command line; read before anything
    // starts, so that a missing one sends no request at all.
    QString password;
    if (opts->login) {
        password = QTextStream(stdin).readLine();
        if (password.isEmpty()) {
            emitLine({{QStringLiteral("error"),
                       QStringLiteral("Şifre okunamadı: --login şifreyi standart girdinin ilk satırında bekler")}});
            co_return CommandLine::usageError;
        }
    }

    AppState state(DefaultsStore::shared());
    emitLine({{QStringLiteral("version"), Updater::currentVersion()}});
    emitLine({{QStringLiteral("backend"), VpnFacility::shared().backendName()}});
    emitLine({{QStringLiteral("state"), snapshot(state)}});
    watch(state);

    // Let the first loads settle, so the operations below see the servers and the tunnel's status.
    if (state.startingUp())
        co_await waitFor(state, &AppState::startUpFinished, [&] { return !state.startingUp(); }, 70'000);

    int code = 0;
    if (opts->login) {
        co_await state.login(*opts->login, password);
        if (state.errorMessage()) code = 1;
        if (!state.signedIn()) code = 1;
        // Signing in starts nothing else; a connect that follows needs the list the new session may see.
        if (code == 0 && opts->connect) co_await state.loadServers();
    }
    if (code == 0 && opts->connect) {
        if (!state.signedIn()) {
            emitLine({{QStringLiteral("error"), QStringLiteral("Bağlanmak için önce oturum açın (--login)")}});
            code = 1;
        } else if (opts->serverId) {
            std::optional<Server> chosen;
            for (const Server& s : state.servers())
                if (s.id == *opts->serverId) chosen = s;
            if (!chosen) {
                emitLine({{QStringLiteral("error"), QStringLiteral("Sunucu bulunamadı: %1").arg(*opts->serverId)}});
                code = 1;
            } else {
                co_await state.connect(*chosen);
            }
        } else if (state.status() == ConnectionStatus::idle) {
            co_await state.toggle();
        }
        if (code == 0 && state.status() != ConnectionStatus::connected) code = 1;
    }
    if (code == 0 && opts->disconnect && state.status() != ConnectionStatus::idle) {
        co_await state.toggle();
        co_await waitFor(state, &AppState::statusChanged, [&] { return state.status() == ConnectionStatus::idle; }, 30'000);
        if (state.status() != ConnectionStatus::idle) code = 1;
    }

    if (code == 0 && opts->update) {
        // The offer comes from the start-up check; installing ends this process through the quit path.
        if (!state.updateInfo()) {
            emitLine({{QStringLiteral("update"), QStringLiteral("Güncelleme yok")}});
        } else {
            co_await state.applyUpdate();
            if (state.errorMessage()) code = 1;
        }
    }

    if (opts->watch) {
        // Ends a watching run on SIGINT or SIGTERM, through the event loop.
        if (QuitSignals::catchThem()) {
            QSocketNotifier notifier(QuitSignals::descriptor(), QSocketNotifier::Read);
            co_await qCoro(&notifier, &QSocketNotifier::activated);
        }
    }
    emitLine({{QStringLiteral("state"), snapshot(state)}});
    co_return code;
}

} // namespace

int runHeadless(const QStringList& args) {
    int code = 0;
    auto task = [&]() -> QCoro::Task<> {
        code = co_await run(args);
        QCoreApplication::exit(code);
    };
    auto t = task();
    if (!t.isReady()) QCoreApplication::exec();
    return code;
}
