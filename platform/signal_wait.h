#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <memory>

// co_await nextEmission(obj, &T::signal, limit): resumes on the signal's next emission (true) or
// when the limit passes (false), always from the event loop, never inside the emitter.
//
// A timed qCoro(obj, signal, limit) resumes from a queued call that holds a pointer to its own
// awaiter. When the signal is emitted twice before the loop runs, the second call still arrives
// after that awaiter is gone, and a loop that waits again reads freed memory. Here the queued
// calls only hold a weak reference to the wait, and a wait that has ended ignores them.
namespace SignalWait {

struct State {
    std::coroutine_handle<> waiting;
    bool ended = false;
    bool fired = false;
    QMetaObject::Connection connection;
    QPointer<QTimer> timer;

    void end(bool byEmission) {
        if (ended) return;
        ended = true;
        fired = byEmission;
        QObject::disconnect(connection);
        if (timer) timer->stop();
        waiting.resume();
    }
    ~State() {
        // Its own timeout may be what ended the wait, so it is not deleted inside its own signal.
        if (timer) timer->deleteLater();
    }
};

template <class T, class Signal> class Awaiter {
public:
    Awaiter(T* obj, Signal signal, std::chrono::milliseconds limit) : m_obj(obj), m_signal(signal), m_limit(limit) {}

    bool await_ready() const noexcept { return m_obj.isNull(); }

    void await_suspend(std::coroutine_handle<> h) {
        m_state->waiting = h;
        const std::weak_ptr<State> weak = m_state;
        m_state->connection = QObject::connect(
            m_obj.data(), m_signal, m_obj.data(),
            [weak](auto&&...) {
                if (const std::shared_ptr<State> s = weak.lock()) s->end(true);
            },
            Qt::QueuedConnection);
        auto* timer = new QTimer;
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, timer, [weak] {
            if (const std::shared_ptr<State> s = weak.lock()) s->end(false);
        });
        m_state->timer = timer;
        timer->start(m_limit);
    }

    bool await_resume() const noexcept { return m_state->fired; }

private:
    QPointer<T> m_obj;
    Signal m_signal;
    std::chrono::milliseconds m_limit;
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace SignalWait

template <class T, class Signal>
SignalWait::Awaiter<T, Signal> nextEmission(T* obj, Signal signal, std::chrono::milliseconds limit) {
    return SignalWait::Awaiter<T, Signal>(obj, signal, limit);
}
