#include "app/hooks/demo_link.h"

#include "platform/config.h"
#include "vpn/vpn_facility.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>

std::unique_ptr<DemoLink> DemoLink::ifDemo(VpnFacility& facility, QObject* parent) {
    if (qEnvironmentVariable("KESTRAVA_DEMO_SERVICE") != QStringLiteral("1")) return nullptr;
    if (facility.backendName() != QStringLiteral("simulated")) return nullptr;
    const QUrl origin(Config::apiOriginText());
    // Only the stand-in on this machine is told anything; a real service never is.
    if (origin.scheme() != QStringLiteral("http") || !QHostAddress(origin.host()).isLoopback()) return nullptr;
    QUrl control = origin;
    control.setPath(QStringLiteral("/__control/tunnel"));
    return std::make_unique<DemoLink>(facility, control, parent);
}

DemoLink::DemoLink(VpnFacility& facility, QUrl control, QObject* parent)
    : QObject(parent), m_facility(facility), m_control(std::move(control)) {
    QObject::connect(&facility, &VpnFacility::statusChanged, this, &DemoLink::report);
    report();
}

void DemoLink::report() {
    // The service counts the tunnel up from the connect request on, before the program sees it up;
    // so "down" is said only once the tunnel is going or gone, never while it is coming up.
    bool up = false;
    switch (m_facility.status()) {
    case VpnStatus::connected:
    case VpnStatus::reasserting:
        up = true;
        break;
    case VpnStatus::connecting:
        return;
    case VpnStatus::invalid:
    case VpnStatus::disconnected:
    case VpnStatus::disconnecting:
        break;
    }
    QNetworkRequest request(m_control);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply =
        m_network.post(request, QJsonDocument(QJsonObject{{QStringLiteral("up"), up}}).toJson(QJsonDocument::Compact));
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}
