#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

// Where the popup goes, in screen coordinates with y growing downwards.
namespace Placement {

inline constexpr int gap = 6;    // between the anchor's bottom edge and the popup's top edge
inline constexpr int inset = 8;  // kept free at the left, right and bottom of the available area

// Centred under the anchor, gap below it; then clamped left, right (the right wins on a narrow
// screen) and bottom against the available area. The top edge is never clamped.
QPoint popupOrigin(const QRectF& anchor, QSize popup, const std::optional<QRect>& available);

// The tallest card popupOrigin() keeps inside the available area, 8 from its edges: below an anchor
// in the upper half, the room under it; for an anchor in the lower half (a bar at the bottom, where
// the card sits above the bar and grows upwards), the whole height. 0 without an area: no limit.
int room(const QRectF& anchor, const std::optional<QRect>& available);

// The tray icon's geometry when the platform gives one, else the pointer at activation (stretched to
// the work area's edge when it lies in a bar outside it), else the right end of the bar: the bottom-right
// corner of the available area when the screen's only bar is at the bottom, else its top-right corner.
QRectF anchorFor(const QRect& trayGeometry, const std::optional<QPoint>& pointer, const QRect& available,
                 const QRect& screen = QRect());

} // namespace Placement
