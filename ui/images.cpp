#include "ui/images.h"

#include "ui/palette.h"

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>
#include <vector>

namespace Images {
namespace {

constexpr int maxSide = 1024;

QImage tinted(QImage coverage, const QColor& color) {
    QPainter p(&coverage);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(coverage.rect(), color);
    return coverage;
}

// One horizontal then one vertical box pass of the given radius over an 8-bit plane.
void boxBlur(std::vector<int>& plane, int w, int h, int r) {
    if (r <= 0) return;
    std::vector<int> tmp(plane.size());
    const int window = 2 * r + 1;
    for (int y = 0; y < h; ++y) {
        int sum = 0;
        for (int i = -r; i <= r; ++i) sum += plane[y * w + std::clamp(i, 0, w - 1)];
        for (int x = 0; x < w; ++x) {
            tmp[y * w + x] = sum / window;
            sum += plane[y * w + std::min(x + r + 1, w - 1)] - plane[y * w + std::max(x - r, 0)];
        }
    }
    for (int x = 0; x < w; ++x) {
        int sum = 0;
        for (int i = -r; i <= r; ++i) sum += tmp[std::clamp(i, 0, h - 1) * w + x];
        for (int y = 0; y < h; ++y) {
            plane[y * w + x] = sum / window;
            sum += tmp[std::min(y + r + 1, h - 1) * w + x] - tmp[std::max(y - r, 0) * w + x];
        }
    }
}

QImage shadowOf(const QPainterPath& shape, QSize shapeSize, int blur, const QColor& color) {
    blur = std::clamp(blur, 0, 128);
    const int w = shapeSize.width() + 4 * blur, h = shapeSize.height() + 4 * blur;
    if (shapeSize.isEmpty() || w > maxSide || h > maxSide) return {};
    QImage mask(w, h, QImage::Format_Grayscale8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(2 * blur, 2 * blur);
        p.fillPath(shape, Qt::white);
    }
    std::vector<int> plane(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        const uchar* line = mask.constScanLine(y);
        for (int x = 0; x < w; ++x) plane[size_t(y) * w + x] = line[x];
    }
    // Three box passes of width sqrt(4 sigma^2 + 1) have the Gaussian's variance.
    const double sigma = blur / 2.0;
    const int r = int(std::lround((std::sqrt(sigma * sigma * 4.0 + 1.0) - 1.0) / 2.0));
    for (int pass = 0; pass < 3; ++pass) boxBlur(plane, w, h, r);

    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    const double alpha = color.alphaF();
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double a = plane[size_t(y) * w + x] / 255.0 * alpha;
            line[x] = qPremultiply(qRgba(color.red(), color.green(), color.blue(), int(std::lround(a * 255))));
        }
    }
    return out;
}

QColor colorFrom(const QString& hex) {
    static const QRegularExpression form(QStringLiteral("^([0-9a-fA-F]{6}|[0-9a-fA-F]{8})$"));
    if (!form.match(hex).hasMatch()) return {};
    return QColor(QLatin1Char('#') + hex);
}

int number(const QString& text) {
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok && v >= 0 && v <= maxSide ? v : -1;
}

} // namespace

QImage icon(const QString& name, QSize size, const QColor& color) {
    static const QRegularExpression safe(QStringLiteral("^[a-z][a-z-]*$"));
    if (!safe.match(name).hasMatch() || size.isEmpty() || size.width() > maxSide || size.height() > maxSide)
        return {};
    QSvgRenderer renderer(QStringLiteral(":/Kestrava/Ui/icons/%1.svg").arg(name));
    if (!renderer.isValid()) return {};
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        // Keep the icon's proportions inside the requested box.
        const QSizeF box = QSizeF(renderer.viewBoxF().size()).scaled(QSizeF(size), Qt::KeepAspectRatio);
        renderer.render(&p, QRectF(QPointF((size.width() - box.width()) / 2, (size.height() - box.height()) / 2), box));
    }
    return tinted(std::move(image), color);
}

QImage backdrop(QSize size, int radius, const QColor& fill, const QString& texture, qreal opacity) {
    if (size.isEmpty() || size.width() > maxSide || size.height() > 4 * maxSide) return {};
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    p.setClipPath(clip);
    p.fillRect(out.rect(), fill);
    const QImage tex(texture);
    if (!tex.isNull()) {
        // Fill the whole area, keep the aspect ratio, crop what overflows.
        const QSizeF scaled = QSizeF(tex.size()).scaled(QSizeF(size), Qt::KeepAspectRatioByExpanding);
        const QRectF target(QPointF((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2), scaled);
        p.setOpacity(opacity);
        p.drawImage(target, tex);
    }
    return out;
}

QImage roundedImage(const QString& file, int side, int radius) {
    const QImage source(file);
    if (source.isNull() || side <= 0 || side > maxSide) return {};
    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(0, 0, side, side), radius, radius);
    p.setClipPath(clip);
    p.drawImage(QRectF(0, 0, side, side), source);
    return out;
}

QImage circleShadow(int diameter, int blur, const QColor& color) {
    QPainterPath path;
    path.addEllipse(QRectF(0, 0, diameter, diameter));
    return shadowOf(path, QSize(diameter, diameter), blur, color);
}

QImage roundedRectShadow(QSize size, int radius, int blur, const QColor& color) {
    QPainterPath path;
    path.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    return shadowOf(path, size, blur, color);
}

QImage Provider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const QStringList parts = id.split(QLatin1Char('/'));
    QImage image;
    if (parts.size() == 3 && parts[0] == QLatin1String("icon")) {
        const QColor color = colorFrom(parts[2]);
        const QSize want = requestedSize.isValid() && !requestedSize.isEmpty() ? requestedSize : QSize(24, 24);
        if (color.isValid()) image = icon(parts[1], want, color);
    } else if (parts.size() == 5 && parts[0] == QLatin1String("shadow") && parts[1] == QLatin1String("circle")) {
        const QColor color = colorFrom(parts[4]);
        const int d = number(parts[2]), blur = number(parts[3]);
        if (color.isValid() && d > 0 && blur >= 0) image = circleShadow(d, blur, color);
    } else if (parts.size() == 7 && parts[0] == QLatin1String("shadow") && parts[1] == QLatin1String("rect")) {
        const QColor color = colorFrom(parts[6]);
        const int w = number(parts[2]), h = number(parts[3]), radius = number(parts[4]), blur = number(parts[5]);
        if (color.isValid() && w > 0 && h > 0 && radius >= 0 && blur >= 0)
            image = roundedRectShadow(QSize(w, h), radius, blur, color);
    }
    else if (parts.size() == 3 && parts[0] == QLatin1String("logo")) {
        const int side = number(parts[1]), radius = number(parts[2]);
        if (side > 0 && radius >= 0) image = roundedImage(QStringLiteral(":/Kestrava/Ui/images/logo.png"), side, radius);
    } else if (parts.size() == 3 && parts[0] == QLatin1String("backdrop")) {
        const int w = number(parts[1]), h = number(parts[2]);
        // Palette.bg under the soft texture at 0.55.
        if (w > 0 && h > 0)
            image = backdrop(QSize(w, h), 22, Palette::bg(),
                             QStringLiteral(":/Kestrava/Ui/images/bg-soft.png"), 0.55);
    }
    if (size) *size = image.size();
    return image;
}

} // namespace Images
