#pragma once

#include <QObject>

// Whether a tray host is there to take the icon, and word when one comes. Asked before Qt is: Qt
// decides once per process whether a StatusNotifier tray exists, so a program that asked before the
// panel came up (at login they start together) would never show its icon.
class TrayHost : public QObject {
    Q_OBJECT
public:
    explicit TrayHost(QObject* parent = nullptr);

    // A StatusNotifier host on the session bus, or an XEmbed tray manager on the X11 display.
    static bool present();

public Q_SLOTS:
    // Something changed that may have brought a host (also fed by the X11 tray selection's watcher).
    void look();

Q_SIGNALS:
    void appeared();
};
