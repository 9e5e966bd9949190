#pragma once

#include "vpn/strongswan/vici.h"

#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// Speaks VICI on a socket: confirms every registration, answers commands through handlers, and sends
// events to the connections registered for them.
class FakeCharon : public QObject {
    Q_OBJECT
public:
    struct Peer {
        QPointer<QLocalSocket> socket;
        vici::FrameReader reader;
        QSet<QByteArray> events;
    };
    // Returns the response, or nothing to leave the request unanswered.
    using Handler = std::function<std::optional<vici::Section>(Peer&, const vici::Section&)>;

    explicit FakeCharon(const QString& path);

    void handle(const QByteArray& command, Handler h) { m_handlers[command] = std::move(h); }
    void send(Peer& peer, const QByteArray& event, const vici::Section& message);
    void broadcast(const QByteArray& event, const vici::Section& message);
    void hangUp();
    QList<vici::Packet> requests;
    QSet<QByteArray> unknownEvents; // registrations refused as charon refuses a name it does not know
    QList<QByteArray> commandNames() const;
    const vici::Packet* last(const QByteArray& command) const;

private:
    void onRead(Peer& peer);

    QLocalServer m_server;
    std::vector<std::shared_ptr<Peer>> m_peers;
    std::map<QByteArray, Handler> m_handlers;
};

// Event bodies as charon sends them for our connection.
vici::Section ikeMessage(bool up, const QByteArray& uniqueId = "1", bool withChild = false,
                         const QByteArray& childState = "INSTALLED");
vici::Section logLine(const QByteArray& text, const QByteArray& uniqueId = "1");
// A command reply that says no.
vici::Section failure(const QByteArray& errmsg);
