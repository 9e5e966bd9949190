#include "ui/images.h"

#include <QPainter>
#include <QPainterPath>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The shadow as first written: three plain box passes over int planes, column by column, dividing each
// pixel. The fast one must give the same pixels.
QImage referenceShadow(const QPainterPath& shape, QSize shapeSize, int blur, const QColor& color) {
    const int w = shapeSize.width() + 4 * blur, h = shapeSize.height() + 4 * blur;
    QImage mask(w, h, QImage::Format_Grayscale8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(2 * blur, 2 * blur);
        p.fillPath(shape, Qt::white);
    }
    std::vector<int> plane(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) plane[size_t(y) * w + x] = mask.constScanLine(y)[x];
    const double sigma = blur / 2.0;
    const int r = int(std::lround((std::sqrt(sigma * sigma * 4.0 + 1.0) - 1.0) / 2.0));
    for (int pass = 0; pass < 3 && r > 0; ++pass) {
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
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double a = plane[size_t(y) * w + x] / 255.0 * color.alphaF();
            line[x] = qPremultiply(qRgba(color.red(), color.green(), color.blue(), int(std::lround(a * 255))));
        }
    }
    return out;
}

} // namespace

class ImagesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shadowsAreThePlainBoxBlurs_data() {
        QTest::addColumn<int>("blur");
        QTest::addColumn<QColor>("color");
        for (int blur : {0, 1, 2, 5, 12, 18, 30})
            for (QRgb c : {0x73000000u, 0x732DD4A7u, 0xffE23B3Bu})
                QTest::addRow("blur %d, #%08x", blur, c) << blur << QColor::fromRgba(c);
    }
    void shadowsAreThePlainBoxBlurs() {
        QFETCH(int, blur);
        QFETCH(QColor, color);
        // The panel's shadow (the popup's sizes), the power button's, and shapes smaller than the blur.
        for (const QSize size : {QSize(400, 411), QSize(400, 700), QSize(120, 44), QSize(3, 5)}) {
            QPainterPath path;
            path.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), 22, 22);
            QCOMPARE(Images::roundedRectShadow(size, 22, blur, color), referenceShadow(path, size, blur, color));
        }
        for (const int d : {110, 7, 1}) {
            QPainterPath path;
            path.addEllipse(QRectF(0, 0, d, d));
            QCOMPARE(Images::circleShadow(d, blur, color), referenceShadow(path, QSize(d, d), blur, color));
        }
    }
};

QTEST_MAIN(ImagesTest)
#include "images_test.moc"
