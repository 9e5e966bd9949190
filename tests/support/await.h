#pragma once

#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

#include <qcoro/qcorotask.h>

#include <optional>
#include <type_traits>

// Runs a task to completion on a nested event loop (bounded), for tests.
template <class T> T awaitTask(QCoro::Task<T>&& task, int limitMs = 120'000) {
    constexpr bool isVoid = std::is_void_v<T>;
    std::optional<std::conditional_t<isVoid, bool, T>> out;
    QEventLoop loop;
    auto run = [&]() -> QCoro::Task<> {
        if constexpr (isVoid) {
            co_await std::move(task);
            out.emplace(true);
        } else {
            out.emplace(co_await std::move(task));
        }
        loop.quit();
    };
    auto running = run();
    if (!out) {
        // A timer of this call's own: a free single-shot would outlive it by the whole limit.
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(limitMs);
        loop.exec();
    }
    if (!out) qFatal("task did not finish within %d ms", limitMs);
    if constexpr (!isVoid) return std::move(*out);
}
