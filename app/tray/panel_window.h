#pragma once

#include <QRect>
#include <QRegion>
#include <QSize>

class QQuickItem;
class QQuickWindow;

// How the panel's window meets the desktop: a popup under the tray icon, or an ordinary window
// where there is no tray.
namespace PanelWindow {

enum class Kind {
    popup,   // frameless, above everything, placed by us; shadow only with a compositor
    window,  // a normal small window the window manager frames, closes and raises
};

struct Look {
    Kind kind = Kind::popup;
    bool shadow = false;        // the transparent margin with the shadow and round corners
    bool bypassManager = false; // X11: placed by us alone (override-redirect), no frame, no tiling
};

// What the desktop allows right now: a compositor for the shadow, X11 for our own placement.
Look lookFor(Kind kind);

// Flags, colour and the root item's shadow for look. Call before the window is shown.
void apply(QQuickWindow& window, QQuickItem& root, const Look& look);

// The card's outline with its corners cut, in window coordinates: the window's shape where no
// compositor draws transparency.
QRegion roundedRegion(const QRect& card, int radius);

// After a resize or a show: only the card takes input; without a compositor only the card is drawn.
void shape(QQuickWindow& window, const Look& look, const QRect& card, int radius);

} // namespace PanelWindow
