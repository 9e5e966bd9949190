#include "ui/panel_content.h"

#include "ui/images.h"
#include "ui/popup_model.h"

#include <QFile>
#include <QFontDatabase>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <string_view>

#include <malloc.h>
#include <sys/mman.h>

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

void shapeHeap() {
    // Whoever tunes the C heap themselves keeps their choice.
    if (qgetenv("GLIBC_TUNABLES").contains("malloc") || qEnvironmentVariableIsSet("MALLOC_ARENA_MAX") ||
        qEnvironmentVariableIsSet("MALLOC_MMAP_THRESHOLD_"))
        return;
    // What lives on after a drop (Qt Qml's type registrations, the font database) shares pages
    // with what the popup freed, and a trim returns only whole free pages. Blocks of 64 KiB and
    // more (images, the engine's tables) then come from mmap and go back whole, and not every
    // worker thread leaves an arena of its own: about 0.8 MB less private dirty after a drop.
    ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    ::mallopt(M_ARENA_MAX, 2);
}

namespace {

// The files whose pages the popup alone brings in; the tray's own (Qt Gui, D-Bus, the C library)
// stay, or every wake-up would fault them back.
bool popupOnly(std::string_view p) {
    static constexpr std::array<std::string_view, 12> parts{
        "/libQt6Qml", "/libQt6Quick", "/libharfbuzz", "/libfreetype", "/libfontconfig", "/libpng16", "/libgraphite2",
        "/qt6/qml/", "/qt6/plugins/imageformats/", "/fonts/", "/fontconfig/", "/libexpat"};
    return std::any_of(parts.begin(), parts.end(), [&](std::string_view part) { return p.find(part) != p.npos; });
}

} // namespace

void releaseFilePages() {
    QFile maps(QStringLiteral("/proc/self/smaps"));
    if (!maps.open(QIODevice::ReadOnly)) return;
    const QByteArray text = maps.readAll();
    auto number = [](std::string_view field) { return std::strtol(std::string(field).c_str(), nullptr, 10); };
    long rss = 0;
    unsigned long start = 0, end = 0;
    bool candidate = false;
    // A mapping's header line, then its fields: Rss, ..., Anonymous, ..., VmFlags last.
    std::string_view rest(text.constData(), size_t(text.size()));
    while (!rest.empty()) {
        const size_t eol = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(std::min(eol + 1, rest.size()));
        char perms[5] = {};
        int pathAt = 0;
        unsigned long from = 0, to = 0;
        // A field line may begin with hex letters ("FilePmdMapped:"): only a whole header counts.
        if (std::sscanf(std::string(line).c_str(), "%lx-%lx %4s %*s %*s %*s %n", &from, &to, perms, &pathAt) == 3 &&
            pathAt > 0) {
            // Only a file's pages that can't be written.
            const std::string_view path = line.substr(size_t(pathAt));
            start = from;
            end = to;
            candidate = perms[1] == '-' && path.starts_with('/') && popupOnly(path) && end > start;
            rss = 0;
        } else if (candidate && line.starts_with("Rss:")) {
            rss = number(line.substr(4));
        } else if (candidate && line.starts_with("Anonymous:")) {
            // A page the program wrote (relocations) is no copy of the file: such a mapping stays whole.
            if (number(line.substr(10)) != 0) candidate = false;
        } else if (candidate && line.starts_with("VmFlags:")) {
            candidate = false;
            if (rss > 0) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
        }
    }
}

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
