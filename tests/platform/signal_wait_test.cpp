// Timed signal waits and the system clock's timers; CTest runs each part under its own name.
#include "platform/clock.h"
#include "platform/signal_wait.h"

#include "tests/support/await.h"

#include <QElapsedTimer>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

class Emitter : public QObject {
    Q_OBJECT
public:
    void burst(int n) {
        for (int i = 0; i < n; ++i) Q_EMIT changed(i);
    }
Q_SIGNALS:
    void changed(int value);
};

bool waitFor(Emitter* e, std::chrono::milliseconds limit) {
    return awaitTask([=]() -> QCoro::Task<bool> { co_return co_await nextEmission(e, &Emitter::changed, limit); }(), 2000);
}

} // namespace

class SignalWaitTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A precise repeating timer's n-th tick never comes before n intervals have passed; a coarse one may
    // come 5 % early (a 30 s refresh was seen at 29.67 s).
    void preciseTimersNeverFireEarly_data() {
        QTest::addColumn<int>("intervalMs");
        QTest::addColumn<bool>("repeating");
        QTest::newRow("repeating 300 ms") << 300 << true;
        QTest::newRow("repeating 1 s") << 1000 << true;
        QTest::newRow("single 700 ms") << 700 << false;
    }
    void preciseTimersNeverFireEarly() {
        QFETCH(int, intervalMs);
        QFETCH(bool, repeating);
        const int ticks = repeating ? 3 : 1;
        std::unique_ptr<ClockTimer> timer = Clock::system().createTimer();
        timer->setPrecise(true);
        QList<qint64> at;
        QElapsedTimer elapsed;
        connect(timer.get(), &ClockTimer::timeout, this, [&] { at.append(elapsed.elapsed()); });
        elapsed.start();
        timer->start(std::chrono::milliseconds(intervalMs), repeating);
        QVERIFY(QTest::qWaitFor([&] { return at.size() >= ticks; }, ticks * intervalMs * 3));
        for (int n = 0; n < ticks; ++n)
            QVERIFY2(at.at(n) >= qint64(n + 1) * intervalMs, qPrintable(QStringLiteral("tick %1 at %2 ms").arg(n + 1).arg(at.at(n))));
        QCOMPARE(timer->isActive(), repeating);
    }

    // Several emissions before the loop runs, then a wait in a loop: the late queued calls of the
    // first wait must neither resume the second nor touch the first after it is gone.
    void burstThenWaitAgain_data() {
        QTest::addColumn<int>("burst");
        for (int n : {1, 2, 50}) QTest::addRow("%d", n) << n;
    }
    void burstThenWaitAgain() {
        QFETCH(int, burst);
        Emitter e;
        QList<bool> outcomes;
        awaitTask([&]() -> QCoro::Task<> {
            QTimer::singleShot(0, &e, [&] { e.burst(burst); });
            outcomes.append(co_await nextEmission(&e, &Emitter::changed, 5s));
            for (int i = 0; i < 3; ++i) outcomes.append(co_await nextEmission(&e, &Emitter::changed, 30ms));
            QTimer::singleShot(10, &e, [&] { e.burst(1); });
            outcomes.append(co_await nextEmission(&e, &Emitter::changed, 5s));
        }());
        QCOMPARE(outcomes, (QList<bool>{true, false, false, false, true}));
    }

    void resumesFromTheLoopNotInsideTheEmitter() {
        Emitter e;
        bool emitReturned = false;
        bool sawReturned = false;
        awaitTask([&]() -> QCoro::Task<> {
            QTimer::singleShot(0, &e, [&] {
                e.burst(1);
                emitReturned = true;
            });
            co_await nextEmission(&e, &Emitter::changed, 5s);
            sawReturned = emitReturned;
        }());
        QVERIFY(sawReturned);
    }

    void limitEndsTheWait() {
        Emitter e;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!waitFor(&e, 80ms));
        QVERIFY(clock.elapsed() >= 75);
    }

    // Gone while waiting, or before: the wait ends at once, without the emitter.
    void emitterDestroyedWhileWaiting() {
        auto e = std::make_unique<Emitter>();
        QTimer::singleShot(10, [&] { e.reset(); });
        QVERIFY(!waitFor(e.get(), 100ms));
        QVERIFY(!e);
        QVERIFY(!waitFor(nullptr, 10s));
    }
};

QTEST_GUILESS_MAIN(SignalWaitTest)
#include "signal_wait_test.moc"
