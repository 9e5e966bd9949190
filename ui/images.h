#pragma once

#include <QColor>
#include <QImage>
#include <QQuickImageProvider>
#include <QSize>
#include <QString>

namespace Images {

// The popup's two bitmaps, resources of the views' module.
inline constexpr char logoFile[] = ":/Kestrava/Ui/images/logo.png";
inline constexpr char backdropTextureFile[] = ":/Kestrava/Ui/images/bg-soft.png";

// A PNG's pixels, read with libpng itself: QImage's own reader first asks every image format plugin
// installed whether it reads PNG, loading each with its libraries (TIFF, WebP, MNG where present).
// A null image for bytes that are no PNG or an image over 4096 pixels on a side.
QImage decodePng(const QByteArray& bytes);

// One of our monochrome SVG icons, drawn at size and tinted; a null image for an unknown name.
QImage icon(const QString& name, QSize size, const QColor& color);

// The popup's background: fill, then the texture scaled to cover at the opacity, clipped to a
// rounded rectangle. Only the fill when the texture cannot be read.
QImage backdrop(QSize size, int radius, const QColor& fill, const QString& texture, qreal opacity);

// An image stretched to side x side and clipped to a rounded square; null when it cannot be read.
QImage roundedImage(const QString& file, int side, int radius);

// A soft shadow: the shape's coverage blurred (three box passes, close to a Gaussian of sigma
// blur / 2) and tinted. The image is the shape's size plus 2 * blur on every side.
QImage circleShadow(int diameter, int blur, const QColor& color);
QImage roundedRectShadow(QSize size, int radius, int blur, const QColor& color);

// Starts reading these image files (PNG resources) on threads of their own; the next backdrop() or
// roundedImage() of each file takes what was read instead of reading it itself. finishPrefetch()
// waits for the reads and drops what no one took.
void prefetch(const QStringList& files);
void finishPrefetch();

// "image://kestrava/icon/NAME/RRGGBB", "image://kestrava/shadow/circle/D/BLUR/AARRGGBB",
// "image://kestrava/shadow/rect/W/H/RADIUS/BLUR/AARRGGBB", "image://kestrava/backdrop/W/H",
// "image://kestrava/logo/SIDE/RADIUS".
class Provider : public QQuickImageProvider {
public:
    Provider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace Images
