#include "support/manual_clock.h"

#include <limits>

class ManualTimer final : public ClockTimer {
public:
    explicit ManualTimer(ManualClock* clock) : m_clock(clock) {}
    void start(std::chrono::milliseconds interval, bool repeating) override {
        m_interval = std::max<qint64>(0, interval.count());
        m_repeating = repeating;
        m_due = m_clock->m_now + m_interval;
        m_order = ++m_clock->m_sequence;
        m_active = true;
    }
    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }
    void setPrecise(bool precise) override { m_precise = precise; }

    ManualClock* m_clock;
    qint64 m_interval = 0;
    qint64 m_due = 0;
    quint64 m_order = 0;
    bool m_repeating = false;
    bool m_active = false;
    bool m_precise = false;
};

std::unique_ptr<ClockTimer> ManualClock::createTimer() {
    auto timer = std::make_unique<ManualTimer>(this);
    m_timers.append(timer.get());
    return timer;
}

int ManualClock::activeTimers() const {
    int n = 0;
    for (const auto& t : m_timers)
        if (t && t->m_active) ++n;
    return n;
}

QList<ManualClock::Armed> ManualClock::armed() const {
    QList<Armed> out;
    for (const auto& t : m_timers)
        if (t && t->m_active) out.append({t->m_interval, t->m_repeating, t->m_precise});
    return out;
}

void ManualClock::advance(qint64 ms) {
    const qint64 target = m_now + ms;
    // Bounded: a zero-interval repeating timer must not spin forever.
    for (int fired = 0; fired < 10'000'000; ++fired) {
        ManualTimer* next = nullptr;
        for (const auto& t : std::as_const(m_timers)) {
            if (!t || !t->m_active || t->m_due > target) continue;
            if (!next || t->m_due < next->m_due || (t->m_due == next->m_due && t->m_order < next->m_order))
                next = t.data();
        }
        if (!next) break;
        m_now = next->m_due;
        if (next->m_repeating && next->m_interval > 0) {
            next->m_due += next->m_interval;
            next->m_order = ++m_sequence;
        } else {
            next->m_active = false;
        }
        Q_EMIT next->timeout();
    }
    m_now = target;
    m_timers.removeIf([](const QPointer<ManualTimer>& t) { return t.isNull(); });
}
