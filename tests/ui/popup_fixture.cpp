#include "popup_fixture.h"

#include "ui/panel_content.h"

#include <QCoreApplication>
#include <QDir>
#include <QTest>
#include <QtQuickTest/quicktest.h>

PopupFixture::PopupFixture() = default;

PopupFixture::~PopupFixture() {
    delete root;
    window.reset();
}

bool PopupFixture::load(PopupModel& model) {
    // The renderer the program chooses, unless the environment names one.
    PanelContent::chooseRenderer();
    window = PanelContent::makeWindow();
    QString error;
    root = PanelContent::create(engine, *window, model, &error);
    if (!root) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    window->show();
    return QTest::qWaitForWindowExposed(window.get());
}

QQuickItem* PopupFixture::popup() const { return root ? root->property("popup").value<QQuickItem*>() : nullptr; }

namespace {
QQuickItem* findIn(QQuickItem* item, const QString& name) {
    if (!item) return nullptr;
    if (item->objectName() == name && item->isVisible()) return item;
    for (QQuickItem* child : item->childItems())
        if (QQuickItem* hit = findIn(child, name)) return hit;
    return nullptr;
}
} // namespace

QQuickItem* PopupFixture::find(const QString& name) const { return findIn(root, name); }
QQuickItem* PopupFixture::findChild(QQuickItem* under, const QString& name) { return findIn(under, name); }

QImage PopupFixture::grab() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    if (!QQuickTest::qWaitForPolish(window.get())) qWarning("the popup's layout did not settle");
    QImage image = window->grabWindow();
    // Qt 6.4's software grab returns the device pixels with a ratio of 1; the checks map points by it.
    if (image.width() != window->width()) image.setDevicePixelRatio(qreal(image.width()) / window->width());
    return image;
}

QImage PopupFixture::grabPopup() {
    const QImage all = grab();
    QQuickItem* p = popup();
    const qreal dpr = all.devicePixelRatio();
    return all.copy(QRect(int(p->x() * dpr), int(p->y() * dpr), int(p->width() * dpr), int(p->height() * dpr)));
}

QPoint PopupFixture::centreOf(QQuickItem* item) const {
    return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
}

void PopupFixture::click(QQuickItem* item) { QTest::mouseClick(window.get(), Qt::LeftButton, {}, centreOf(item)); }

bool PopupFixture::save(const QImage& image, const QString& name) const {
    const QString dir = QStringLiteral(KESTRAVA_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    // The run at scale 2 keeps its pictures beside those at scale 1.
    const QString suffix = qEnvironmentVariable("KESTRAVA_SCREENSHOT_SUFFIX");
    return image.save(dir + QLatin1Char('/') + name + suffix + QStringLiteral(".png"));
}

void PopupFixture::type(const QString& text) {
    for (const QChar c : text) QTest::keyClick(window.get(), char(c.toLatin1()));
}

bool PopupFixture::typeInto(const QString& name, const QString& text) {
    QQuickItem* item = find(name);
    if (!item) return false;
    item->forceActiveFocus();
    type(text);
    return true;
}
