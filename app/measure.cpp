#include "app/measure.h"

#include <QElapsedTimer>
#include <QFile>
#include <QQuickWindow>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

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

void print(const char* key, qint64 value, const Measure::Memory& m) {
    std::printf("{\"%s\":%lld,\"rssKiB\":%ld,\"privateKiB\":%ld,\"cpuMs\":%ld}\n", key,
                static_cast<long long>(value), m.rssKiB, m.privateKiB, cpuMs());
    std::fflush(stdout);
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
    number(QStringLiteral("--measure-idle"), p.idleSeconds);
    number(QStringLiteral("--measure-cycles"), p.cycles);
    return p;
}

Measure::Memory Measure::memory() {
    Memory m;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) m.rssKiB = fieldKiB(status.readAll(), "VmRSS:");
    QFile rollup(QStringLiteral("/proc/self/smaps_rollup"));
    if (rollup.open(QIODevice::ReadOnly)) {
        const QByteArray text = rollup.readAll();
        const long clean = fieldKiB(text, "Private_Clean:"), dirty = fieldKiB(text, "Private_Dirty:");
        if (clean >= 0 && dirty >= 0) m.privateKiB = clean + dirty;
    }
    return m;
}

Measure::Measure(Plan plan, std::function<QQuickWindow*()> show, std::function<void()> hide,
                 QElapsedTimer sinceStart, QObject* parent)
    : QObject(parent), m_plan(plan), m_show(std::move(show)), m_hide(std::move(hide)), m_sinceStart(sinceStart) {}

void Measure::begin() {
    QQuickWindow* w = m_show();
    if (!w) {
        Q_EMIT done();
        return;
    }
    QObject::connect(w, &QQuickWindow::frameSwapped, this, &Measure::afterFirstFrame, Qt::SingleShotConnection);
}

void Measure::afterFirstFrame() {
    print("firstFrameMs", m_sinceStart.elapsed(), memory());
    QTimer::singleShot(m_plan.idleSeconds * 1000, this, [this] {
        if (m_plan.idleSeconds > 0) print("afterIdleS", m_plan.idleSeconds, memory());
        cycle();
    });
}

void Measure::cycle() {
    const bool decade = m_done == 10 || m_done == 100 || m_done == 1000 || m_done == 10000;
    if (m_done > 0 && (decade || m_done == m_plan.cycles / 2 || m_done == m_plan.cycles)) print("afterCycles", m_done, memory());
    if (m_done >= m_plan.cycles) {
        Q_EMIT done();
        return;
    }
    ++m_done;
    m_hide();
    // Let the hide take effect, then show again and wait for the frame.
    QTimer::singleShot(0, this, [this] {
        QQuickWindow* w = m_show();
        QObject::connect(w, &QQuickWindow::frameSwapped, this, &Measure::cycle, Qt::SingleShotConnection);
    });
}
