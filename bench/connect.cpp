// Power button to connected, through the state, the service and the system facility, round after
// round. The password comes on standard input. Run by bench/connect.sh in the client namespace.
//
//   kestrava-bench-connect EMAIL ROUNDS
//
// Prints one JSON line per round ({"round":N,"ms":X}) and one with the median.
#include "platform/defaults_store.h"
#include "platform/signal_wait.h"
#include "state/app_state.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>

namespace {

void emitLine(const QJsonObject& o) {
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

// Bounded: a round that hangs ends the run instead of the benchmark.
QCoro::Task<bool> waitForStatus(AppState& s, ConnectionStatus wanted, int limitMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (s.status() != wanted && elapsed.elapsed() < limitMs)
        co_await nextEmission(&s, &AppState::statusChanged, std::chrono::milliseconds(limitMs - elapsed.elapsed()));
    co_return s.status() == wanted;
}

QCoro::Task<int> run(QString email, int rounds) {
    AppState state(DefaultsStore::shared());
    QElapsedTimer limit;
    limit.start();
    while (state.startingUp() && limit.elapsed() < 70'000)
        co_await nextEmission(&state, &AppState::startUpFinished, std::chrono::milliseconds(1000));
    const QString password = QTextStream(stdin).readLine();
    co_await state.login(email, password);
    if (!state.token()) {
        emitLine({{QStringLiteral("error"), state.errorMessage().value_or(QStringLiteral("no token"))}});
        co_return 1;
    }
    co_await state.loadServers();
    if (state.servers().isEmpty()) {
        emitLine({{QStringLiteral("error"), QStringLiteral("no servers")}});
        co_return 1;
    }

    std::vector<double> times;
    for (int i = 1; i <= rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        state.startToggle();
        if (!co_await waitForStatus(state, ConnectionStatus::connected, 30'000)) {
            emitLine({{QStringLiteral("error"), state.errorMessage().value_or(QStringLiteral("not connected"))}});
            co_return 1;
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        times.push_back(ms);
        emitLine({{QStringLiteral("round"), i}, {QStringLiteral("ms"), ms}});
        // Let the connect's own steps finish before the next press.
        while (state.busy() && limit.elapsed() < 600'000)
            co_await nextEmission(&state, &AppState::busyChanged, std::chrono::milliseconds(1000));
        state.startToggle();
        if (!co_await waitForStatus(state, ConnectionStatus::idle, 30'000)) {
            emitLine({{QStringLiteral("error"), QStringLiteral("did not disconnect")}});
            co_return 1;
        }
        while (state.busy() && limit.elapsed() < 600'000)
            co_await nextEmission(&state, &AppState::busyChanged, std::chrono::milliseconds(1000));
    }
    std::sort(times.begin(), times.end());
    if (!times.empty()) emitLine({{QStringLiteral("medianMs"), times[times.size() / 2]}});
    co_return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || args[2].toInt() < 1) {
        std::fprintf(stderr, "usage: %s EMAIL ROUNDS (password on standard input)\n", argv[0]);
        return 2;
    }
    int code = 0;
    auto task = [&]() -> QCoro::Task<> {
        code = co_await run(args[1], args[2].toInt());
        QCoreApplication::exit(code);
    };
    auto t = task();
    if (!t.isReady()) QCoreApplication::exec();
    return code;
}
