#include "app/tray/panel_window.h"

#include "app/x11/x11_desktop.h"
#include "ui/images.h"
#include "ui/palette.h"

#include <QIcon>
#include <QQuickItem>
#include <QQuickWindow>

#include <cmath>

namespace PanelWindow {

Look lookFor(Kind kind) {
    Look look;
    look.kind = kind;
    if (kind == Kind::window) return look;
    if (X11Desktop::xwaylandWithWindowManager()) {
        // An unmanaged window there never gets the keyboard (no typing, no Escape) and never loses it.
        // A managed one is kept inside the work area margin and all: it is the card alone.
        look.shadow = false;
    } else if (X11Desktop::active()) {
        look.bypassManager = true;
        look.shadow = X11Desktop::compositorRunning();
    } else {
        // Wayland compositors always blend; elsewhere we cannot ask.
        look.shadow = true;
    }
    return look;
}

void apply(QQuickWindow& window, QQuickItem& root, const Look& look) {
    root.setProperty("shadow", look.shadow);
    if (look.kind == Kind::window) {
        window.setFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                        Qt::WindowMinimizeButtonHint);
        // No transparency in a framed window: the card's corners show the card's own colour.
        window.setColor(Palette::bg());
        // Docks and task switchers of desktops without a tray show this window for the program.
        window.setIcon(QIcon(QString::fromLatin1(Images::logoFile)));
        return;
    }
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    // Window managers keep a managed window (margin and all) inside the work area, or tile it;
    // only an override-redirect window lands where we put it.
    if (look.bypassManager) flags |= Qt::X11BypassWindowManagerHint;
    window.setFlags(flags);
    window.setColor(look.shadow ? QColor(Qt::transparent) : Palette::bg());
}

QRegion roundedRegion(const QRect& card, int radius) {
    if (card.isEmpty()) return {};
    radius = std::min({radius, card.width() / 2, card.height() / 2});
    QRegion region(card.adjusted(0, radius, 0, -radius));
    // Each row of the corner bands as wide as the circle at its middle, so the cut follows the curve.
    for (int row = 0; row < radius; ++row) {
        const double dy = radius - row - 0.5;
        const int inset = int(std::lround(radius - std::sqrt(double(radius) * radius - dy * dy)));
        const QRect top(card.left() + inset, card.top() + row, card.width() - 2 * inset, 1);
        const QRect bottom(card.left() + inset, card.bottom() - row, card.width() - 2 * inset, 1);
        region += top;
        region += bottom;
    }
    return region;
}

void shape(QQuickWindow& window, const Look& look, const QRect& card, int radius) {
    if (look.kind == Kind::window) {
        window.setMask(QRegion());
        return;
    }
    if (!look.shadow) {
        // The bounding shape: no black corners, and the input follows it.
        window.setMask(roundedRegion(card, radius));
        return;
    }
    window.setMask(QRegion());
    // Presses on the cut corners reach what shows through them, as they would without a compositor.
    const QRegion input = roundedRegion(card, radius);
    if (X11Desktop::active()) X11Desktop::setInputRegion(window, input);
    else window.setMask(input); // elsewhere the mask is the input region
}

} // namespace PanelWindow
