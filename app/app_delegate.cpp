#include "app/app_delegate.h"

#include "app/placement.h"
#include "state/app_state.h"
#include "ui/images.h"
#include "ui/panel_content.h"
#include "ui/popup_model.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_facility.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QPalette>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int quitDelayMs = 1500;
// A press on the tray icon first takes the focus from the panel; that close is the toggle.
constexpr int toggleAfterCloseMs = 400;

} // namespace

AppDelegate::AppDelegate(DefaultsStore& store, VpnFacility& facility, Options options, QObject* parent)
    : QObject(parent), m_facility(facility), m_options(options) {
    AppState::Environment env;
    env.facility = &m_facility;
    m_state = std::make_unique<AppState>(store, env);
    m_model = std::make_unique<PopupModel>(*m_state);
    QObject::connect(m_model.get(), &PopupModel::quitRequested, this, &AppDelegate::requestQuit);
    if (auto* app = QCoreApplication::instance()) app->installEventFilter(this);
}

AppDelegate::~AppDelegate() {
    if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
    // The window's items refer to the model; they go first.
    if (m_root) delete m_root;
    m_panel.reset();
}

QString AppDelegate::statusIconName(bool connected) {
    return connected ? QStringLiteral("shield") : QStringLiteral("shield-slash");
}

QIcon AppDelegate::statusIcon(bool connected) {
    // Monochrome, in the desktop's text colour, so it follows a light or a dark panel.
    const QColor color = QGuiApplication::palette().color(QPalette::WindowText);
    // Drawn once per status and colour: the tray flips between two images, and drawing an SVG at
    // six sizes costs far more than the status change itself.
    struct Cached {
        QRgb color = 0;
        QIcon icon;
    };
    static Cached cache[2];
    Cached& slot = cache[connected ? 1 : 0];
    if (!slot.icon.isNull() && slot.color == color.rgba()) return slot.icon;
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(Images::icon(statusIconName(connected), QSize(side, side), color)));
    icon.setIsMask(true);
    slot = {color.rgba(), icon};
    return icon;
}

void AppDelegate::chooseRenderer() { PanelContent::chooseRenderer(); }

void AppDelegate::launch() {
    QObject::connect(m_state.get(), &AppState::statusChanged, this, &AppDelegate::updateIcon);
    if (m_options.tray && QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = std::make_unique<QSystemTrayIcon>();
        m_tray->setToolTip(QStringLiteral("Kestrava"));
        QObject::connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
            if (r != QSystemTrayIcon::Trigger && r != QSystemTrayIcon::DoubleClick) return;
            m_pointer = QCursor::pos();
            togglePanel();
        });
        m_trayShown = true;
    } else if (m_options.tray) {
        std::fputs("Kestrava: masaüstünde sistem tepsisi yok; simge gösterilemiyor, pencere açık kalıyor.\n", stderr);
    }
    updateIcon();
    if (m_tray) m_tray->show();
    if (m_options.showAtStart || (m_options.tray && !m_trayShown && !m_options.startHidden)) showPanel();
}

void AppDelegate::updateIcon() {
    const bool connected = m_state->status() == ConnectionStatus::connected;
    const QString name = statusIconName(connected);
    if (name == m_iconName) return;
    m_iconName = name;
    if (m_tray) m_tray->setIcon(statusIcon(connected));
}

QQuickItem* AppDelegate::popupItem() const {
    return m_root ? m_root->property("popup").value<QQuickItem*>() : nullptr;
}

void AppDelegate::createPanel() {
    PanelContent::prefetch();
    m_engine = std::make_unique<QQmlEngine>();
    m_panel = PanelContent::makeWindow();
    m_panel->setTitle(QStringLiteral("Kestrava"));
    m_panel->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    QString error;
    m_root = PanelContent::create(*m_engine, *m_panel, *m_model, &error);
    if (!m_root) {
        // A broken view is a build fault; say what QML said rather than show an empty window.
        std::fprintf(stderr, "Kestrava: %s\n", qPrintable(error));
        return;
    }
    QObject::connect(m_root, SIGNAL(outsidePressed()), this, SLOT(closePanel()));
    QObject::connect(m_panel.get(), &QWindow::activeChanged, this, [this] {
        // Losing the focus is the outside click; without a tray there is no way back, so it stays.
        if (!m_panel->isActive() && m_panel->isVisible() && m_trayShown) {
            closePanel();
            m_closedByDeactivation.start();
        }
    });
}

void AppDelegate::placePanel() {
    if (!m_root) return;
    const int margin = m_root->property("margin").toInt();
    QScreen* screen = m_pointer ? QGuiApplication::screenAt(*m_pointer) : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect trayGeometry = m_tray ? m_tray->geometry() : QRect();
    const std::optional<QRect> available = screen ? std::optional<QRect>(screen->availableGeometry()) : std::nullopt;
    const QRectF anchor = Placement::anchorFor(trayGeometry, m_pointer, available.value_or(QRect()));
    QQuickItem* popup = popupItem();
    const QSize size = popup ? QSize(int(popup->width()), int(popup->height())) : m_panel->size();
    const QPoint origin = Placement::popupOrigin(anchor, size, available);
    m_panel->setPosition(origin - QPoint(margin, margin));
}

void AppDelegate::showPanel() {
    if (!m_panel) createPanel();
    if (!m_root) return;
    placePanel();
    m_panel->show();
    m_panel->raise();
    m_panel->requestActivate();
    Q_EMIT panelShown();
}

void AppDelegate::closePanel() {
    if (!m_panel || !m_panel->isVisible()) return;
    m_panel->hide();
    // Once the hide has gone out, and only if the panel is still hidden by then (a toggle may have
    // shown it again), give back what the hidden panel holds; its items and the engine stay.
    QTimer::singleShot(0, this, [this] {
        if (m_panel && !m_panel->isVisible()) PanelContent::releaseHidden();
    });
}

bool AppDelegate::panelVisible() const { return m_panel && m_panel->isVisible(); }

void AppDelegate::togglePanel() {
    if (panelVisible()) {
        closePanel();
        return;
    }
    if (m_closedByDeactivation.isValid() && m_closedByDeactivation.elapsed() < toggleAfterCloseMs) {
        m_closedByDeactivation.invalidate();
        return;
    }
    showPanel();
}

void AppDelegate::requestQuit() {
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
    QTimer::singleShot(quitDelayMs, this, &AppDelegate::exitNow);
}

void AppDelegate::exitNow() {
    // main() ends the event loop on this; the delegate itself never does, so tests can quit it.
    Q_EMIT exiting();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    // QCoreApplication::quit() (the updater's hand-off, the session) goes through the quit path too.
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        requestQuit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
