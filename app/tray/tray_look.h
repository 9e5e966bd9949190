#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QRect>
#include <QString>

#include <optional>

// The tray icon as the bar it sits on needs it.
namespace TrayLook {

// "app.kestrava.linux-shield-symbolic" or "…-shield-slash-symbolic": the theme icons the package
// installs, which SNI hosts find by name and recolour for their bar.
QString themeName(bool connected);

// The bar's colour: the most common colour of image (a grab of the bar around the icon).
std::optional<QColor> dominantColor(const QImage& image);
// Where to look on screen: the icon's box when its place is known (the glyph is a thin outline, the
// bar fills the rest), else the strip the work area leaves free at the screen's edge (where bars
// reserve their room), else nothing.
std::optional<QColor> barColorOnScreen(const QRect& iconGeometry);

// Light ink on a dark bar, dark ink on a light one; a dark bar when the bar cannot be seen.
QColor inkFor(const std::optional<QColor>& bar);
double contrast(const QColor& a, const QColor& b);

// Named for hosts that look icons up, drawn in ink for hosts that take pixels.
QIcon icon(bool connected, const QColor& ink);

} // namespace TrayLook
