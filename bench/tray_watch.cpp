// Watches an X display for tray icons being embedded by a tray host (XEmbed: the host reparents the
// icon's window into its own) and prints, for each, a JSON line with the icon window's process (its
// _NET_WM_PID) and the CLOCK_MONOTONIC time in milliseconds, so a driver that spawned the process
// knows when its icon reached the tray.
//   kestrava-tray-watch HOST_PID      only embeddings into windows of that process (the tray host)
// It prints {"ready":true} once it listens, and runs until killed.
//   kestrava-tray-watch --tray        waits up to 20 s for a tray host (the owner of _NET_SYSTEM_TRAY_S0
//                                     on screen 0) and prints its process; fails without one
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

long pidOf(xcb_connection_t* c, xcb_window_t w, xcb_atom_t pidAtom) {
    xcb_get_property_reply_t* r =
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    long pid = -1;
    if (r && xcb_get_property_value_length(r) >= 4) pid = *static_cast<uint32_t*>(xcb_get_property_value(r));
    std::free(r);
    return pid;
}

// The process of the top-level window that w lies in (the host's windows carry its pid).
long topLevelPid(xcb_connection_t* c, xcb_window_t w, xcb_window_t root, xcb_atom_t pidAtom) {
    for (int depth = 0; depth < 32 && w != root && w != XCB_WINDOW_NONE; ++depth) {
        const long pid = pidOf(c, w, pidAtom);
        if (pid > 0) return pid;
        xcb_query_tree_reply_t* t = xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr);
        if (!t) return -1;
        w = t->parent;
        std::free(t);
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: kestrava-tray-watch HOST_PID\n", stderr);
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fputs("kestrava-tray-watch: no display\n", stderr);
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_atom_t pidAtom = atom(c, "_NET_WM_PID");
    if (std::strcmp(argv[1], "--tray") == 0) {
        const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S0");
        for (int i = 0; i < 200; ++i) {
            xcb_get_selection_owner_reply_t* r =
                xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
            const xcb_window_t owner = r ? r->owner : xcb_window_t(XCB_WINDOW_NONE);
            std::free(r);
            if (owner != XCB_WINDOW_NONE) {
                std::printf("%ld\n", topLevelPid(c, owner, root, pidAtom));
                return 0;
            }
            ::usleep(100 * 1000);
        }
        std::fputs("kestrava-tray-watch: no tray host\n", stderr);
        return 1;
    }
    const long host = std::atol(argv[1]);
    // A new icon window is made on the root; the host reparenting it away is told to the old parent.
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_request_check(c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask));
    std::printf("{\"ready\":true}\n");
    std::fflush(stdout);
    while (xcb_generic_event_t* e = xcb_wait_for_event(c)) {
        if ((e->response_type & 0x7f) == XCB_REPARENT_NOTIFY) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const auto* r = reinterpret_cast<xcb_reparent_notify_event_t*>(e);
            if (r->parent != root && topLevelPid(c, r->parent, root, pidAtom) == host) {
                std::printf("{\"pid\":%ld,\"window\":%u,\"embeddedMs\":%.3f}\n", pidOf(c, r->window, pidAtom), r->window,
                            now.tv_sec * 1e3 + now.tv_nsec / 1e6);
                std::fflush(stdout);
            }
        }
        std::free(e);
    }
    return 0;
}
