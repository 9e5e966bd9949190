#pragma once

#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

#include <qcoro/qcorotask.h>

#include <optional>

// Runs a task to completion on a nested event loop (bounded), for tests.
template <class T> T awaitTask(QCoro::Task<T>&& task, int limitMs = 120'000) {
    std::optional<T> out;
    QEventLoop loop;
    auto run = [&]() -> QCoro::Task<> {
        out.emplace(co_await std::move(task));
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
    return std::move(*out);
}

inline void awaitTask(QCoro::Task<void>&& task, int limitMs = 120'000) {
    bool done = false;
    QEventLoop loop;
    auto run = [&]() -> QCoro::Task<> {
        co_await std::move(task);
        done = true;
        loop.quit();
    };
    auto running = run();
    if (!done) {
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(limitMs);
        loop.exec();
    }
    if (!done) qFatal("task did not finish within %d ms", limitMs);
}
