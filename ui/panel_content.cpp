#include "ui/panel_content.h"

#include "ui/images.h"
#include "ui/popup_model.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

// The views' modules are linked in statically; whoever shows the panel gets them registered.
Q_IMPORT_QML_PLUGIN(Kestrava_UiPlugin)
Q_IMPORT_QML_PLUGIN(Kestrava_ModelPlugin)

namespace PanelContent {

std::unique_ptr<QQuickWindow> makeWindow() {
    // Without an alpha channel the shadow margin and the rounded corners would be black.
    QQuickWindow::setDefaultAlphaBuffer(true);
    auto window = std::make_unique<QQuickWindow>();
    window->setColor(Qt::transparent);
    return window;
}

QQuickItem* create(QQmlEngine& engine, QQuickWindow& window, PopupModel& model, QString* error) {
    const QString provider = QStringLiteral("kestrava");
    if (!engine.imageProvider(provider)) engine.addImageProvider(provider, new Images::Provider);
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/Kestrava/Ui/Panel.qml")));
    QObject* made = component.isError()
                        ? nullptr
                        : component.createWithInitialProperties({{QStringLiteral("model"), QVariant::fromValue(&model)}});
    auto* root = qobject_cast<QQuickItem*>(made);
    if (!root) {
        if (error) *error = component.errorString();
        delete made;
        return nullptr;
    }
    root->setParentItem(window.contentItem());
    QQuickWindow* w = &window;
    auto follow = [w, root] { w->resize(int(root->width()), int(root->height())); };
    QObject::connect(root, &QQuickItem::widthChanged, w, follow);
    QObject::connect(root, &QQuickItem::heightChanged, w, follow);
    follow();
    return root;
}

} // namespace PanelContent
