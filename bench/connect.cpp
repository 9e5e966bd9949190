// Power button to connected, through the state, the service and the system facility, round after
// round. The password comes on standard input. Run by bench/connect.sh in the client namespace.
//
//   kestrava-bench-connect EMAIL ROUNDS
//
// Prints one JSON line per round ({"round":N,"ms":X,"downMs":Y}: power button to connected, right after
// a disconnect; power button to idle, right after a connect) and one with min, median and max of each.
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
#include <functional>

namespace {

void emitLine(const QJsonObject& o) {
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

// Waits until done() holds, waking on each emission of signal. Bounded: a round that hangs ends the
// run instead of the benchmark.
QCoro::Task<bool> until(AppState& s, void (AppState::*signal)(), const std::function<bool()>& done, int limitMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < limitMs)
        co_await nextEmission(&s, signal, std::chrono::milliseconds(limitMs - elapsed.elapsed()));
    co_return done();
}

QCoro::Task<int> run(QString email, int rounds) {
    AppState state(DefaultsStore::shared());
    co_await until(state, &AppState::startUpFinished, [&] { return !state.startingUp(); }, 70'000);
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

    const auto status = [&](ConnectionStatus wanted) { return [&state, wanted] { return state.status() == wanted; }; };
    const auto idle = [&] { return !state.busy(); };
    std::vector<double> times, downTimes;
    for (int i = 1; i <= rounds; ++i) {
        QElapsedTimer clock;
        clock.start();
        state.startToggle();
        if (!co_await until(state, &AppState::statusChanged, status(ConnectionStatus::connected), 60'000)) {
            emitLine({{QStringLiteral("error"), state.errorMessage().value_or(QStringLiteral("not connected"))}});
            co_return 1;
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        times.push_back(ms);
        // Let the connect's own steps finish before the next press.
        co_await until(state, &AppState::busyChanged, idle, 60'000);
        clock.restart();
        state.startToggle();
        if (!co_await until(state, &AppState::statusChanged, status(ConnectionStatus::idle), 30'000)) {
            emitLine({{QStringLiteral("error"), QStringLiteral("did not disconnect")}});
            co_return 1;
        }
        const double downMs = double(clock.nsecsElapsed()) / 1e6;
        downTimes.push_back(downMs);
        emitLine({{QStringLiteral("round"), i}, {QStringLiteral("ms"), ms}, {QStringLiteral("downMs"), downMs}});
        co_await until(state, &AppState::busyChanged, idle, 60'000);
    }
    std::sort(times.begin(), times.end());
    std::sort(downTimes.begin(), downTimes.end());
    if (!times.empty())
        emitLine({{QStringLiteral("medianMs"), times[times.size() / 2]},
                  {QStringLiteral("minMs"), times.front()},
                  {QStringLiteral("maxMs"), times.back()},
                  {QStringLiteral("downMedianMs"), downTimes[downTimes.size() / 2]},
                  {QStringLiteral("downMinMs"), downTimes.front()},
                  {QStringLiteral("downMaxMs"), downTimes.back()}});
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
