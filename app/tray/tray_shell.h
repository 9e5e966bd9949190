#pragma once

#include "app/tray/panel_window.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QQmlEngine>
#include <QRect>

#include <memory>
#include <optional>

class AppState;
class BarChangeWatcher;
class TrayHost;
class OutsidePressWatcher;
class QMenu;
class DefaultsStore;
class PopupModel;
class QQuickItem;
class QQuickWindow;
class QSystemTrayIcon;
class QTimer;
class VpnFacility;

// The tray shell: owns the state, the tray icon and the popup panel for the life of the process,
// and runs the quit path.
class TrayShell : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool tray = true;           // off in tests that drive the panel alone
        bool showAtStart = false;   // --show
        bool startHidden = false;   // --hidden: no popup at start, even without a tray
        // The popup hidden this long is destroyed (the next open makes it anew); below 0, never.
        int dropHiddenAfterMs = 30000;
    };
    TrayShell(DefaultsStore& store, VpnFacility& facility, Options options, QObject* parent = nullptr);
    ~TrayShell() override;

    // Before any thread and the application object: the C heap shaped so that a drop gives back
    // more, and Qt Quick's software renderer unless the user names another backend (PanelContent).
    static void prepareProcess();

    // Tray icon bound to the status; the popup at once when asked or when there is no tray.
    void launch();

    bool panelVisible() const;
    // The hidden popup's drop is still to come.
    bool dropPending() const;

    // "shield" while connected, "shield-slash" otherwise: named for hosts that recolour theme icons,
    // drawn for the bar under the icon for hosts that take pixels.
    static QIcon statusIcon(bool connected, const QColor& ink = QColor());
    static QString statusIconName(bool connected);

    AppState& state() const { return *m_state; }
    PopupModel& model() const { return *m_model; }
    QQuickWindow* panel() const { return m_panel.get(); }
    QQuickItem* popupItem() const;
    // The card's size in whole pixels, rounded up: a fraction short would cut its last row.
    QSize cardSize() const;
    QSystemTrayIcon* tray() const { return m_tray.get(); }
    QString currentIconName() const { return m_iconName; }

    // Placement inputs, for tests and platforms without a tray geometry.
    void setPointerAtActivation(std::optional<QPoint> p) { m_pointer = p; }

public Q_SLOTS:
    void togglePanel();
    void showPanel();
    void closePanel();
    // The quit path: with the tunnel up, stop it and end 1.5 s later; else end now.
    void requestQuit();

Q_SIGNALS:
    void quitStarted(bool stopping);
    // The hidden panel gives its memory back to the system (dropped: the panel itself was destroyed
    // first), and has done so. Never while it is shown.
    void releasing(bool dropped);
    void released();
    // The quit path is done: the process ends now (main() connects it to QCoreApplication::exit).
    void exiting();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private Q_SLOTS:
    // The desktop's colours changed (KDE says so on the session bus): the bar may be another colour.
    void coloursChanged();

private:
    void createPanel();
    void placePanel();
    void updateIcon();
    void lookAtBar();
    void buildTrayMenu();
    void showTrayIcon();
    void dropPanel();
    void release(bool dropped);
    void dropHiddenPanel();
    void shapePanel();
    void outsidePress(QPoint nativePos);
    void exitNow();

    VpnFacility& m_facility;
    Options m_options;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<PopupModel> m_model;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<QQuickWindow> m_panel;
    QQuickItem* m_root = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    bool m_trayShown = false;
    bool m_quitting = false;
    QString m_iconName;
    std::optional<QPoint> m_pointer;
    std::optional<QPoint> m_menuOpenedAt; // the pointer when the tray menu opened, if it was in a bar
    QElapsedTimer m_closedByDeactivation;
    std::optional<QPoint> m_closingPressAt;
    QElapsedTimer m_shownAt;  // where the outside press that closed the panel was
    PanelWindow::Look m_look;
    std::unique_ptr<OutsidePressWatcher> m_outside;
    std::unique_ptr<BarChangeWatcher> m_barChanges;
    std::unique_ptr<TrayHost> m_trayHost;  // while there is no tray host yet
    std::unique_ptr<QMenu> m_menu;
    QTimer* m_dropTimer = nullptr;
    QColor m_ink;      // for the bar last seen under the icon
    QColor m_iconInk;  // the icon's as set
};
