#include "app/tray/tray_shell.h"

#include "app/tray/placement.h"
#include "app/tray/tray_host.h"
#include "app/tray/tray_look.h"
#include "app/x11/x11_desktop.h"
#include "state/app_state.h"
#include "ui/images.h"
#include "ui/panel_content.h"
#include "ui/popup_model.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_facility.h"

#include <QCoreApplication>
#include <QCursor>
#include <QFont>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

constexpr int quitDelayMs = 1500;
// A press on the tray icon is first an outside press (or takes the focus from the panel); that
// close is the toggle, and the icon's activation that follows must not open it again.
constexpr int toggleAfterCloseMs = 400;
constexpr int settleAfterShowMs = 500;
// How far the pointer may be from that press and still be on the same icon.
constexpr int iconReach = 48;
// How long a login start waits for a tray before it says that it runs out of sight.
constexpr int trayGraceMs = 20000;

// Outside the work area of its screen: on a panel, where tray icons are.
bool inABar(const QPoint& p) {
    const QScreen* screen = QGuiApplication::screenAt(p);
    return screen && !screen->availableGeometry().contains(p);
}

} // namespace

TrayShell::TrayShell(DefaultsStore& store, VpnFacility& facility, Options options, QObject* parent)
    : QObject(parent), m_facility(facility), m_options(options) {
    AppState::Environment env;
    env.facility = &m_facility;
    m_state = std::make_unique<AppState>(store, env);
    m_model = std::make_unique<PopupModel>(*m_state);
    QObject::connect(m_model.get(), &PopupModel::quitRequested, this, &TrayShell::requestQuit);
    m_dropTimer = new QTimer(this);
    m_dropTimer->setSingleShot(true);
    QObject::connect(m_dropTimer, &QTimer::timeout, this, &TrayShell::dropHiddenPanel);
    if (auto* app = QCoreApplication::instance()) app->installEventFilter(this);
}

TrayShell::~TrayShell() {
    if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
    // The window's items refer to the model; they go first.
    dropPanel();
}

QString TrayShell::statusIconName(bool connected) {
    return connected ? QStringLiteral("shield") : QStringLiteral("shield-slash");
}

QIcon TrayShell::statusIcon(bool connected, const QColor& ink) {
    return TrayLook::icon(connected, ink.isValid() ? ink : TrayLook::inkFor(std::nullopt));
}

void TrayShell::prepareProcess() {
    PanelContent::shapeHeap();
    PanelContent::chooseRenderer();
}

void TrayShell::launch() {
    QObject::connect(m_state.get(), &AppState::statusChanged, this, &TrayShell::updateIcon);
    if (m_options.tray) {
        // On X11 a tray host that comes (back, perhaps in other colours) or a GTK desktop's theme switch.
        m_barChanges = std::make_unique<BarChangeWatcher>();
        QObject::connect(m_barChanges.get(), &BarChangeWatcher::changed, this, [this] {
            if (m_trayHost) m_trayHost->look();
            else coloursChanged();
        });
        if (TrayHost::present()) {
            showTrayIcon();
        } else {
            // At login the panel may come up after this program; the icon goes there when it does.
            m_trayHost = std::make_unique<TrayHost>();
            QObject::connect(m_trayHost.get(), &TrayHost::appeared, this, [this] {
                QTimer::singleShot(0, this, [this] {
                    if (!m_trayHost) return;
                    m_trayHost.reset();
                    showTrayIcon();
                });
            });
            if (!m_options.startHidden || m_options.showAtStart)
                std::fputs("Kestrava: masaüstünde sistem tepsisi yok; simge gösterilemiyor, pencere açık kalıyor.\n", stderr);
            else
                // A login start stays out of sight; say so only if no tray comes soon.
                QTimer::singleShot(trayGraceMs, this, [this] {
                    if (m_trayHost && !panelVisible())
                        std::fputs("Kestrava: masaüstünde sistem tepsisi yok; simge gösterilemiyor. Program arka planda "
                                   "çalışıyor; pencere için Kestrava’yı uygulama menüsünden aç.\n",
                                   stderr);
                });
        }
    }
    updateIcon();
    if (m_options.showAtStart || (m_options.tray && !m_trayShown && !m_options.startHidden)) showPanel();
}

void TrayShell::showTrayIcon() {
    m_tray = std::make_unique<QSystemTrayIcon>();
    m_tray->setToolTip(QStringLiteral("Kestrava"));
    QObject::connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        // A double-click's first press already toggled; the second must not undo it.
        if (r != QSystemTrayIcon::Trigger) return;
        m_pointer = QCursor::pos();
        // Under XWayland, X sees the pointer only over X windows: a click on the compositor's own bar
        // leaves it wherever it was last. Where the bar's room is known (GNOME tells XWayland), only
        // a point in it can be the icon's; else the card would go over a bar of unknown height.
        if (X11Desktop::xwaylandWithWindowManager() && !inABar(*m_pointer)) m_pointer.reset();
        togglePanel();
        lookAtBar();
    });
    buildTrayMenu();
    m_trayShown = true;
    // A framed window made while there was no tray becomes the popup once it is put away.
    if (m_panel && !m_panel->isVisible()) dropPanel();
    // Set on the new icon even where the status and the bar are as at launch.
    m_iconName.clear();
    lookAtBar();
    m_tray->show();
    // The host embeds the icon (and tells its place) a moment later; look at the bar again then.
    for (int ms : {300, 1500, 5000}) QTimer::singleShot(ms, this, &TrayShell::lookAtBar);
    // Plasma loads a named icon in the panel's colours once and keeps it; a new icon makes it load
    // it again in the new ones. Hosts that take pixels get them for the bar as it is now.
    QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/KGlobalSettings"), QStringLiteral("org.kde.KGlobalSettings"),
                                          QStringLiteral("notifyChange"), this, SLOT(coloursChanged()));
}

void TrayShell::dropHiddenPanel() {
    if (!m_panel || m_panel->isVisible()) return;
    // Only a popup that a new one would show as it is: what was typed or opened stays until used.
    const QQuickItem* popup = popupItem();
    if (popup && !popup->property("untouched").toBool()) return;
    // The engine's objects, the items, the images and the window's buffers go; Qt's libraries stay.
    dropPanel();
    release(true);
}

void TrayShell::release(bool dropped) {
    Q_EMIT releasing(dropped);
    // With the popup's texts gone, so go this thread's font engines (faces, shaping and glyph caches,
    // 1.1 MB); fonts still in use keep theirs, and the next open makes its own anew.
    if (dropped) QFont::cleanup();
    PanelContent::trimHeap();
    if (dropped) PanelContent::releaseFilePages();
    Q_EMIT released();
}

void TrayShell::dropPanel() {
    m_outside.reset();
    // The window's items refer to the model; they go first.
    delete m_root;
    m_root = nullptr;
    if (m_panel) {
        // Unused images stay in Qt Quick's pixmap cache until purged, and the software renderer
        // deletes a texture whose image went only at its next frame: one frame of the emptied window.
        // Without it the backdrop's bitmap (0.65 MB) outlived the popup.
        m_panel->releaseResources();
        (void)m_panel->grabWindow();
    }
    m_panel.reset();
    m_engine.reset();
}

void TrayShell::updateIcon() {
    const bool connected = m_state->status() == ConnectionStatus::connected;
    const QString name = statusIconName(connected);
    if (name == m_iconName && m_ink == m_iconInk) return;
    m_iconName = name;
    m_iconInk = m_ink;
    if (m_tray) m_tray->setIcon(statusIcon(connected, m_ink));
}

void TrayShell::lookAtBar() {
    if (!m_tray) return;
    // Hosts that take pixels get them for the bar under the icon. Read from the screen only when the
    // icon may have moved or the bar changed (start, embedding, a press), not on every status change.
    QRect iconAt = m_tray->geometry();
    // A host that tells no place: around the last press on the icon, when that was in a bar.
    if (iconAt.isEmpty() && m_pointer && inABar(*m_pointer)) iconAt = QRect(*m_pointer - QPoint(11, 11), QSize(22, 22));
    m_ink = TrayLook::inkFor(TrayLook::barColorOnScreen(iconAt));
    updateIcon();
}

void TrayShell::coloursChanged() {
    m_iconName.clear();
    updateIcon();
    // The panel repaints in its new colours a moment after the signal.
    for (int ms : {300, 1500}) QTimer::singleShot(ms, this, &TrayShell::lookAtBar);
}

void TrayShell::buildTrayMenu() {
    // For hosts that show only a menu, and for the right button everywhere.
    m_menu = std::make_unique<QMenu>();
    QAction* open = m_menu->addAction(QStringLiteral("Kestrava’yı Aç"));
    QAction* power = m_menu->addAction(QStringLiteral("Bağlan"));
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("Kestrava’yı Kapat"));
    // A menu opened by a press on the icon tells where the icon is, for hosts that tell no place.
    QObject::connect(m_menu.get(), &QMenu::aboutToShow, this, [this] {
        const QPoint at = QCursor::pos();
        m_menuOpenedAt = inABar(at) ? std::optional(at) : std::nullopt;
    });
    QObject::connect(open, &QAction::triggered, this, [this] {
        m_pointer = m_menuOpenedAt;
        showPanel();
    });
    QObject::connect(power, &QAction::triggered, m_model.get(), &PopupModel::toggle);
    QObject::connect(quit, &QAction::triggered, this, &TrayShell::requestQuit);
    auto follow = [this, power] {
        // The power button's own words and rule; signed out there is no power button to stand for.
        const bool on = m_model->connected() || m_model->connecting();
        power->setText(on ? QStringLiteral("Bağlantıyı Kes") : QStringLiteral("Bağlan"));
        power->setEnabled(m_model->signedIn() && m_model->powerEnabled());
    };
    QObject::connect(m_model.get(), &PopupModel::changed, m_menu.get(), follow);
    follow();
    m_tray->setContextMenu(m_menu.get());
}

QQuickItem* TrayShell::popupItem() const {
    return m_root ? m_root->property("popup").value<QQuickItem*>() : nullptr;
}

QSize TrayShell::cardSize() const {
    const QQuickItem* popup = popupItem();
    return popup ? QSize(int(popup->width()), int(std::ceil(popup->height()))) : m_panel->size();
}

void TrayShell::createPanel() {
    PanelContent::prefetch();
    m_engine = std::make_unique<QQmlEngine>();
    m_panel = PanelContent::makeWindow();
    m_panel->setTitle(QStringLiteral("Kestrava"));
    QString error;
    m_root = PanelContent::create(*m_engine, *m_panel, *m_model, &error);
    if (!m_root) {
        // A broken view is a build fault; say what QML said rather than show an empty window.
        std::fprintf(stderr, "Kestrava: %s\n", qPrintable(error));
        return;
    }
    // A desktop without a tray gets an ordinary window it can put away and bring back; tests that
    // drive the panel alone (no tray asked for) keep the popup.
    const bool noTrayHere = m_options.tray && !m_trayShown;
    m_look = PanelWindow::lookFor(noTrayHere ? PanelWindow::Kind::window : PanelWindow::Kind::popup);
    PanelWindow::apply(*m_panel, *m_root, m_look);
    m_panel->installEventFilter(this);
    QObject::connect(m_root, &QQuickItem::widthChanged, this, &TrayShell::shapePanel);
    QObject::connect(m_root, &QQuickItem::heightChanged, this, &TrayShell::shapePanel);
    if (m_look.kind == PanelWindow::Kind::window) return;
    QObject::connect(m_root, SIGNAL(outsidePressed()), this, SLOT(closePanel()));
    // Where presses anywhere can be seen (X11), only those close the panel: switching windows by
    // keyboard or a browser opened from a link leaves it open. Elsewhere (and on XWayland, which
    // shows us no press on a Wayland window) losing the focus is the only sign of an outside press.
    m_outside = std::make_unique<OutsidePressWatcher>();
    QObject::connect(m_outside.get(), &OutsidePressWatcher::pressed, this, &TrayShell::outsidePress);
    if (m_outside->available() && !X11Desktop::underXWayland()) return;
    QObject::connect(m_panel.get(), &QWindow::activeChanged, this, [this] {
        // Under XWayland the compositor hands the focus back and forth right after the click that
        // opened the panel (sway does); that is not the user leaving it.
        if (m_shownAt.isValid() && m_shownAt.elapsed() < settleAfterShowMs) return;
        if (!m_panel->isActive() && m_panel->isVisible()) {
            closePanel();
            m_closedByDeactivation.start();
            m_closingPressAt.reset();
        }
    });
}

void TrayShell::shapePanel() {
    if (!m_panel || !m_root || !m_panel->handle()) return;
    const int margin = m_root->property("margin").toInt();
    // Content that grows or shrinks while open (sign-in, the list, a notice) is placed anew.
    if (m_panel->isVisible()) placePanel();
    const QQuickItem* popup = popupItem();
    PanelWindow::shape(*m_panel, m_look, QRect(QPoint(margin, margin), cardSize()),
                       popup ? popup->property("cornerRadius").toInt() : 0);
}

void TrayShell::outsidePress(QPoint nativePos) {
    if (!panelVisible()) return;
    const QPoint pos = (QPointF(nativePos) / m_panel->devicePixelRatio()).toPoint();
    const int margin = m_root->property("margin").toInt();
    const QRect card(m_panel->position() + QPoint(margin, margin), cardSize());
    if (card.contains(pos)) return;
    // The icon's own activation toggles; an XEmbed icon's place is known.
    if (m_tray && m_tray->geometry().contains(pos)) return;
    closePanel();
    m_closedByDeactivation.start();
    m_closingPressAt = pos;
}

void TrayShell::placePanel() {
    // A framed window is the window manager's to place.
    if (!m_root || m_look.kind == PanelWindow::Kind::window) return;
    const int margin = m_root->property("margin").toInt();
    QScreen* screen = m_pointer ? QGuiApplication::screenAt(*m_pointer) : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect trayGeometry = m_tray ? m_tray->geometry() : QRect();
    const std::optional<QRect> available = screen ? std::optional<QRect>(screen->availableGeometry()) : std::nullopt;
    const QRectF anchor = Placement::anchorFor(trayGeometry, m_pointer, available.value_or(QRect()),
                                               screen ? screen->geometry() : QRect());
    m_root->setProperty("maxCardHeight", Placement::room(anchor, available));
    const QPoint origin = Placement::popupOrigin(anchor, cardSize(), available);
    m_panel->setPosition(origin - QPoint(margin, margin));
}

void TrayShell::showPanel() {
    m_dropTimer->stop();
    if (!m_panel) createPanel();
    if (!m_root) return;
    if (m_look.kind == PanelWindow::Kind::popup && !m_panel->isVisible()) {
        // A compositor may have come or gone since the last time.
        m_look = PanelWindow::lookFor(PanelWindow::Kind::popup);
        PanelWindow::apply(*m_panel, *m_root, m_look);
    }
    placePanel();
    m_shownAt.start();
    m_panel->show();
    shapePanel();
    if (m_outside) m_outside->setWatching(true);
    m_panel->raise();
    m_panel->requestActivate();
}

void TrayShell::closePanel() {
    if (m_outside) m_outside->setWatching(false);
    if (!m_panel || !m_panel->isVisible()) return;
    m_panel->hide();
    // Once the hide has gone out, and only if the panel is still hidden by then (a toggle may have
    // shown it again), give back what the hidden panel holds; its items and the engine stay.
    QTimer::singleShot(0, this, [this] {
        if (!m_panel || m_panel->isVisible()) return;
        // A framed window made while there was no tray gives way to the popup now that there is one.
        if (m_trayShown && m_look.kind == PanelWindow::Kind::window) {
            dropPanel();
            return;
        }
        release(false);
        if (m_options.dropHiddenAfterMs >= 0) m_dropTimer->start(m_options.dropHiddenAfterMs);
    });
}

bool TrayShell::panelVisible() const { return m_panel && m_panel->isVisible(); }

bool TrayShell::dropPending() const { return m_dropTimer->isActive(); }

void TrayShell::togglePanel() {
    if (panelVisible()) {
        closePanel();
        return;
    }
    if (m_closedByDeactivation.isValid() && m_closedByDeactivation.elapsed() < toggleAfterCloseMs) {
        m_closedByDeactivation.invalidate();
        // Only the press on the icon itself is this activation; a quick click on the icon after a
        // press elsewhere opens the panel again.
        const bool sameSpot = !m_closingPressAt || !m_pointer ||
                              (*m_closingPressAt - *m_pointer).manhattanLength() <= iconReach;
        if (sameSpot) return;
    }
    showPanel();
}

void TrayShell::requestQuit() {
    if (m_quitting) return;
    m_quitting = true;
    const bool stopping = Tunnel::isUp(m_facility.status());
    Q_EMIT quitStarted(stopping);
    if (!stopping) {
        exitNow();
        return;
    }
    VPNController::stop(m_facility);
    // Fixed: the process ends whether or not the stop has finished.
    QTimer::singleShot(quitDelayMs, this, &TrayShell::exitNow);
}

void TrayShell::exitNow() {
    // main() ends the event loop on this; the shell itself never does, so tests can quit it.
    Q_EMIT exiting();
}

bool TrayShell::eventFilter(QObject* watched, QEvent* event) {
    // QCoreApplication::quit() (the updater's hand-off, the session) goes through the quit path too.
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        requestQuit();
        return true;
    }
    // The framed window's close button puts it away; only the quit strip ends the program.
    if (m_panel && watched == m_panel.get() && event->type() == QEvent::Close) {
        event->ignore();
        closePanel();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
