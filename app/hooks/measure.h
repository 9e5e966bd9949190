#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class QQuickWindow;

// Measurement aid for scripts/bench, shared by the program and the bare window it is compared with,
// so both are measured the same way. It prints JSON lines with the memory at each point, then ends.
//   --quit-after-first-frame   the window's first frame, then end (start-up)
//   --measure-tray S           a tray user's day: the tray alone for S seconds; the popup shown once
//                              and hidden, then S seconds hidden; with --measure-cycles N, N more
//                              openings and closings, then S seconds hidden again; once the hidden
//                              popup is destroyed, S seconds later, and the time to the next open's frame
class Measure : public QObject {
    Q_OBJECT
public:
    struct Plan {
        bool active = false; // any of the options above was given
        int traySeconds = -1;
        int cycles = 0;
    };
    static Plan fromArguments(const QStringList& args);

    // sinceStart runs from the start of main(); show/hide open and close the measured window.
    Measure(Plan plan, std::function<QQuickWindow*()> show, std::function<void()> hide, QElapsedTimer sinceStart,
            QObject* parent = nullptr);
    ~Measure() override;
    // The program has launched: start the plan.
    void begin();
    // The measured panel gives its memory back (dropped: it was destroyed first), and is done.
    void releasing(bool dropped);
    void released();

    struct Memory {
        long rssKiB = -1;
        long pssKiB = -1;          // proportional: shared pages split among their users
        long privateKiB = -1;      // private clean + private dirty
        long privateDirtyKiB = -1;
        long anonKiB = -1, fileKiB = -1, shmemKiB = -1; // the resident set by kind
    };
    static Memory memory();

Q_SIGNALS:
    void done();

private:
    void show(std::function<void()> then);
    void hide(std::function<void()> then);
    void cycle();
    void afterDrop();
    // then() once the panel's next release is done, or after waitMs if none reports.
    void whenReleased(int waitMs, std::function<void()> then);
    // What a release step gave back, the first time; the time runs from the previous step.
    void step(const char* name);
    Plan m_plan;
    std::function<QQuickWindow*()> m_show;
    std::function<void()> m_hide;
    QElapsedTimer m_sinceStart;
    std::function<void()> m_afterRelease;
    bool m_printSteps = false;
    QElapsedTimer m_stepTimer;
    bool m_rendererTold = false;
    int m_done = 0;
    bool m_dropped = false;
};
