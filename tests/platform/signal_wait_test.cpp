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

} // namespace

class SignalWaitTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Several emissions before the loop runs, then a wait in a loop: the late queued calls of the
    // first wait must neither resume the second nor touch the first after it is gone.
    void burstThenWaitAgain_data() {
        QTest::addColumn<int>("burst");
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
        QTest::newRow("fifty") << 50;
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
        const bool fired = awaitTask([&]() -> QCoro::Task<bool> { co_return co_await nextEmission(&e, &Emitter::changed, 80ms); }());
        QVERIFY(!fired);
        QVERIFY(clock.elapsed() >= 75);
    }

    void emitterDestroyedWhileWaiting() {
        auto e = std::make_unique<Emitter>();
        QTimer::singleShot(10, [&] { e.reset(); });
        const bool fired = awaitTask([&]() -> QCoro::Task<bool> {
            co_return co_await nextEmission(e.get(), &Emitter::changed, 100ms);
        }());
        QVERIFY(!fired);
        QVERIFY(!e);
    }

    void goneEmitterDoesNotWait() {
        const bool fired = awaitTask([]() -> QCoro::Task<bool> {
            co_return co_await nextEmission(static_cast<Emitter*>(nullptr), &Emitter::changed, 10s);
        }(), 1000);
        QVERIFY(!fired);
    }
};

QTEST_GUILESS_MAIN(SignalWaitTest)
#include "signal_wait_test.moc"
