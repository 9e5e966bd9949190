#pragma once

#include <QObject>

#include <chrono>
#include <memory>

// A timer whose notion of time comes from a Clock, so that tests can run hours of ticks at once.
class ClockTimer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Restarts the timer; a repeating timer fires every interval until stopped.
    virtual void start(std::chrono::milliseconds interval, bool repeating) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    // Timers are coarse unless asked: the system may then move them by up to 5 % to group wake-ups, early
    // as well as late. A precise timer never fires before its time.
    virtual void setPrecise(bool precise) = 0;

Q_SIGNALS:
    void timeout();
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::unique_ptr<ClockTimer> createTimer() = 0;
    // Monotonic milliseconds.
    virtual qint64 nowMs() const = 0;

    // The real clock, backed by QTimer on the calling thread's event loop.
    static Clock& system();
};
