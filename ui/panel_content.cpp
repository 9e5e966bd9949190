#include "ui/panel_content.h"

#include "ui/images.h"
#include "ui/popup_model.h"

#include <QFontDatabase>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QtQml/qqmlextensionplugin.h>

#include <future>
#include <malloc.h>

// The views' modules are linked in statically; whoever shows the panel gets them registered.
Q_IMPORT_QML_PLUGIN(Kestrava_UiPlugin)
Q_IMPORT_QML_PLUGIN(Kestrava_ModelPlugin)

namespace PanelContent {

namespace {
std::future<void> fonts;
} // namespace

void prefetch() {
    Images::prefetch({QString::fromLatin1(Images::backdropTextureFile), QString::fromLatin1(Images::logoFile)});
    // QFontDatabase is thread-safe; the first text then finds it filled.
    fonts = std::async(std::launch::async, [] { (void)QFontDatabase::families(); });
}

void chooseRenderer() {
    static bool chosen = false;
    if (chosen) return;
    chosen = true;
    for (const char* name : {"QT_QUICK_BACKEND", "QMLSCENE_DEVICE", "QSG_RHI_BACKEND"})
        if (!qEnvironmentVariableIsEmpty(name)) return;
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

// Measured under Xvfb with trayer (bench/RESULTS.md): after a hide, the software renderer holds no
// scene graph or texture that releaseResources() would drop, and collectGarbage(),
// trimComponentCache(), QPixmapCache::clear(), destroying the platform window or emptying the
// images' sources gave back nothing (0 to +64 KiB each); what the hide freed stays in the C heap
// until it is trimmed: 0.9 MB, 14 MB on OpenGL. A trim takes about a millisecond.
void trimHeap() { ::malloc_trim(0); }

std::unique_ptr<QQuickWindow> makeWindow() {
    // Without an alpha channel the shadow margin and the rounded corners would be black.
    QQuickWindow::setDefaultAlphaBuffer(true);
    auto window = std::make_unique<QQuickWindow>();
    window->setColor(Qt::transparent);
    // Hidden, it keeps neither its scene graph nor its graphics context. This matters on the hardware
    // renderers a user may choose (OpenGL through llvmpipe: 12 MB less once hidden); the software
    // renderer is the same either way.
    window->setPersistentSceneGraph(false);
    window->setPersistentGraphics(false);
    return window;
}

QQuickItem* create(QQmlEngine& engine, QQuickWindow& window, PopupModel& model, QString* error) {
    // Whatever becomes of the views, no prefetch outlives this call.
    struct PrefetchDone {
        ~PrefetchDone() {
            if (fonts.valid()) fonts.get();
            Images::finishPrefetch();
        }
    } prefetchDone;
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
