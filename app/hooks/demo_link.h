#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>

#include <memory>

class VpnFacility;

// The demo's simulated tunnel carries no traffic, so the stand-in service cannot see it the way the
// real service sees a tunnel. In the demo only (KESTRAVA_DEMO_SERVICE=1, the simulated facility, a
// loopback service) this tells the service when the tunnel is up or has gone down, so that its
// address lookup answers the exit address while the tunnel is up.
class DemoLink : public QObject {
    Q_OBJECT
public:
    // Null unless this is the demo.
    static std::unique_ptr<DemoLink> ifDemo(VpnFacility& facility, QObject* parent = nullptr);
    DemoLink(VpnFacility& facility, QUrl control, QObject* parent = nullptr);

private:
    void report();
    VpnFacility& m_facility;
    QUrl m_control;
    QNetworkAccessManager m_network;
};
