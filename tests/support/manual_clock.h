#pragma once

#include "platform/clock.h"

#include <QList>
#include <QPointer>

// A clock that only moves when told to; advancing fires due timers in time order, each on time.
class ManualClock final : public Clock {
public:
    std::unique_ptr<ClockTimer> createTimer() override;
    qint64 nowMs() const override { return m_now; }

    // Moves time forward by ms, firing every timer that falls due on the way (bounded per step).
    void advance(qint64 ms);
    // Timers currently armed.
    int activeTimers() const;
    struct Armed {
        qint64 intervalMs;
        bool repeating;
        bool precise;
    };
    QList<Armed> armed() const;

private:
    friend class ManualTimer;
    qint64 m_now = 0;
    quint64 m_sequence = 0;
    QList<QPointer<class ManualTimer>> m_timers;
};
