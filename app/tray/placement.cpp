#include "app/tray/placement.h"

#include <algorithm>
#include <cmath>

namespace Placement {

QPoint popupOrigin(const QRectF& anchor, QSize popup, const std::optional<QRect>& available) {
    const double w = popup.width(), h = popup.height();
    double x = anchor.center().x() - w / 2;
    double y = anchor.y() + anchor.height() + gap;
    if (available) {
        const double left = available->x(), right = available->x() + available->width();
        const double bottom = available->y() + available->height();
        x = std::max(x, left + inset);
        x = std::min(x, right - w - inset);
        y = std::min(y, bottom - h - inset);
    }
    return QPoint(int(std::lround(x)), int(std::lround(y)));
}

int room(const QRectF& anchor, const std::optional<QRect>& available) {
    if (!available || available->isEmpty()) return 0;
    const double top = available->y(), bottom = available->y() + available->height();
    const double below = anchor.y() + anchor.height() + gap;
    if (anchor.center().y() >= (top + bottom) / 2) return std::max(0, int(bottom - top) - 2 * inset);
    return std::max(0, int(std::floor(bottom - inset - below)));
}

QRectF anchorFor(const QRect& trayGeometry, const std::optional<QPoint>& pointer, const QRect& available,
                 const QRect& screen) {
    if (trayGeometry.isValid() && !trayGeometry.isEmpty()) return QRectF(trayGeometry);
    if (pointer) {
        // A press in a bar at the top or bottom (outside the work area): the icon's inner edge is the
        // work area's edge, not the pointer's point within the icon.
        const QPointF p(*pointer);
        if (available.isValid() && p.y() < available.top()) return QRectF(p.x(), p.y(), 0, available.top() - p.y());
        if (available.isValid() && p.y() > available.bottom()) return QRectF(p.x(), available.bottom() + 1, 0, 0);
        return QRectF(p, QSizeF(0, 0));
    }
    // Trays sit at the right end of their bar.
    const bool barAtBottomOnly = screen.isValid() && available.isValid() && available.top() == screen.top() &&
                                 available.bottom() < screen.bottom();
    if (barAtBottomOnly) return QRectF(QPointF(available.x() + available.width(), available.bottom() + 1), QSizeF(0, 0));
    return QRectF(QPointF(available.x() + available.width(), available.y()), QSizeF(0, 0));
}

} // namespace Placement
