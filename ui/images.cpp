#include "ui/images.h"

#include "ui/palette.h"

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>
#include <future>
#include <mutex>
#include <vector>

#include <png.h>

namespace Images {
namespace {

constexpr int maxSide = 1024;
// Drawn sizes may be the logical ones times the device pixel ratio.
constexpr int maxPixels = 4 * maxSide;

struct Pending {
    QString file;
    std::future<QImage> image;
};
std::mutex pendingMutex;
std::vector<Pending> pending;

QImage readFile(const QString& file) {
    QFile in(file);
    return in.open(QIODevice::ReadOnly) ? decodePng(in.readAll()) : QImage();
}

// The image of a file: what a prefetch read, else read now.
QImage read(const QString& file) {
    std::future<QImage> prefetched;
    {
        const std::lock_guard lock(pendingMutex);
        const auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.file == file; });
        if (it != pending.end()) {
            prefetched = std::move(it->image);
            pending.erase(it);
        }
    }
    return prefetched.valid() ? prefetched.get() : readFile(file);
}

QImage tinted(QImage coverage, const QColor& color) {
    QPainter p(&coverage);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(coverage.rect(), color);
    return coverage;
}

// One horizontal then one vertical box pass of the given radius over an 8-bit plane, the edges
// extended. The vertical pass walks rows with a running sum per column (memory order), and the
// division by the window is a table: the result is the plain arithmetic's, several times faster.
void boxBlur(std::vector<uchar>& plane, std::vector<uchar>& tmp, std::vector<int>& sums, const std::vector<uchar>& divide,
             int w, int h, int r) {
    if (r <= 0) return;
    for (int y = 0; y < h; ++y) {
        const uchar* in = &plane[size_t(y) * w];
        uchar* out = &tmp[size_t(y) * w];
        int sum = 0;
        for (int i = -r; i <= r; ++i) sum += in[std::clamp(i, 0, w - 1)];
        for (int x = 0; x < w; ++x) {
            out[x] = divide[size_t(sum)];
            sum += in[std::min(x + r + 1, w - 1)] - in[std::max(x - r, 0)];
        }
    }
    std::fill(sums.begin(), sums.end(), 0);
    for (int i = -r; i <= r; ++i) {
        const uchar* row = &tmp[size_t(std::clamp(i, 0, h - 1)) * w];
        for (int x = 0; x < w; ++x) sums[x] += row[x];
    }
    for (int y = 0; y < h; ++y) {
        uchar* out = &plane[size_t(y) * w];
        const uchar* enter = &tmp[size_t(std::min(y + r + 1, h - 1)) * w];
        const uchar* leave = &tmp[size_t(std::max(y - r, 0)) * w];
        for (int x = 0; x < w; ++x) {
            out[x] = divide[size_t(sums[x])];
            sums[x] += enter[x] - leave[x];
        }
    }
}

QImage shadowOf(const QPainterPath& shape, QSize shapeSize, int blur, const QColor& color) {
    blur = std::clamp(blur, 0, 128);
    const int w = shapeSize.width() + 4 * blur, h = shapeSize.height() + 4 * blur;
    if (shapeSize.isEmpty() || w > maxPixels || h > maxPixels) return {};
    QImage mask(w, h, QImage::Format_Grayscale8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(2 * blur, 2 * blur);
        p.fillPath(shape, Qt::white);
    }
    std::vector<uchar> plane(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) std::copy_n(mask.constScanLine(y), w, &plane[size_t(y) * w]);
    // Three box passes of width sqrt(4 sigma^2 + 1) have the Gaussian's variance.
    const double sigma = blur / 2.0;
    const int r = int(std::lround((std::sqrt(sigma * sigma * 4.0 + 1.0) - 1.0) / 2.0));
    const int window = 2 * r + 1;
    std::vector<uchar> divide(size_t(255 * window + 1));
    for (size_t sum = 0; sum < divide.size(); ++sum) divide[sum] = uchar(int(sum) / window);
    std::vector<uchar> tmp(plane.size());
    std::vector<int> sums(static_cast<size_t>(w));
    for (int pass = 0; pass < 3; ++pass) boxBlur(plane, tmp, sums, divide, w, h, r);

    // Each coverage level tinted once.
    const double alpha = color.alphaF();
    QRgb tint[256];
    for (int v = 0; v < 256; ++v)
        tint[v] = qPremultiply(qRgba(color.red(), color.green(), color.blue(), int(std::lround(v / 255.0 * alpha * 255))));
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        const uchar* in = &plane[size_t(y) * w];
        for (int x = 0; x < w; ++x) line[x] = tint[in[x]];
    }
    return out;
}

QColor colorFrom(const QString& hex) {
    static const QRegularExpression form(QStringLiteral("^([0-9a-fA-F]{6}|[0-9a-fA-F]{8})$"));
    if (!form.match(hex).hasMatch()) return {};
    return QColor(QLatin1Char('#') + hex);
}

// Qt Quick asks for sourceSize times the device pixel ratio; the id names logical sizes.
double scaleFor(const QSize& requested, int logicalWidth) {
    if (!requested.isValid() || requested.width() <= 0 || logicalWidth <= 0) return 1.0;
    return std::clamp(double(requested.width()) / logicalWidth, 1.0, 4.0);
}

int scaled(int v, double s) { return int(std::lround(v * s)); }

int number(const QString& text) {
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok && v >= 0 && v <= maxSide ? v : -1;
}

} // namespace

QImage decodePng(const QByteArray& bytes) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.constData(), size_t(bytes.size()))) return {};
    // QImage's ARGB32 is 0xAARRGGBB in the machine's byte order.
    png.format = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;
    QImage out;
    if (png.width <= unsigned(maxPixels) && png.height <= unsigned(maxPixels))
        out = QImage(int(png.width), int(png.height), QImage::Format_ARGB32);
    // The finishing read frees what the beginning took, whether it succeeds or not; an image too
    // large never reaches it and is freed here.
    if (out.isNull() || !png_image_finish_read(&png, nullptr, out.bits(), out.bytesPerLine(), nullptr)) {
        png_image_free(&png);
        return {};
    }
    return out;
}

void prefetch(const QStringList& files) {
    const std::lock_guard lock(pendingMutex);
    for (const QString& file : files)
        pending.push_back({file, std::async(std::launch::async, [file] { return readFile(file); })});
}

void finishPrefetch() {
    std::vector<Pending> left;
    {
        const std::lock_guard lock(pendingMutex);
        left.swap(pending);
    }
    // The futures' destructors wait for their reads.
}

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
    if (size.isEmpty() || size.width() > maxPixels || size.height() > maxPixels) return {};
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    p.setClipPath(clip);
    p.fillRect(out.rect(), fill);
    const QImage tex = read(texture);
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
    const QImage source = read(file);
    if (source.isNull() || side <= 0 || side > maxPixels) return {};
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
    const auto shadow = [&](QSize s) {
        QPainterPath path;
        path.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(s)), radius, radius);
        return shadowOf(path, s, blur, color);
    };
    // Past the corners and the blur's reach (three box passes of at most blur / 2 + 1 each) every row
    // is the same, and every column: a rectangle just wide and high enough for one such row and column
    // is blurred, and its middle stretched. The popup's shadow costs a sixteenth of the whole blur.
    blur = std::clamp(blur, 0, 128);
    const int reach = std::max(radius, 0) + 2 * blur + 2, side = 2 * reach + 1;
    if (size.width() <= side && size.height() <= side) return shadow(size);
    const QSize small(std::min(size.width(), side), std::min(size.height(), side));
    const QImage part = shadow(small);
    const int w = size.width() + 4 * blur, h = size.height() + 4 * blur;
    if (part.isNull() || w > maxPixels || h > maxPixels) return {};
    // Output x or y to the part's: the near side as is, the far side shifted, the middle its one row
    // (an axis not stretched has no middle: far is 0).
    const int middle = 2 * blur + reach;
    const auto from = [middle](int v, int whole, int partSide) {
        const int far = whole - partSide;
        return v < middle ? v : v >= middle + far ? v - far : middle;
    };
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    std::vector<int> columns(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) columns[size_t(x)] = from(x, w, part.width());
    for (int y = 0; y < h; ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(part.constScanLine(from(y, h, part.height())));
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) line[x] = in[columns[size_t(x)]];
    }
    return out;
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
        if (color.isValid() && d > 0 && blur >= 0) {
            const double s = scaleFor(requestedSize, d + 4 * blur);
            image = circleShadow(scaled(d, s), scaled(blur, s), color);
        }
    } else if (parts.size() == 7 && parts[0] == QLatin1String("shadow") && parts[1] == QLatin1String("rect")) {
        const QColor color = colorFrom(parts[6]);
        const int w = number(parts[2]), h = number(parts[3]), radius = number(parts[4]), blur = number(parts[5]);
        if (color.isValid() && w > 0 && h > 0 && radius >= 0 && blur >= 0) {
            const double s = scaleFor(requestedSize, w + 4 * blur);
            image = roundedRectShadow(QSize(scaled(w, s), scaled(h, s)), scaled(radius, s), scaled(blur, s), color);
        }
    } else if (parts.size() == 3 && parts[0] == QLatin1String("logo")) {
        const int side = number(parts[1]), radius = number(parts[2]);
        const double s = scaleFor(requestedSize, side);
        if (side > 0 && radius >= 0)
            image = roundedImage(QString::fromLatin1(logoFile), scaled(side, s), scaled(radius, s));
    } else if (parts.size() == 3 && parts[0] == QLatin1String("backdrop")) {
        const int w = number(parts[1]), h = number(parts[2]);
        const double s = scaleFor(requestedSize, w);
        // Palette.bg under the soft texture at 0.55.
        if (w > 0 && h > 0)
            image = backdrop(QSize(scaled(w, s), scaled(h, s)), scaled(22, s), Palette::bg(),
                             QString::fromLatin1(backdropTextureFile), 0.55);
    }
    if (size) *size = image.size();
    return image;
}

} // namespace Images
