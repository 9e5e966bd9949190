#include "platform/clock.h"

#include <QElapsedTimer>
#include <QTimer>

namespace {

class SystemTimer final : public ClockTimer {
public:
    SystemTimer() {
        m_timer.setTimerType(Qt::CoarseTimer);
        connect(&m_timer, &QTimer::timeout, this, &ClockTimer::timeout);
    }
    void start(std::chrono::milliseconds interval, bool repeating) override {
        m_timer.setSingleShot(!repeating);
        m_timer.start(interval);
    }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }
    void setPrecise(bool precise) override { m_timer.setTimerType(precise ? Qt::PreciseTimer : Qt::CoarseTimer); }

private:
    QTimer m_timer;
};

class SystemClock final : public Clock {
public:
    SystemClock() { m_elapsed.start(); }
    std::unique_ptr<ClockTimer> createTimer() override { return std::make_unique<SystemTimer>(); }
    qint64 nowMs() const override { return m_elapsed.elapsed(); }

private:
    QElapsedTimer m_elapsed;
};

} // namespace

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}
