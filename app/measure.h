#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class QQuickWindow;

// Measurement aid for scripts/bench, shared by the program and the bare window it is compared with,
// so both are measured the same way: after the window's first frame, idle a while, then close and
// open it a number of times, printing a JSON line with the memory at each point, then end.
class Measure : public QObject {
    Q_OBJECT
public:
    struct Plan {
        bool active = false; // any of the options below was given
        int idleSeconds = 0;
        int cycles = 0;
    };
    // Reads --quit-after-first-frame, --measure-idle S and --measure-cycles N.
    static Plan fromArguments(const QStringList& args);

    // sinceStart runs from the start of main(); show/hide open and close the measured window.
    Measure(Plan plan, std::function<QQuickWindow*()> show, std::function<void()> hide, QElapsedTimer sinceStart,
            QObject* parent = nullptr);
    // The window has been asked to show: wait for its first frame.
    void begin();

    struct Memory {
        long rssKiB = -1;
        long privateKiB = -1;
    };
    static Memory memory();

Q_SIGNALS:
    void done();

private:
    void afterFirstFrame();
    void cycle();
    Plan m_plan;
    std::function<QQuickWindow*()> m_show;
    std::function<void()> m_hide;
    QElapsedTimer m_sinceStart;
    int m_done = 0;
};
