#include "app/x11/x11_desktop.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <xcb/shape.h>
#include <xcb/xfixes.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdlib>
#include <vector>

namespace X11Desktop {
namespace {

xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

} // namespace

bool active() { return qtConnection() != nullptr; }

bool underXWayland() { return active() && qEnvironmentVariableIsSet("WAYLAND_DISPLAY"); }

bool xwaylandWithWindowManager() {
    if (!underXWayland()) return false;
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen && screen->availableGeometry() != screen->geometry();
}

namespace {
// Someone owns the selection prefix<screen> on Qt's connection.
bool selectionOwned(const QByteArray& prefix) {
    xcb_connection_t* c = qtConnection();
    if (!c) return false;
    // Qt opens the default screen; its number is in DISPLAY (":0.1"), 0 when absent.
    int screen = 0;
    const QByteArray display = qgetenv("DISPLAY");
    if (const int dot = display.lastIndexOf('.'); dot > display.lastIndexOf(':')) screen = display.mid(dot + 1).toInt();
    const QByteArray name = prefix + QByteArray::number(screen);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, name.size(), name.constData()), nullptr);
    if (!atom) return false;
    const xcb_atom_t a = atom->atom;
    std::free(atom);
    if (a == XCB_ATOM_NONE) return false;  // never interned: nobody ever owned it
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, a), nullptr);
    const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return owned;
}
} // namespace

bool compositorRunning() { return selectionOwned("_NET_WM_CM_S"); }

bool trayManagerRunning() { return selectionOwned("_NET_SYSTEM_TRAY_S"); }

void setInputRegion(QWindow& window, const QRegion& region) {
    xcb_connection_t* c = qtConnection();
    if (!c || !window.handle()) return;
    const qreal dpr = window.devicePixelRatio();
    std::vector<xcb_rectangle_t> rects;
    for (const QRect& r : region) {
        const QRect d(QPoint(qRound(r.x() * dpr), qRound(r.y() * dpr)), QSize(qRound(r.width() * dpr), qRound(r.height() * dpr)));
        rects.push_back({int16_t(d.x()), int16_t(d.y()), uint16_t(d.width()), uint16_t(d.height())});
    }
    xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, xcb_window_t(window.winId()), 0,
                         0, uint32_t(rects.size()), rects.data());
    xcb_flush(c);
}

} // namespace X11Desktop

namespace {
// A connection of our own to the program's display, so that Qt's event handling stays untouched, with
// `extension` present there; its screen's number and root. No connection where either is missing.
struct OwnConnection {
    xcb_connection_t* conn = nullptr;
    int screen = 0;
    xcb_window_t root = XCB_WINDOW_NONE;
};
OwnConnection ownConnection(xcb_extension_t* extension) {
    OwnConnection own;
    if (!X11Desktop::active()) return own;
    xcb_connection_t* c = xcb_connect(nullptr, &own.screen);
    if (!c) return own;
    const xcb_query_extension_reply_t* ext = xcb_connection_has_error(c) ? nullptr : xcb_get_extension_data(c, extension);
    if (!ext || !ext->present) {
        xcb_disconnect(c);
        return own;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < own.screen && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        xcb_disconnect(c);
        return own;
    }
    own.conn = c;
    own.root = it.data->root;
    return own;
}

xcb_atom_t intern(xcb_connection_t* c, const QByteArray& name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, name.size(), name.constData()), nullptr);
    const xcb_atom_t atom = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return atom;
}
} // namespace

BarChangeWatcher::BarChangeWatcher(QObject* parent) : QObject(parent) {
    const OwnConnection own = ownConnection(&xcb_xfixes_id);
    m_conn = own.conn;
    if (!m_conn) return;
    std::free(xcb_xfixes_query_version_reply(m_conn, xcb_xfixes_query_version(m_conn, 1, 0), nullptr));
    const QByteArray n = QByteArray::number(own.screen);
    const xcb_atom_t tray = intern(m_conn, "_NET_SYSTEM_TRAY_S" + n);
    m_settingsSelection = intern(m_conn, "_XSETTINGS_S" + n);
    for (xcb_atom_t selection : {tray, xcb_atom_t(m_settingsSelection)})
        if (selection != XCB_ATOM_NONE)
            xcb_xfixes_select_selection_input(m_conn, own.root, selection,
                                              XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
    watchSettingsOwner();
    xcb_flush(m_conn);
    m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_conn), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, &BarChangeWatcher::drain);
}

BarChangeWatcher::~BarChangeWatcher() {
    m_notifier.reset();
    if (m_conn) xcb_disconnect(m_conn);
}

void BarChangeWatcher::watchSettingsOwner() {
    // The settings daemon's window carries the settings; a theme switch rewrites that property.
    if (m_settingsSelection == XCB_ATOM_NONE) return;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(m_conn, xcb_get_selection_owner(m_conn, m_settingsSelection), nullptr);
    if (owner && owner->owner != XCB_WINDOW_NONE) {
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(m_conn, owner->owner, XCB_CW_EVENT_MASK, &mask);
    }
    std::free(owner);
}

void BarChangeWatcher::drain() {
    bool any = false;
    const uint8_t ownerChanged = xcb_get_extension_data(m_conn, &xcb_xfixes_id)->first_event + XCB_XFIXES_SELECTION_NOTIFY;
    // Bounded: only what is queued now.
    for (int i = 0; i < 256; ++i) {
        xcb_generic_event_t* event = xcb_poll_for_event(m_conn);
        if (!event) break;
        const uint8_t type = event->response_type & 0x7f;
        if (type == ownerChanged) {
            any = true;
            if (reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event)->selection == m_settingsSelection)
                watchSettingsOwner();
        } else if (type == XCB_PROPERTY_NOTIFY) {
            any = true;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(m_conn)) m_notifier->setEnabled(false);
    xcb_flush(m_conn);
    if (any) Q_EMIT changed();
}

OutsidePressWatcher::OutsidePressWatcher(QObject* parent) : QObject(parent) {
    const OwnConnection own = ownConnection(&xcb_input_id);
    m_conn = own.conn;
    if (!m_conn) return;
    xcb_input_xi_query_version_reply_t* version =
        xcb_input_xi_query_version_reply(m_conn, xcb_input_xi_query_version(m_conn, 2, 0), nullptr);
    const bool xi2 = version && version->major_version >= 2;
    std::free(version);
    if (!xi2) return;
    m_root = own.root;
    m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_conn), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, &OutsidePressWatcher::drain);
}

OutsidePressWatcher::~OutsidePressWatcher() {
    m_notifier.reset();
    if (m_conn) xcb_disconnect(m_conn);
}

void OutsidePressWatcher::setWatching(bool on) {
    if (!m_notifier || on == m_watching) return;
    m_watching = on;
    struct {
        xcb_input_event_mask_t head;
        uint32_t mask;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, on ? uint32_t(XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS) : 0u};
    xcb_input_xi_select_events(m_conn, m_root, 1, &mask.head);
    xcb_flush(m_conn);
}

void OutsidePressWatcher::drain() {
    bool any = false;
    // Bounded: only what is queued now.
    for (int i = 0; i < 256; ++i) {
        xcb_generic_event_t* event = xcb_poll_for_event(m_conn);
        if (!event) break;
        if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
            auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(event);
            if (ge->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
                auto* raw = reinterpret_cast<xcb_input_raw_button_press_event_t*>(event);
                // Wheel steps (4 to 7) are no press.
                if (raw->detail >= 1 && raw->detail <= 3) any = true;
            }
        }
        std::free(event);
    }
    if (!any || !m_watching) return;
    xcb_query_pointer_reply_t* at = xcb_query_pointer_reply(m_conn, xcb_query_pointer(m_conn, m_root), nullptr);
    if (!at) return;
    const QPoint pos(at->root_x, at->root_y);
    std::free(at);
    Q_EMIT pressed(pos);
}
