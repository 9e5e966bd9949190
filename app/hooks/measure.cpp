#include "app/hooks/measure.h"

#include <QFile>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

// A hide whose release never reports (the bare window has none) goes on after this.
constexpr int releaseWaitMs = 2000;
// How long to wait for the hidden popup to be destroyed.
constexpr int dropWaitMs = 60'000;

long fieldKiB(const QByteArray& text, const char* name) {
    long sum = -1;
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(name)) sum = std::max(sum, 0L) + line.mid(int(qstrlen(name))).trimmed().split(' ').value(0).toLong();
    return sum;
}

long cpuMs() {
    rusage u{};
    if (::getrusage(RUSAGE_SELF, &u) != 0) return -1;
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

void print(const char* key, const QByteArray& value) {
    const Measure::Memory m = Measure::memory();
    // For a look at where the memory is: every point's whole map, as the kernel tells it.
    if (const QByteArray dir = qgetenv("KESTRAVA_MEASURE_SMAPS"); !dir.isEmpty()) {
        QFile in(QStringLiteral("/proc/self/smaps")), out(QString::fromLocal8Bit(dir + '/' + key + ".smaps"));
        if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly)) out.write(in.readAll());
    }
    std::printf("{\"%s\":%s,\"rssKiB\":%ld,\"pssKiB\":%ld,\"privateKiB\":%ld,\"privateDirtyKiB\":%ld,\"anonKiB\":%ld,"
                "\"fileKiB\":%ld,\"shmemKiB\":%ld,\"cpuMs\":%ld}\n",
                key, value.constData(), m.rssKiB, m.pssKiB, m.privateKiB, m.privateDirtyKiB, m.anonKiB, m.fileKiB,
                m.shmemKiB, cpuMs());
    std::fflush(stdout);
}

void print(const char* key, qint64 value) { print(key, QByteArray::number(value)); }

const char* rendererName(QQuickWindow* w) {
    switch (w->rendererInterface() ? w->rendererInterface()->graphicsApi() : QSGRendererInterface::Unknown) {
    case QSGRendererInterface::Software: return "software";
    case QSGRendererInterface::OpenGL: return "opengl";
    case QSGRendererInterface::Vulkan: return "vulkan";
    default: return "other";
    }
}

} // namespace

Measure::Plan Measure::fromArguments(const QStringList& args) {
    Plan p;
    p.active = args.contains(QStringLiteral("--quit-after-first-frame"));
    auto number = [&](const QString& name, int& out) {
        const qsizetype i = args.indexOf(name);
        if (i < 0 || i + 1 >= args.size()) return;
        out = std::max(0, args.at(i + 1).toInt());
        p.active = true;
    };
    number(QStringLiteral("--measure-tray"), p.traySeconds);
    number(QStringLiteral("--measure-cycles"), p.cycles);
    return p;
}

Measure::Memory Measure::memory() {
    Memory m;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QByteArray text = status.readAll();
        m.rssKiB = fieldKiB(text, "VmRSS:");
        m.anonKiB = fieldKiB(text, "RssAnon:");
        m.fileKiB = fieldKiB(text, "RssFile:");
        m.shmemKiB = fieldKiB(text, "RssShmem:");
    }
    QFile rollup(QStringLiteral("/proc/self/smaps_rollup"));
    if (rollup.open(QIODevice::ReadOnly)) {
        const QByteArray text = rollup.readAll();
        const long clean = fieldKiB(text, "Private_Clean:"), dirty = fieldKiB(text, "Private_Dirty:");
        if (clean >= 0 && dirty >= 0) m.privateKiB = clean + dirty;
        m.privateDirtyKiB = dirty;
        m.pssKiB = fieldKiB(text, "Pss:");
    }
    return m;
}

Measure::Measure(Plan plan, std::function<QQuickWindow*()> show, std::function<void()> hide,
                 QElapsedTimer sinceStart, QObject* parent)
    : QObject(parent), m_plan(plan), m_show(std::move(show)), m_hide(std::move(hide)), m_sinceStart(sinceStart) {
}

Measure::~Measure() = default;

void Measure::step(const char* name) {
    if (!m_printSteps) return;
    const qint64 us = m_stepTimer.isValid() ? m_stepTimer.nsecsElapsed() / 1000 : 0;
    print("releaseStep", QByteArray("\"") + name + "\",\"us\":" + QByteArray::number(us));
    m_stepTimer.start();
}

void Measure::releasing(bool dropped) {
    step(dropped ? "dropped" : "hidden");
    if (dropped) m_dropped = true;
}

// Every release ends a hide.
void Measure::released() {
    step("mallocTrim");
    step("done");
    if (m_afterRelease) std::exchange(m_afterRelease, nullptr)();
}

void Measure::begin() {
    if (m_plan.traySeconds < 0) {
        show([this] {
            // Told at once: the driver times the line, and reading the memory takes a while.
            std::printf("{\"firstFrameMs\":%lld}\n", static_cast<long long>(m_sinceStart.elapsed()));
            std::fflush(stdout);
            Q_EMIT done();
        });
        return;
    }
    // The tray alone, as after a login, until the start-up requests are long done.
    QTimer::singleShot(m_plan.traySeconds * 1000, this, [this] {
        print("trayOnlyS", m_plan.traySeconds);
        show([this] {
            print("firstFrameMs", m_sinceStart.elapsed());
            m_printSteps = true;
            hide([this] {
                m_printSteps = false;
                QTimer::singleShot(m_plan.traySeconds * 1000, this, [this] {
                    print("shownHiddenS", m_plan.traySeconds);
                    cycle();
                });
            });
        });
    });
}

void Measure::show(std::function<void()> then) {
    m_dropped = false;
    QQuickWindow* w = m_show();
    if (!w) {
        Q_EMIT done();
        return;
    }
    if (!m_rendererTold)
        QObject::connect(w, &QQuickWindow::frameSwapped, this, [this, w] {
            if (std::exchange(m_rendererTold, true)) return;
            std::printf("{\"renderer\":\"%s\"}\n", rendererName(w));
            std::fflush(stdout);
        }, Qt::SingleShotConnection);
    QObject::connect(w, &QQuickWindow::frameSwapped, this, std::move(then), Qt::SingleShotConnection);
}

void Measure::hide(std::function<void()> then) {
    whenReleased(releaseWaitMs, std::move(then));
    m_hide();
}

void Measure::whenReleased(int waitMs, std::function<void()> then) {
    auto* fallback = new QTimer(this);
    fallback->setSingleShot(true);
    m_afterRelease = [then, fallback] {
        fallback->deleteLater();
        then();
    };
    QObject::connect(fallback, &QTimer::timeout, this, [this] {
        if (m_afterRelease) std::exchange(m_afterRelease, nullptr)();
    });
    fallback->start(waitMs);
}

void Measure::afterDrop() {
    // The popup that stays hidden is destroyed a while later (the bare window never is): the memory
    // once that is done, then the time a new one takes to its first frame.
    auto next = [this] {
        m_printSteps = false;
        if (!m_dropped) return Q_EMIT done();
        QTimer::singleShot(m_plan.traySeconds * 1000, this, [this] {
            print("droppedS", m_plan.traySeconds);
            QElapsedTimer reopen;
            reopen.start();
            show([this, reopen] {
                std::printf("{\"reopenFrameMs\":%lld}\n", static_cast<long long>(reopen.elapsed()));
                std::fflush(stdout);
                Q_EMIT done();
            });
        });
    };
    // Already gone while the cycles' last hide settled (a long settle), or to come.
    if (m_dropped) return next();
    m_printSteps = true;
    whenReleased(dropWaitMs, next);
}

void Measure::cycle() {
    const bool decade = m_done == 10 || m_done == 100 || m_done == 1000 || m_done == 10000;
    if (m_done > 0 && (decade || m_done == m_plan.cycles / 2 || m_done == m_plan.cycles)) print("afterCycles", m_done);
    if (m_done >= m_plan.cycles) {
        QTimer::singleShot(m_plan.traySeconds * 1000, this, [this] {
            print("cyclesHiddenS", m_plan.traySeconds);
            afterDrop();
        });
        return;
    }
    ++m_done;
    show([this] { hide([this] { cycle(); }); });
}
