#pragma once

#include <QObject>
#include <QPoint>
#include <QRegion>
#include <QSocketNotifier>

#include <memory>

class QWindow;
struct xcb_connection_t;

// What the X11 desktop tells us that Qt does not: whether a compositor runs, an input shape apart
// from the drawn one, and presses anywhere on the screen. Every call is a no-op (or false) off X11.
namespace X11Desktop {

bool active();
// The program's X11 display is a Wayland compositor's XWayland, which sees presses only on X11 windows.
bool underXWayland();
// XWayland under a compositor that runs a window manager of its own there (GNOME, Plasma): it tells
// XWayland the bar's room, and gives the keyboard only to windows it manages. sway does neither.
bool xwaylandWithWindowManager();
// A compositing manager owns _NET_WM_CM_S<screen> while it runs.
bool compositorRunning();
// An XEmbed tray manager owns _NET_SYSTEM_TRAY_S<screen> while it runs.
bool trayManagerRunning();
// Only region takes pointer input; the rest of the window lets presses through to what is below.
void setInputRegion(QWindow& window, const QRegion& region);

} // namespace X11Desktop

// The bar's colours may have changed: a tray host came (or came back, perhaps drawn anew), or the
// desktop's settings daemon announced new settings (a GTK desktop's theme switch). Watched on a
// connection of its own; nothing wakes the program otherwise.
class BarChangeWatcher : public QObject {
    Q_OBJECT
public:
    explicit BarChangeWatcher(QObject* parent = nullptr);
    ~BarChangeWatcher() override;

Q_SIGNALS:
    void changed();

private:
    void drain();
    void watchSettingsOwner();

    xcb_connection_t* m_conn = nullptr;
    unsigned m_settingsSelection = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Every mouse press on the display, wherever it lands (XInput 2 raw events on a connection of its
// own, so Qt's event handling is untouched). Lets the panel tell an outside press from a change of
// the active window by keyboard or by another program.
class OutsidePressWatcher : public QObject {
    Q_OBJECT
public:
    explicit OutsidePressWatcher(QObject* parent = nullptr);
    ~OutsidePressWatcher() override;
    // False where the display has no XInput 2 (or is no X11 display).
    bool available() const { return m_notifier != nullptr; }
    void setWatching(bool on);

Q_SIGNALS:
    // The pointer's position in native (device) pixels at the press.
    void pressed(QPoint nativePos);

private:
    void drain();

    xcb_connection_t* m_conn = nullptr;
    unsigned m_root = 0;
    bool m_watching = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
