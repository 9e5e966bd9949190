#include "support/fake_charon.h"

FakeCharon::FakeCharon(const QString& path) {
    QLocalServer::removeServer(path);
    m_server.listen(path);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = m_server.nextPendingConnection()) {
            auto peer = std::make_shared<Peer>();
            peer->socket = s;
            m_peers.push_back(peer);
            connect(s, &QLocalSocket::readyRead, this, [this, peer] { onRead(*peer); });
        }
    });
}

void FakeCharon::send(Peer& peer, const QByteArray& event, const vici::Section& message) {
    if (peer.socket && peer.events.contains(event))
        peer.socket->write(*vici::encodeFrame({vici::PacketType::Event, event, message}));
}

void FakeCharon::broadcast(const QByteArray& event, const vici::Section& message) {
    for (auto& p : m_peers) send(*p, event, message);
}

void FakeCharon::hangUp() {
    m_server.close();
    for (auto& p : m_peers)
        if (p->socket) p->socket->abort();
}

QList<QByteArray> FakeCharon::commandNames() const {
    QList<QByteArray> out;
    for (const auto& r : requests) out.append(r.name);
    return out;
}

const vici::Packet* FakeCharon::last(const QByteArray& command) const {
    for (auto it = requests.crbegin(); it != requests.crend(); ++it)
        if (it->name == command) return &*it;
    return nullptr;
}

void FakeCharon::onRead(Peer& peer) {
    peer.reader.append(peer.socket->readAll());
    while (peer.socket) {
        auto body = peer.reader.next();
        if (!body || !*body) return;
        auto packet = vici::decodePacket(**body);
        if (!packet) return;
        if (packet->type == vici::PacketType::EventRegister) {
            const bool known = !unknownEvents.contains(packet->name);
            if (known) peer.events.insert(packet->name);
            peer.socket->write(*vici::encodeFrame({known ? vici::PacketType::EventConfirm : vici::PacketType::EventUnknown, {}, {}}));
            continue;
        }
        requests.append(*packet);
        std::optional<vici::Section> reply;
        if (auto h = m_handlers.find(packet->name); h != m_handlers.end()) reply = h->second(peer, packet->message);
        else reply = vici::Section().set("success", QByteArrayLiteral("yes"));
        if (reply && peer.socket) peer.socket->write(*vici::encodeFrame({vici::PacketType::CmdResponse, {}, *reply}));
    }
}

vici::Section ikeMessage(bool up, const QByteArray& uniqueId, bool withChild, const QByteArray& childState) {
    vici::Section m;
    if (up) m.set("up", QByteArrayLiteral("yes"));
    vici::Section& ike = m.addSection("kestrava");
    ike.set("uniqueid", uniqueId);
    ike.set("state", QByteArrayLiteral("ESTABLISHED"));
    if (withChild) {
        vici::Section& c = ike.addSection("child-sas").addSection("kestrava-" + uniqueId);
        c.set("name", QByteArrayLiteral("kestrava"));
        c.set("state", childState);
    }
    return m;
}

vici::Section logLine(const QByteArray& text, const QByteArray& uniqueId) {
    vici::Section m;
    m.set("group", QByteArrayLiteral("IKE"));
    m.set("ikesa-name", QByteArrayLiteral("kestrava"));
    m.set("ikesa-uniqueid", uniqueId);
    m.set("msg", text);
    return m;
}

vici::Section failure(const QByteArray& errmsg) {
    return vici::Section().set("success", QByteArrayLiteral("no")).set("errmsg", errmsg);
}
