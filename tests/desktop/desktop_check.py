#!/usr/bin/python3
"""The tray icon and the popup on a real desktop, judged as a user sees them (README.md lists the settings).

    desktop_check.py SETTING KESTRAVA DEVSERVICE SCENARIO ARTEFACTS

Each setting is a row: its hosts, its screen, and the steps of the one run that it takes. Everything runs on a
private Xvfb display and session bus. Exit 77 when a host is missing.
"""

import ctypes
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BACKGROUND = (0x5B, 0x7F, 0xA6)  # the root window's colour: black there would be ours
GAP, INSET = 6, 8
OPENBOX, XFCE = ["openbox", "trayer", "xcompmgr"], ["xfwm4", "xfce4-panel", "xfconfd"]
TRAY = ["icon", "open", "probes", "focus", "outside", "second"]  # the steps every X11 tray takes
HD, SMALL, GNOME_SCREEN = (1920, 1080), (1280, 800), (1600, 900)

SETTINGS = {
    "openbox-trayer": dict(hosts=OPENBOX, tint="0xeeeeee", steps=TRAY + ["double", "menu", "connect", "retint"]),
    "openbox-plain": dict(hosts=OPENBOX[:2], tint="0x202020", composited=False, steps=TRAY + ["double", "menu"]),
    "xfce": dict(hosts=XFCE, steps=TRAY + ["menu", "connect", "compositor_off"]),
    "xfce-light": dict(hosts=XFCE, dark=False, steps=TRAY + ["menu"]),
    "xfce-bottom": dict(hosts=XFCE, screen=SMALL, bottom=True, steps=TRAY + ["menu", "connect"]),
    "xfce-theme": dict(hosts=XFCE, theme=True, steps=TRAY + ["menu"]),
    "plasma": dict(hosts=["kded5", "kwin_x11", "plasmashell"], screen=SMALL, theme=True,
                   steps=TRAY + ["menu", "connect", "retheme", "compositor_off"]),
    "gnome": dict(hosts=["gnome-shell"], screen=GNOME_SCREEN, theme=True, steps=TRAY + ["menu", "connect"]),
    # The shell as a Wayland compositor nested in Xvfb, the program on its XWayland, where X never sees the
    # pointer on the bar; the popup is a window the shell manages (to take the keyboard): no margin.
    "gnome-wayland": dict(hosts=["gnome-shell", "Xwayland"], screen=GNOME_SCREEN, theme=True, wayland=True, margin=0,
                          steps=["icon", "open", "second", "menu"]),
    "gnome-notray": dict(hosts=["gnome-shell"], screen=GNOME_SCREEN, notray=True, args=["--show"],
                         steps=["window", "dash"]),
    "notray": dict(hosts=["openbox"], composited=False, args=["--hidden"], steps=["login_start", "window", "relaunch"]),
    "scale2": dict(hosts=OPENBOX, screen=(3840, 2160), scale=2, tint="0x2b2b2b", steps=TRAY + ["double", "menu"]),
    # sway as nobody (it refuses root) on its X11 backend, waybar's SNI tray; the program through XWayland,
    # which X here cannot see into: the card is judged from the screen.
    "sway": dict(hosts=["sway", "waybar", "Xwayland", "setpriv", "busctl"], steps=["sway_tray", "sway_popup"]),
    # No window manager: the popup as a screen reader meets it over AT-SPI.
    "atspi": dict(hosts=[], screen=SMALL, composited=False, args=["--show"], steps=["atspi"],
                  env=dict(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")),
}


class Skip(Exception):
    """A host missing on this machine."""


class Failure(Exception):
    """What the user would see go wrong."""


def luminance(c):
    lin = [v / 255 / 12.92 if v <= 10 else ((v / 255 + 0.055) / 1.055) ** 2.4 for v in c]
    return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]


def contrast(a, b):
    la, lb = luminance(a), luminance(b)
    return (max(la, lb) + 0.05) / (min(la, lb) + 0.05)


class Shot:
    """A screenshot of the root window (kept as a PNG among the artefacts), read as raw RGB."""

    def __init__(self, raw, w, h):
        self.data, self.w, self.h = raw, w, h

    def px(self, x, y):
        i = (y * self.w + x) * 3
        return tuple(self.data[i:i + 3])


class Desktop:
    def __init__(self, setting, app, devservice, scenario, artefacts):
        self.name, self.cfg = setting, {**dict(screen=HD, scale=1, composited=True, dark=True), **SETTINGS[setting]}
        self.app, self.devservice, self.scenario, self.artefacts = app, devservice, scenario, artefacts
        self.work = tempfile.mkdtemp(prefix="kestrava-desktop-")
        self.procs, self.bus_pids, self.results = [], [], {}
        self.env = dict(os.environ)
        self.inner = self.env
        self.top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if setting == "sway" else []

    # --- processes -----------------------------------------------------------------------------
    def spawn(self, argv, log, env=None, user=False):
        p = subprocess.Popen((self.user if user else []) + argv, env=env or self.env,
                             stdout=open(os.path.join(self.work, log), "w"), stderr=subprocess.STDOUT,
                             start_new_session=True)
        self.procs.append(p)
        return p

    def cleanup(self):
        # A desktop's helpers that its bus started on demand are ours too, and outlive their bus.
        try:
            helpers = self.bus_clients() - {p.pid for p in self.procs} - set(self.bus_pids) if self.bus_pids else set()
        except (Failure, subprocess.SubprocessError, OSError):
            helpers = set()
        for pid in helpers:
            self.signal(pid, signal.SIGTERM)
        for p in reversed(self.procs):
            p.terminate()
        for p in reversed(self.procs):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=5)
        for pid in self.bus_pids + [pid for pid in helpers if not self.ends(pid)]:
            self.signal(pid, signal.SIGTERM if pid in self.bus_pids else signal.SIGKILL)
        shutil.rmtree(self.work, ignore_errors=True)

    def ends(self, pid):
        try:
            return self.wait_for("a helper to end", lambda: not self.signal(pid, 0), tries=50)
        except Failure:
            return False

    @staticmethod
    def signal(pid, sig):
        try:
            os.kill(pid, sig)
            return True
        except ProcessLookupError:
            return False

    def private_bus(self, name):
        """A bus of the run's own at work/name: its address. Ended with the run."""
        out = subprocess.run(self.user + ["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1",
                                          f"--address=unix:path={self.work}/{name}"],
                             capture_output=True, text=True, env=self.env, timeout=10).stdout.split()
        if len(out) < 2:
            raise Failure(f"no private bus at {name}")
        self.bus_pids.append(int(out[1]))
        return out[0]

    def run(self, *argv, check=True, inner=False):
        """A command on the outer display; inner: on the program's own (XWayland's, under a nested shell)."""
        r = subprocess.run(argv, env=self.inner if inner else self.env, capture_output=True, text=True, timeout=30)
        if check and r.returncode != 0:
            raise Failure(f"{argv[0]} failed: {r.stderr.strip()}")
        return r.stdout

    def wait_for(self, what, probe, tries=100, pause=0.1):
        for _ in range(tries):
            value = probe()
            if value:
                return value
            time.sleep(pause)
        raise Failure(f"timed out waiting for {what}")

    def log_line(self, log, word, tries=300):
        path = os.path.join(self.work, log)
        return self.wait_for(f"{word} in {log}", lambda: os.path.exists(path) and next(
            (l.strip() for l in open(path, encoding="utf-8", errors="replace") if word in l), None), tries=tries)

    def logs(self):
        for name in sorted(os.listdir(self.work)) + ["runtime/" + n for n in os.listdir(self.work + "/runtime")]:
            if name.endswith(".log"):
                with open(os.path.join(self.work, name), errors="replace") as f:
                    print(f"--- {name}\n{f.read()[-1500:]}")

    # --- set-up --------------------------------------------------------------------------------
    def start(self):
        for tool in ["Xvfb", "dbus-daemon", "xdotool", "xwininfo", "xprop", "xsetroot", "import", "convert"] + \
                [h for h in self.cfg["hosts"] if h != "xfconfd"]:
            if not shutil.which(tool):
                raise Skip(f"{tool} missing")
        if "xfconfd" in self.cfg["hosts"] and not os.path.exists("/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"):
            raise Skip("xfconf missing")
        if self.user and os.getuid() != 0:
            raise Skip("needs root to run the session as another user")
        w, h = self.cfg["screen"]
        rfd, wfd = os.pipe()
        self.procs.append(subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-screen", "0", f"{w}x{h}x24", "-nolisten",
                                            "tcp", "-noreset", "-ac"], pass_fds=[wfd], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True))
        os.close(wfd)
        with os.fdopen(rfd, "rb") as r:
            number = r.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.env = {k: v for k, v in self.env.items()
                    if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR", "SESSION_MANAGER")}
        home, runtime = os.path.join(self.work, "home"), os.path.join(self.work, "runtime")
        os.makedirs(os.path.join(home, ".config"))
        os.makedirs(runtime, mode=0o700)
        self.env.update(DISPLAY=":" + number.decode(), HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_DATA_HOME=os.path.join(home, ".local", "share"), XDG_CACHE_HOME=os.path.join(home, ".cache"),
                        XDG_RUNTIME_DIR=runtime)
        self.inner = self.env
        if self.user:  # the session's user owns its home, its runtime folder and a copy of the program
            os.chmod(self.work, 0o755)
            self.app = shutil.copy(self.app, os.path.join(self.work, "kestrava"))
            self.give(home, runtime)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.private_bus("runtime/bus")
        self.run("xsetroot", "-solid", "#%02x%02x%02x" % BACKGROUND)
        data = self.env["XDG_DATA_HOME"]
        if self.cfg.get("theme"):
            # Where the package puts them: hosts that look the icon up by name find these.
            os.makedirs(os.path.join(data, "icons/hicolor/symbolic/apps"))
            for name in ["shield", "shield-slash"]:
                shutil.copy(os.path.join(self.top, f"ui/icons/{name}.svg"),
                            os.path.join(data, f"icons/hicolor/symbolic/apps/app.kestrava.linux-{name}-symbolic.svg"))
        if self.cfg.get("notray"):
            # The menu entry and the logo where the package puts them, the entry starting this build.
            os.makedirs(os.path.join(data, "applications"))
            os.makedirs(os.path.join(data, "icons/hicolor/scalable/apps"))
            with open(os.path.join(self.top, "packaging/linux/app.kestrava.linux.desktop")) as f:
                entry = f.read().replace("Exec=kestrava", f"Exec={os.path.abspath(self.app)}")
            with open(os.path.join(data, "applications/app.kestrava.linux.desktop"), "w") as f:
                f.write(entry)
            shutil.copy(os.path.join(self.top, "packaging/linux/app.kestrava.linux.svg"),
                        os.path.join(data, "icons/hicolor/scalable/apps"))
        starts = dict(openbox=self.start_openbox, xfwm4=self.start_xfce, plasmashell=self.start_plasma,
                      sway=self.start_sway, **{"gnome-shell": self.start_gnome})
        next((start for host, start in starts.items() if host in self.cfg["hosts"]), lambda: None)()
        if self.cfg["steps"][0] == "icon":
            self.wait_for("the bar's strut", lambda: self.bar()[0] is not None, tries=150)
        self.before = self.settled("0-bar-before")
        self.spawn([self.devservice, "--scenario", self.scenario, "--port", "0"], "service.log")
        origin = self.log_line("service.log", "listening on ", tries=100).split(" ", 2)[2]
        self.app_env = dict(self.inner, KESTRAVA_API_ORIGIN=origin, KESTRAVA_WEB_ORIGIN=origin,
                            KESTRAVA_VPN_BACKEND="simulated", QT_QUICK_BACKEND="software", **self.cfg.get("env", {}))
        if self.cfg["scale"] != 1:
            self.app_env["QT_SCALE_FACTOR"] = str(self.cfg["scale"])
        if self.user:
            self.start_sway_session()
        else:
            self.first = self.spawn([self.app] + self.cfg.get("args", []), "app.log", env=self.app_env)

    def wm_up(self, what, tries=100):
        self.wait_for(what, lambda: "_NET_SUPPORTING_WM_CHECK(WINDOW)" in
                      self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK", check=False), tries=tries)

    def trayer(self, tint):
        return ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                str(24 * self.cfg["scale"]), "--SetDockType", "true", "--SetPartialStrut", "true", "--tint", tint,
                "--transparent", "true", "--alpha", "0"]

    def start_openbox(self):
        self.spawn(["openbox", "--sm-disable"], "openbox.log")
        self.wm_up("openbox")
        if "xcompmgr" in self.cfg["hosts"]:
            self.spawn(["xcompmgr"], "xcompmgr.log")
        if "trayer" in self.cfg["hosts"]:
            self.spawn(self.trayer(self.cfg["tint"]), "trayer.log")

    def start_xfce(self):
        conf = os.path.join(self.env["XDG_CONFIG_HOME"], "xfce4/xfconf/xfce-perchannel-xml")
        os.makedirs(conf)
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "xfce4-panel.xml")) as f:
            panel = f.read()
        if self.cfg.get("bottom"):
            panel = panel.replace('value="p=6;x=0;y=0"', 'value="p=8;x=0;y=0"')
        if not self.cfg["dark"]:
            panel = panel.replace('name="dark-mode" type="bool" value="true"', 'name="dark-mode" type="bool" value="false"')
        with open(os.path.join(conf, "xfce4-panel.xml"), "w") as f:
            f.write(panel)
        self.spawn(["xfwm4", "--compositor=on"], "xfwm4.log")
        self.wm_up("xfwm4")
        self.spawn(["xfce4-panel"], "panel.log")

    def start_plasma(self):
        """kded, kwin and plasmashell as a KDE session starts them; a fresh home gets Plasma's default layout,
        one panel at the bottom with the system tray."""
        self.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_FULL_SESSION="true", KDE_SESSION_VERSION="5")
        self.spawn(["kded5"], "kded5.log")
        self.spawn(["kwin_x11"], "kwin.log")
        self.wm_up("kwin", tries=150)
        self.spawn(["plasmashell"], "plasmashell.log")
        self.wait_for("plasma's panel", lambda: self.bar()[0] is not None, tries=300)
        # The clock would change the bar under the screenshots that find the icon.
        self.wait_for("the clock's removal", lambda: self.run(
            "dbus-send", "--session", "--print-reply", "--dest=org.kde.plasmashell", "/PlasmaShell",
            "org.kde.PlasmaShell.evaluateScript",
            "string:var n = 0; panels().forEach(function (p) { p.widgets('org.kde.plasma.digitalclock')"
            ".forEach(function (w) { w.remove(); n++; }); }); print(n);", check=False).strip().endswith('"1"'),
            tries=100, pause=0.2)
        self.plasma_theme("breeze-dark", "BreezeDark", dark=True)

    def start_gnome(self):
        """GNOME Shell with the AppIndicator extension switched on, as a user who installed it has it."""
        if not os.path.isdir("/usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com"):
            raise Skip("the AppIndicator extension is missing")
        # The shell asks logind on the system bus at start; a private one is enough.
        self.env.update(DBUS_SYSTEM_BUS_ADDRESS=self.private_bus("sysbus"), XDG_CURRENT_DESKTOP="GNOME",
                        XDG_SESSION_TYPE="x11")
        self.run("gsettings", "set", "org.gnome.shell", "enabled-extensions",
                 "[]" if self.cfg.get("notray") else "['ubuntu-appindicators@ubuntu.com']")
        self.run("gsettings", "set", "org.gnome.shell", "welcome-dialog-last-shown-version", "999")
        sw, sh = self.cfg["screen"]
        if self.cfg.get("wayland"):
            # Nested, the shell draws its output into a window at the outer display's origin, the same size.
            self.env["XDG_SESSION_TYPE"] = "wayland"
            self.spawn(["gnome-shell", "--nested", "--wayland"], "gnome-shell.log",
                       env=dict(self.env, MUTTER_DEBUG_DUMMY_MODE_SPECS=f"{sw}x{sh}"))
            said = self.log_line("gnome-shell.log", "Using public X11 display")
            auth = self.wait_for("XWayland's key", lambda: next(
                (os.path.join(self.env["XDG_RUNTIME_DIR"], f) for f in os.listdir(self.env["XDG_RUNTIME_DIR"])
                 if f.startswith(".mutter-Xwaylandauth.")), None))
            display = said.split("Using public X11 display ", 1)[1].split(",", 1)[0].strip()
            self.inner = dict(self.env, DISPLAY=display, XAUTHORITY=auth, WAYLAND_DISPLAY="wayland-0")
        else:
            self.spawn(["gnome-shell", "--x11", "--replace"], "gnome-shell.log")
        self.wait_for("the top bar", lambda: self.bar()[0] is not None, tries=300)

        def desktop():  # the shell starts in the overview; Escape leaves it for the desktop
            self.run("xdotool", "key", "Escape")
            time.sleep(0.5)
            shot = self.shot("0-desktop")
            return shot.px(10, sh // 2) == shot.px(sw // 2, sh // 2)
        self.wait_for("the desktop", desktop, tries=30)

    @staticmethod
    def give(*folders):
        for root, dirs, files in [w for d in folders for w in os.walk(d)]:
            for p in [root] + [os.path.join(root, x) for x in dirs + files]:
                os.chown(p, 65534, 65534)

    def start_sway(self):
        os.makedirs(os.path.join(self.env["HOME"], ".config/waybar"))
        with open(os.path.join(self.env["HOME"], ".config/waybar/config"), "w") as f:
            json.dump({"layer": "top", "position": "top", "height": 26, "modules-left": ["sway/workspaces"],
                       "modules-right": ["tray", "clock"], "tray": {"icon-size": 18, "spacing": 8},
                       "clock": {"format": "{:%H:%M}"}}, f)
        with open(os.path.join(self.work, "sway.conf"), "w") as f:
            f.write("output * resolution 1920x1080 position 0,0 bg #5b7fa6 solid_color\nfocus_follows_mouse no\n")
        self.give(self.env["HOME"])
        self.spawn(["env", "WLR_BACKENDS=x11", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "sway", "-c",
                    os.path.join(self.work, "sway.conf")], "sway.log", user=True)
        sock = self.wait_for("sway", lambda: next((os.path.join(self.env["XDG_RUNTIME_DIR"], f) for f in
                                                  os.listdir(self.env["XDG_RUNTIME_DIR"]) if f.startswith("sway-ipc.")), None))
        self.swaymsg = lambda *a: subprocess.run(self.user + ["swaymsg", "-s", sock] + list(a), env=self.env,
                                                 capture_output=True, text=True, timeout=30).stdout

    def start_sway_session(self):
        """At login the program may come before the bar: it opens as a window, and its icon must reach the
        tray when the bar comes. That window put away, the icon opens the popup."""
        env = " ".join(f"{k}={self.app_env[k]}" for k in ("KESTRAVA_API_ORIGIN", "KESTRAVA_WEB_ORIGIN",
                                                           "KESTRAVA_VPN_BACKEND", "XDG_CONFIG_HOME"))
        self.swaymsg("exec", f"env {env} {self.app} > {self.work}/runtime/app.log 2>&1")
        self.log_line("runtime/app.log", "sistem tepsisi yok", tries=200)
        self.wait_for("the window without a tray", self.managed, tries=200)
        self.swaymsg("exec", f"waybar > {self.work}/runtime/waybar.log 2>&1")
        self.wait_for("the icon in waybar's tray", lambda: "StatusNotifierItem" in subprocess.run(
            self.user + ["busctl", "--user", "get-property", "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                         "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"],
            env=self.env, capture_output=True, text=True).stdout, tries=200)
        self.swaymsg('[title="Kestrava"] kill')
        self.wait_for("the window to go", lambda: not self.managed())

    def managed(self):
        """What sway manages under our name, as (type, border, title bar height): a tiled "con" would reflow
        the user's windows."""
        def walk(n):
            mine = [(n["type"], n.get("border"), n["deco_rect"]["height"])] if n.get("name") == "Kestrava" else []
            return mine + [m for c in n.get("nodes", []) + n.get("floating_nodes", []) for m in walk(c)]
        try:
            return walk(json.loads(self.swaymsg("-t", "get_tree")))
        except ValueError:
            return []

    def plasma_theme(self, desktop_theme, colours, dark):
        """Plasma's theme and colours, as its settings apply them to a running session; back once the bar
        is drawn in them."""
        self.run("plasma-apply-desktoptheme", desktop_theme)
        self.run("plasma-apply-colorscheme", colours)
        first, end = self.bar()
        self.wait_for(f"the bar in {colours}", lambda: (luminance((s := self.shot("0-theme")).px(s.w // 2, (first + end) // 2))
                                                        < 0.2) == dark, tries=50, pause=0.2)

    def bus_clients(self):
        """The processes on the private session bus, the ones it started on demand among them."""
        pids = set()
        names = self.run("dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                         "org.freedesktop.DBus.ListNames", check=False)
        for name in [w.strip('"') for w in names.split() if w.startswith('":')]:
            out = self.run("dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                           "org.freedesktop.DBus.GetConnectionUnixProcessID", f"string:{name}", check=False)
            pids.update(int(w) for w in out.split()[-1:] if w.isdigit())
        return pids - {os.getpid()}

    def workarea(self):
        out = self.run("xprop", "-root", "_NET_WORKAREA", check=False, inner=True)
        values = [int(v) for v in out.split("=", 1)[1].replace(",", " ").split()[:4]] if "=" in out else []
        return tuple(values) if len(values) == 4 else (0, 0, 0, 0)

    def bar(self):
        """The bar's rows outside the work area, (first, end); (None, None) before it has reserved its room."""
        x, y, w, h = self.workarea()
        if y > 0:
            return (0, y)
        if 0 < h < self.cfg["screen"][1]:
            return (y + h, self.cfg["screen"][1])
        return (None, None)

    def shot(self, step):
        png = os.path.join(self.artefacts, f"{self.name}-{step}.png")
        self.run("import", "-window", "root", png)
        raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], capture_output=True, timeout=30).stdout
        w, h = self.cfg["screen"]
        if len(raw) != w * h * 3:
            raise Failure(f"screenshot {png} has {len(raw)} bytes")
        return Shot(raw, w, h)

    def settled(self, step):
        """A screenshot once the screen has stopped changing (the compositor's and the bar's paint)."""
        last = [None]

        def same():
            now = self.shot(step)
            same, last[0] = last[0] is not None and now.data == last[0].data, now
            return same and now
        return self.wait_for("the screen to settle", same, tries=40, pause=0.2)

    # --- measures --------------------------------------------------------------------------------
    def find_icon(self):
        """The tray item's box: where the bar changed once the program started, then its drawn pixels."""
        bar_top, bar_bottom = self.bar()
        after = self.shot("1-bar-with-icon")
        w, rows = after.w, range(bar_top, bar_bottom)
        changed = [(x, y) for y in rows for x in range(w) if after.px(x, y) != self.before.px(x, y)]
        if not changed:
            return None
        # A host may move its other icons aside for ours (Plasma does): a run of changed columns that was
        # on the bar before, a little to one side, is one of theirs.
        columns = sorted({x for x, _ in changed})
        runs, start = [], columns[0]
        for a, b in zip(columns, columns[1:] + [None]):
            if b is None or b - a > 2:
                runs.append((start, a))
                start = b

        def was_there(x0, x1):
            return any(all(after.px(x, y) == self.before.px(x + dx, y) for y in rows for x in range(x0, x1 + 1))
                       for dx in range(-96, 97) if dx and 0 <= x0 + dx and x1 + dx < w)
        # Trays sit at the bar's right end; a clock in the middle changes too.
        ours = [(x0, x1) for x0, x1 in runs if not was_there(x0, x1)][-1:]
        if ours:
            changed = [(x, y) for x, y in changed if any(x0 <= x <= x1 for x0, x1 in ours)]
        xs, ys = [p[0] for p in changed], [p[1] for p in changed]
        return self.ink_in(after, (max(0, min(xs) - 2), max(bar_top, min(ys) - 2), min(w - 1, max(xs) + 2),
                                   min(bar_bottom - 1, max(ys) + 2)))

    def ink_in(self, shot, box, bar=None):
        """The bar's colour is what mostly surrounds the box (unless known); the icon is what differs from it."""
        cx0, cy0, cx1, cy1 = max(0, box[0]), max(0, box[1]), min(shot.w - 1, box[2]), min(shot.h - 1, box[3])
        ring = [shot.px(x, y) for x in range(cx0, cx1 + 1) for y in (cy0, cy1)] + \
               [shot.px(x, y) for y in range(cy0, cy1 + 1) for x in (cx0, cx1)]
        bar = bar or max(set(ring), key=ring.count)
        ink = [(x, y) for y in range(cy0, cy1 + 1) for x in range(cx0, cx1 + 1) if contrast(shot.px(x, y), bar) > 1.5]
        if not ink:
            return dict(bar=bar, contrast=1.0, box=None)
        best = max((shot.px(x, y) for x, y in ink), key=lambda c: contrast(c, bar))
        return dict(bar=bar, ink=best, contrast=contrast(best, bar), box=(min(x for x, _ in ink), min(y for _, y in ink),
                                                                           max(x for x, _ in ink) + 1, max(y for _, y in ink) + 1))

    def legible(self, what, probe, tries=24):
        """Waits for an icon drawn at 3:1 or more against its bar, as probe() measures it."""
        return self.wait_for(what, lambda: (i := probe()) and i.get("box") and i["contrast"] >= 3.0 and i,
                             tries=tries, pause=0.5)

    def card_of(self, geometry, composited=None):
        """The card inside the popup's window: a margin for the shadow only where a compositor blends."""
        wx, wy, ww, wh = geometry
        composited = self.cfg["composited"] if composited is None else composited
        margin = self.cfg.get("margin", 24) * self.cfg["scale"] if composited else 0
        return (wx + margin, wy + margin, wx + ww - margin, wy + wh - margin)

    def judge_frame(self, geometry, shot, composited, step):
        """The card in its window is 400 wide. No black: the card's corner pixels lie outside its rounded
        shape and show what was there before (darkened by the shadow at most where a compositor draws one);
        so does the margin below it."""
        scale = self.cfg["scale"]
        card = self.card_of(geometry, composited)
        margin = card[0] - geometry[0]
        if card[2] - card[0] != 400 * scale:
            raise Failure(f"{step}: window {geometry[2]}x{geometry[3]} does not hold a 400-wide card with margin {margin}")
        for (x, y) in [(card[0], card[3] - 1), (card[2] - 1, card[3] - 1), (card[0], card[1]), (card[2] - 1, card[1])]:
            c, behind = shot.px(x, y), self.before.px(x, y)
            if composited and luminance(c) < luminance(behind) * 0.3 or not composited and c != behind:
                raise Failure(f"{step}: corner at {(x, y)} is {c}, the desktop there is {behind}")
        bx, by = (card[0] + card[2]) // 2, card[3] + 8 * scale
        below, behind = shot.px(bx, by), self.before.px(bx, by)
        shadowed = luminance(below) < luminance(behind) * 0.9
        self.results.setdefault("shadow", shadowed)
        if not composited and below != behind:
            raise Failure(f"{step}: under the card {below}, the desktop there is {behind}: a box without a compositor")
        if composited and luminance(behind) > 0.05 and not shadowed:
            raise Failure(f"{step}: no shadow under the card: {below} over {behind}")
        return card, margin

    def compositor_running(self):
        """Whether a compositor owns the screen's _NET_WM_CM_S0 selection, as the program asks."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype, x11.XOpenDisplay.argtypes = ctypes.c_void_p, [ctypes.c_char_p]
        x11.XInternAtom.restype, x11.XInternAtom.argtypes = ctypes.c_ulong, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XGetSelectionOwner.restype, x11.XGetSelectionOwner.argtypes = ctypes.c_ulong, [ctypes.c_void_p, ctypes.c_ulong]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.env["DISPLAY"].encode())
        if not display:
            raise Failure("cannot open the display")
        try:
            return x11.XGetSelectionOwner(display, x11.XInternAtom(display, b"_NET_WM_CM_S0", 0)) != 0
        finally:
            x11.XCloseDisplay(display)

    def judge_place(self, card, step):
        """The card next to its bar: 6 below the icon under a top bar, 8 above the work area's end over a
        bottom one; 8 inside the work area's right edge (the icon is at the right end) and its far edge."""
        scale, (x, y, w, h) = self.cfg["scale"], self.workarea()
        sw, sh = self.cfg["screen"]
        edges = dict(left=card[0], top=card[1], right=sw - card[2], bottom=sh - card[3])
        self.results.setdefault("places", []).append((step, card, edges))
        tol = scale - 1  # placement is in logical pixels: at scale s an odd device edge may round by s - 1
        if abs(x + w - card[2] - INSET * scale) > tol:
            raise Failure(f"{step}: card right {card[2]}, work area right {x + w}: want {INSET * scale} inside")
        if self.bar()[0] == 0:
            # Below the icon's own box where the host embeds one (XEmbed); a StatusNotifierItem host's
            # item spans the bar, which ends where the work area starts.
            slot = self.icon_slot() if "trayer" in self.cfg["hosts"] else None
            icon_bottom = slot[3] if slot else y
            edges["gap"] = card[1] - icon_bottom
            if abs(edges["gap"] - GAP * scale) > tol:
                raise Failure(f"{step}: card top {card[1]}, icon ends at {icon_bottom}: want {GAP * scale} below")
            if card[3] > y + h - INSET * scale + tol:
                raise Failure(f"{step}: card bottom {card[3]} is past the work area's {y + h} less {INSET * scale}")
        else:
            edges["gap"] = y + h - card[3]
            if abs(edges["gap"] - INSET * scale) > tol:
                raise Failure(f"{step}: card bottom {card[3]}, bar starts at {y + h}: want {INSET * scale} above it")
            if card[1] < y + INSET * scale - tol:
                raise Failure(f"{step}: card top {card[1]} is off the work area's top {y}")

    def popup(self):
        for wid in self.run("xdotool", "search", "--onlyvisible", "--name", "^Kestrava$", check=False, inner=True).split():
            geo = {}
            for line in self.run("xwininfo", "-id", wid, check=False, inner=True).splitlines():
                key, _, value = line.strip().partition(":")
                geo[key] = value.strip()
            if geo.get("Map State") == "IsViewable" and int(geo.get("Width", 0)) > 100:
                return wid, tuple(int(geo[k]) for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        return None

    def icon_slot(self):
        """An XEmbed icon is our own small window inside the bar: its box, as X reports it."""
        for wid in self.run("xdotool", "search", "--onlyvisible", "--class", "kestrava", check=False).split():
            v = dict(l.split("=", 1) for l in self.run("xdotool", "getwindowgeometry", "--shell", wid, check=False).split()
                     if "=" in l)
            if v and int(v["WIDTH"]) <= 64 * self.cfg["scale"] and int(v["HEIGHT"]) <= 64 * self.cfg["scale"]:
                return (int(v["X"]), int(v["Y"]), int(v["X"]) + int(v["WIDTH"]), int(v["Y"]) + int(v["HEIGHT"]))
        return None

    # --- gestures --------------------------------------------------------------------------------
    def click(self, x, y, button=1, repeat=1):
        self.run("xdotool", "mousemove", str(x), str(y))
        time.sleep(0.15)  # the host sees the pointer enter before the press
        self.run("xdotool", "click", *(["--repeat", str(repeat), "--delay", "90"] if repeat > 1 else []), str(button))

    def activate(self, step="", closes=False):
        """The host's own gesture that activates the item (a double click on GNOME, whose extension shows the
        menu on a click); then the popup open (its geometry, drawn) or closed."""
        self.click(self.cx, self.cy, repeat=2 if "gnome-shell" in self.cfg["hosts"] else 1)
        return self.wait_closed(step) if closes else self.wait_open(step)

    def open_menu(self):
        """The item's menu, by the host's gesture: the right button, a click on GNOME. Back once it shows."""
        x, y = self.cx, self.cy
        if "gnome-shell" in self.cfg["hosts"]:
            # The shell draws its menus on its own stage: wait for the screen under the icon to change
            # (keeping below the pointer, which a nested shell draws into its output).
            end, before = self.bar()[1], self.shot("4-before-menu")
            area = [(px, py) for py in range(end + 16, end + 120, 4) for px in range(max(0, x - 240), min(before.w, x + 40), 4)]
            self.click(x, y)
            self.wait_for("the tray menu", lambda: (after := self.shot("4-menu")) and
                          any(after.px(px, py) != before.px(px, py) for px, py in area), tries=30)
        else:
            visible = lambda: set(self.run("xdotool", "search", "--onlyvisible", "--name", ".*", check=False).split())
            before = visible()
            self.click(x, y, button=3)
            self.wait_for("the tray menu", lambda: visible() - before, tries=30)
        self.stays(False, "the menu's gesture opened the popup", 0.5)

    def wait_open(self, step):
        """The popup shown and drawn: its card no longer shows what was there before, and its corners and the
        shadow under it have stopped changing (a compositor may fade it in)."""
        wid, geometry = self.wait_for(f"the popup ({step})", self.popup, tries=80)
        if self.cfg["steps"][0] != "icon":  # an ordinary window, judged by what X says of it
            return wid, geometry
        c, s = self.card_of(geometry), self.cfg["scale"]
        inside = [((c[0] + c[2]) // 2, (c[1] + c[3]) // 2), (c[0] + 40 * s, c[1] + 40 * s)]
        edges = [(c[0], c[1]), (c[2] - 1, c[1]), (c[0], c[3] - 1), (c[2] - 1, c[3] - 1), ((c[0] + c[2]) // 2, c[3] + 8 * s)]
        last = [None]

        def drawn():
            shot, before = self.shot("2-open"), last[0]
            last[0] = shot
            return (before and any(shot.px(*p) != self.before.px(*p) for p in inside) and
                    all(shot.px(*p) == before.px(*p) for p in edges) and shot)
        self.last = self.wait_for(f"the popup drawn ({step})", drawn, tries=40)
        return wid, geometry

    def type_sign_in(self):
        """The demo's address and password into the sign-in form, by keyboard; the e-mail field has the focus."""
        self.run("xdotool", "type", "--delay", "15", "demo@kestrava.app")
        self.run("xdotool", "key", "Tab")
        self.run("xdotool", "type", "--delay", "15", "demo1234")

    def escape(self):
        self.run("xdotool", "key", "Escape")
        self.wait_closed("Escape")

    def wait_closed(self, step):
        self.wait_for(f"the popup to close ({step})", lambda: self.popup() is None, tries=50)

    def stays(self, shown, failure, seconds=1.0):
        time.sleep(seconds)  # what should not happen has had this long to happen
        if (self.popup() is not None) != shown:
            raise Failure(failure)

    # --- the steps of a run ------------------------------------------------------------------------
    def step_icon(self):
        # The icon is drawn for the bar once the host has embedded it.
        icon = self.results["icon"] = self.legible("a legible tray icon", self.find_icon)
        if self.cfg.get("theme") and max(abs(a - b) for a, b in zip(icon["ink"], (245, 245, 245))) <= 2:
            raise Failure(f"the host drew our pixels {icon['ink']}, not the theme icon in its own colour")
        x0, y0, x1, y1 = icon["box"]
        self.cx, self.cy, self.icon_box = (x0 + x1) // 2, (y0 + y1) // 2, (x0 - 3, y0 - 3, x1 + 2, y1 + 2)
        self.off_shot = self.shot("1-icon-not-connected")

    def step_open(self):
        wid, geometry = self.activate("first activation")
        card, margin = self.judge_frame(geometry, self.last, self.cfg["composited"], "first activation")
        self.judge_place(card, "first activation")
        self.wid, self.card, self.margin = wid, card, margin
        if self.cfg.get("wayland") and not card[0] <= self.cx <= card[2]:
            raise Failure(f"the card {card} is not under the icon at x {self.cx}")

    def step_probes(self):
        # The margin and the cut corners take no input: X puts the pointer there on what lies below.
        card, margin, scale = self.card, self.margin, self.cfg["scale"]
        probes = [(card[0], card[1])]
        if margin:
            probes += [(card[0] - margin // 2, card[1] + 40 * scale), (card[0] + 40 * scale, card[3] + margin // 2)]
        for (x, y) in probes:
            self.run("xdotool", "mousemove", "--sync", str(x), str(y))
            loc = dict(l.split("=", 1) for l in self.run("xdotool", "getmouselocation", "--shell").split())
            if int(loc["WINDOW"]) == int(self.wid):
                raise Failure(f"the popup takes input at {(x, y)} outside its card")

    def step_focus(self):
        # Another window taking the focus (a browser, Alt+Tab) is no outside press. (GNOME's bar is drawn
        # on the shell's own stage: no window of its own to focus.)
        bar = next((h for h in ("trayer", "plasmashell", "xfce4-panel") if h in self.cfg["hosts"]), None)
        wins = bar and self.run("xdotool", "search", "--onlyvisible", "--class", bar, check=False).split()
        if wins:
            self.run("xdotool", "windowfocus", wins[0], check=False)
            self.stays(True, "the popup closed when another window took the focus")

    def step_outside(self):
        self.click(self.cfg["screen"][0] // 4, self.cfg["screen"][1] * 2 // 3)
        self.wait_closed("a press on the desktop")

    def step_second(self):
        # Open (again), the second activation closes it, through the margin that covers the bar. (Right
        # after a press on the icon closed it, the program takes the icon's own activation for that press.)
        if self.popup() is None:
            self.activate("again")
        self.activate("second activation", closes=True)

    def step_double(self):
        # A double-click is one open, not open-and-close.
        self.click(self.cx, self.cy, repeat=2)
        self.wait_open("double-click")
        self.stays(True, "a double-click on the icon closed it again")
        self.click(self.cx, self.cy)
        self.wait_closed("click after the double-click")

    def step_menu(self):
        # The menu (ours, or the host's from our D-Bus menu), not the popup; its first entry opens the
        # popup beside the icon the menu was opened on; Escape puts it away.
        if self.cfg.get("wayland"):
            # Its first click may also have started the extension's menu: put that away, and wait out the
            # double-click time so the next click is a click of its own.
            time.sleep(0.5)
            self.run("xdotool", "key", "Escape")
            time.sleep(0.5)
        self.open_menu()
        self.run("xdotool", "key", "Down", "Return")
        self.judge_place(self.card_of(self.wait_open("the menu's first entry")[1]), "opened from the menu")
        self.escape()

    def step_connect(self):
        """Sign in on the popup with the keyboard, connect from the tray menu: the connected shield is as
        legible and looks different."""
        scale = self.cfg["scale"]
        _, geometry = self.activate("before signing in")
        x, y = self.card_of(geometry)[:2]
        self.run("xdotool", "mousemove", str(x + 200 * scale), str(y + 200 * scale))
        self.type_sign_in()
        self.click(x + 200 * scale, y + 288 * scale)  # "Giriş yap": the wide button under the two fields
        # Signed in, the card is taller: placed anew, it still keeps to its bar and the screen.
        self.wait_for("the signed-in card", lambda: (p := self.popup()) and p[1][3] != geometry[3], tries=100)
        last = [None]

        def settled():
            now, before = self.popup(), last[0]
            last[0] = now
            return now is not None and now == before
        self.wait_for("the card to settle", settled, tries=50, pause=0.2)
        self.shot("6-signed-in")
        self.judge_place(self.card_of(last[0][1]), "signed in")
        self.activate("the icon after sign-in", closes=True)
        self.open_menu()
        self.run("xdotool", "key", "Down", "Down", "Return")
        # The simulated tunnel comes up and the icon is drawn anew, where it was.
        x0, y0, x1, y1 = self.results["icon"]["box"]

        def connected():
            shot = self.shot("7-connected")
            on = self.ink_in(shot, self.icon_box, self.results["icon"]["bar"])
            differs = sum(1 for y in range(y0, y1) for x in range(x0, x1) if shot.px(x, y) != self.off_shot.px(x, y))
            return differs >= 10 and on
        self.results["icon_on"] = self.legible("a legible connected icon unlike the one before", connected, tries=30)
        if self.popup() is not None:
            self.escape()

    def step_retint(self):
        # The tray comes back in other colours (restarted with a dark tint): the icon is drawn for it.
        old = next(p for p in self.procs if p.args[0] == "trayer")
        old.terminate()
        old.wait(timeout=10)
        self.spawn(self.trayer("0x202020"), "trayer-dark.log")
        slot = self.wait_for("the icon in the new tray", self.icon_slot)

        def dark():
            shot = self.shot("8-dark-tray")
            i = self.ink_in(shot, slot, shot.px(slot[0], slot[1]))
            return luminance(i["bar"]) < 0.05 and i
        self.results["icon_dark_tray"] = self.legible("the icon drawn for the dark tray", dark, tries=20)

    def step_retheme(self):
        # The user picks Breeze (light) while the program runs: the panel draws the icon anew in its colours.
        self.plasma_theme("breeze-light", "BreezeLight", dark=False)
        self.results["icon_light"] = self.legible("the icon in the new colours",
                                                  lambda: self.ink_in(self.shot("8-breeze"), self.icon_box), tries=20)

    def step_compositor_off(self):
        # The user turns the compositor off while the program runs: the next popup is a plain card, with
        # no black frame where the shadow was.
        if "xfwm4" in self.cfg["hosts"]:
            self.run("xfconf-query", "-c", "xfwm4", "-p", "/general/use_compositing", "-s", "false")
        else:
            self.run("dbus-send", "--session", "--print-reply", "--dest=org.kde.KWin", "/Compositor",
                     "org.kde.kwin.Compositing.suspend")
        self.wait_for("the compositor to stop", lambda: not self.compositor_running())
        self.before = self.settled("6-no-compositor-before")
        self.click(self.cx, self.cy)
        _, geometry = self.wait_open("after the compositor stopped")
        self.judge_frame(geometry, self.last, False, "after the compositor stopped")
        self.click(self.cx, self.cy)
        self.wait_closed("click after the compositor stopped")

    def step_login_start(self):
        # No tray: the login start shows nothing and says where to open it (it gives a tray host 20 s).
        said = self.log_line("app.log", "tepsisi yok")
        if "pencere açık" in said or "uygulama menüsünden" not in said:
            raise Failure(f"a login start without a tray says: {said}")
        if self.popup() is not None:
            raise Failure("a login start without a tray showed a window")
        self.launch("--show", "the menu's launch")

    def launch(self, arg, step):
        p = self.spawn([self.app] + ([arg] if arg else []), f"{step}.log", env=self.app_env)
        if p.wait(timeout=30) != 0:
            raise Failure(f"{step} ended with {p.returncode}")

    def step_window(self):
        """An ordinary window the window manager frames, whose class names the desktop entry (a dock finds
        the entry, its icon, its running dot by it) and which carries the icon itself."""
        wid, (wx, wy, ww, wh) = self.wait_open("the menu's launch")
        self.results["window"] = (wx, wy, wx + ww, wy + wh)
        if ww != 400:
            raise Failure(f"the window is {ww} wide: a margin around the card")
        frame = self.run("xprop", "-id", wid, "_NET_FRAME_EXTENTS", check=False)
        if "=" not in frame or all(v.strip() == "0" for v in frame.split("=", 1)[1].split(",")):
            raise Failure(f"the window has no frame: {frame.strip()}")
        with open(os.path.join(self.top, "packaging/linux/app.kestrava.linux.desktop")) as f:
            wanted = next((l.split("=", 1)[1].strip() for l in f if l.startswith("StartupWMClass=")), None)
        wm_class = self.run("xprop", "-id", wid, "WM_CLASS", check=False)
        classes = [c.strip().strip('"') for c in wm_class.split("=", 1)[-1].split(",")]
        if not wanted or wanted not in classes:
            raise Failure(f"window class {wm_class.strip()}, the desktop entry's StartupWMClass {wanted}")
        if "_NET_WM_ICON(CARDINAL)" not in self.run("xprop", "-id", wid, "_NET_WM_ICON", check=False):
            raise Failure("the window carries no icon")
        self.wid, self.results["wm_class"] = wid, classes

    def step_relaunch(self):
        # A press elsewhere leaves the window; its close button puts it away, the program running on, and a
        # second launch brings it back.
        self.click(1800, 1000)
        self.stays(True, "a press on the desktop closed the window")
        self.run("xdotool", "windowactivate", "--sync", self.wid, check=False)
        self.run("xdotool", "key", "--clearmodifiers", "alt+F4")
        self.wait_closed("its close button")
        self.launch(None, "second launch")
        self.wait_open("second launch")
        self.shot("2-back")
        if self.first.poll() is not None:
            raise Failure(f"the first copy is gone ({self.first.returncode}): closing the window ended it")

    def step_dash(self):
        # The overview's dash shows the program's own logo for the window (the shell matched it to the
        # entry), not a generic icon.
        sw, sh = self.cfg["screen"]
        dash = [(x, y) for y in range(sh - 120, sh - 10, 2) for x in range(sw // 2 - 300, sw // 2 + 300, 2)]

        def logo_in_dash():
            self.run("xdotool", "key", "super")
            time.sleep(1.0)  # the overview's animation
            shot = self.shot("2-overview")
            hits = sum(1 for x, y in dash if max(abs(a - b) for a, b in zip(shot.px(x, y), (0x2D, 0xD4, 0xA7))) <= 12)
            if hits < 50:
                self.run("xdotool", "key", "Escape")
                time.sleep(0.5)
            return hits >= 50 and hits
        self.results["dash"] = self.wait_for("the logo in the overview's dash", logo_in_dash, tries=6)

    def step_sway_tray(self):
        # The tray module's box in the bar (waybar's default style paints it #2980B9), the icon in it.
        tray = (0x29, 0x80, 0xB9)

        def icon():
            shot = self.shot("1-tray")
            xs = [x for x in range(shot.w) if shot.px(x, 12) == tray]
            self.cx, self.cy = (min(xs) + max(xs)) // 2 if xs else 0, 12
            return xs and self.ink_in(shot, (self.cx - 9, 4, self.cx + 9, 22), tray)
        self.results["icon"] = self.legible("a legible icon on waybar's tray", icon)

    def dark(self, step):
        """The card, if shown: the pixels darker than the bar below it (the desktop and the bar are lighter),
        one in 4x4: their count and their box's size."""
        shot = self.shot(step)
        dark = [(x, y) for y in range(40, shot.h, 4) for x in range(0, shot.w, 4) if luminance(shot.px(x, y)) < 0.02]
        xs, ys = [x for x, _ in dark] or [0], [y for _, y in dark] or [0]
        return len(dark), max(xs) - min(xs) + 4, max(ys) - min(ys) + 4

    def step_sway_popup(self):
        # A click on the icon opens the card, which sway neither tiles nor frames; a second click puts it away.
        if self.dark("2-before")[0] > 60:
            raise Failure("something dark on the desktop before the click")
        self.click(self.cx, self.cy)
        _, w, h = self.results["card"] = self.wait_for("the card", lambda: (d := self.dark("2-open"))[0] > 3000 and d,
                                                       tries=30)
        if not 390 <= w <= 410 or h > 700:
            raise Failure(f"the card is {w}x{h}")
        for kind, border, title in self.results.setdefault("sway", self.managed()):
            if kind == "con" or title != 0 or border == "normal":
                raise Failure(f"sway manages the popup as {kind}, border {border}, title bar {title} px")
        self.click(self.cx, self.cy)
        self.wait_for("the card to go", lambda: self.dark("3-closed")[0] <= 60, tries=30)

    def step_atspi(self):
        # Read and pressed as a screen reader does (atspi_check.py); the keys come from a real keyboard.
        if not os.path.exists("/usr/libexec/at-spi-bus-launcher") or subprocess.run(
                ["/usr/bin/python3", "-c", "import pyatspi"], capture_output=True).returncode:
            raise Skip("at-spi2-core or python3-pyatspi missing")

        def check(*what):
            r = subprocess.run(["/usr/bin/python3", os.path.join(self.top, "tests/ui/atspi_check.py"), *what],
                               env=self.env, capture_output=True, text=True, timeout=60)
            if r.returncode:
                raise Failure(f"atspi_check.py {' '.join(what)}: {r.stdout}{r.stderr}")
        check("signin")
        _, (x, y, w, h) = self.wait_open("the sign-in form")
        self.run("xdotool", "mousemove", str(x + w // 2), str(y + h // 2))  # the pointer's window gets the keys
        self.type_sign_in()
        check("press", "Giriş yap")
        check("main")


def main():
    if len(sys.argv) != 6:
        print(__doc__)
        return 2
    setting, app, devservice, scenario, artefacts = sys.argv[1:]
    os.makedirs(artefacts, exist_ok=True)
    d = Desktop(setting, app, devservice, scenario, artefacts)
    try:
        d.start()
        for step in d.cfg["steps"]:
            getattr(d, "step_" + step)()
        for key, value in d.results.items():
            for v in value if key == "places" else [value]:
                print(f"{setting}: {key}: {v}")
        print(f"{setting}: ok")
        return 0
    except Skip as e:
        print(f"{setting}: skipped: {e}")
        return 77
    except Failure as e:
        print(f"{setting}: FAILED: {e}")
        d.logs()
        return 1
    finally:
        d.cleanup()


if __name__ == "__main__":
    sys.exit(main())
