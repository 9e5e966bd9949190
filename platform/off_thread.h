#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>
#include <type_traits>

// Runs work() on the shared thread pool and resumes the caller on its own thread with the result,
// so that a long pure computation (decoding a very large reply) does not hold up the event loop.
// work must not touch objects of the calling thread.
template <class F> QCoro::Task<std::invoke_result_t<F>> offThread(F work) {
    using R = std::invoke_result_t<F>;
    auto out = std::make_shared<std::optional<R>>();
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> done = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, out, work = std::move(work)]() mutable {
        out->emplace(work());
        promise->finish();
    });
    co_await done;
    co_return std::move(**out);
}
