#include "app/tray/tray_look.h"

#include "ui/images.h"

#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace TrayLook {
namespace {

double linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double luminance(const QColor& c) {
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

class ShieldEngine : public QIconEngine {
public:
    ShieldEngine(bool connected, QColor ink) : m_connected(connected), m_ink(ink) {}
    QString iconName() override { return themeName(m_connected); }
    QString key() const override { return QStringLiteral("kestrava-shield"); }
    QIconEngine* clone() const override { return new ShieldEngine(m_connected, m_ink); }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        // Hosts paint it on every repaint; the SVG is drawn once per size.
        const quint64 key = quint64(quint32(size.width())) << 32 | quint32(size.height());
        if (const auto it = m_drawn.constFind(key); it != m_drawn.constEnd()) return *it;
        const QPixmap p = QPixmap::fromImage(Images::icon(svgName(), size, m_ink));
        if (m_drawn.size() < 16) m_drawn.insert(key, p);
        return p;
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        QPixmap p = pixmap(size * scale, mode, state);
        p.setDevicePixelRatio(scale);
        return p;
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap p = pixmap(rect.size() * dpr, mode, state);
        p.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, p);
    }

private:
    QString svgName() const { return m_connected ? QStringLiteral("shield") : QStringLiteral("shield-slash"); }
    bool m_connected;
    QColor m_ink;
    QHash<quint64, QPixmap> m_drawn;
};

} // namespace

QString themeName(bool connected) {
    return connected ? QStringLiteral("app.kestrava.linux-shield-symbolic")
                     : QStringLiteral("app.kestrava.linux-shield-slash-symbolic");
}

std::optional<QColor> dominantColor(const QImage& source) {
    if (source.isNull()) return std::nullopt;
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    // Counted in 4-bit steps per channel so antialiased edges and gradients do not split the vote.
    QHash<int, int> votes;
    QHash<int, QRgb> sample;
    const int h = std::min(image.height(), 512), w = std::min(image.width(), 4096);
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb c = line[x];
            const int key = (qRed(c) >> 4) << 8 | (qGreen(c) >> 4) << 4 | (qBlue(c) >> 4);
            ++votes[key];
            sample.insert(key, c);
        }
    }
    if (votes.isEmpty()) return std::nullopt;
    int best = votes.constBegin().key();
    for (auto it = votes.constBegin(); it != votes.constEnd(); ++it)
        if (it.value() > votes.value(best)) best = it.key();
    return QColor(sample.value(best));
}

std::optional<QColor> barColorOnScreen(const QRect& iconGeometry) {
    QScreen* screen = iconGeometry.isValid() ? QGuiApplication::screenAt(iconGeometry.center()) : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return std::nullopt;
    const QRect full = screen->geometry(), free = screen->availableGeometry();
    QRect area;
    if (iconGeometry.isValid() && !iconGeometry.isEmpty()) {
        // The icon's own box: the glyph is a thin outline, so the bar behind it has most of the votes.
        // Anything around the box may already be off the bar.
        area = iconGeometry;
    } else if (free.top() > full.top()) {
        area = QRect(full.left(), full.top(), full.width(), free.top() - full.top());
    } else if (free.bottom() < full.bottom()) {
        area = QRect(full.left(), free.bottom() + 1, full.width(), full.bottom() - free.bottom());
    } else {
        return std::nullopt;
    }
    area &= full;
    if (area.isEmpty()) return std::nullopt;
    // grabWindow takes logical coordinates relative to the screen.
    const QPixmap grab = screen->grabWindow(0, area.x() - full.x(), area.y() - full.y(), area.width(), area.height());
    if (grab.isNull()) return std::nullopt;
    const QImage image = grab.toImage().convertToFormat(QImage::Format_RGB32);
    return dominantColor(image);
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor inkFor(const std::optional<QColor>& bar) {
    const QColor light(0xf5, 0xf5, 0xf5), dark(0x1c, 0x1c, 0x1c);
    if (!bar) return light;
    return contrast(light, *bar) >= contrast(dark, *bar) ? light : dark;
}

QIcon icon(bool connected, const QColor& ink) { return QIcon(new ShieldEngine(connected, ink)); }

} // namespace TrayLook
