#include "vpn/strongswan/vici.h"

#include "platform/signal_wait.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QtEndian>

#include <qcoro/qcorosignal.h>

namespace vici {

namespace {

Failure malformed(const char* what, qsizetype offset) {
    return Failure{Failure::Kind::Malformed, QStringLiteral("%1 at offset %2").arg(QLatin1String(what)).arg(offset)};
}

Failure unsendable(const QString& what) { return Failure{Failure::Kind::Unsendable, what}; }

bool appendName(QByteArray& out, const QByteArray& name) {
    if (name.size() > 255) return false;
    out.append(char(name.size()));
    out.append(name);
    return true;
}

bool appendValue(QByteArray& out, const QByteArray& value) {
    if (value.size() > 0xffff) return false;
    const quint16 len = qToBigEndian<quint16>(quint16(value.size()));
    out.append(reinterpret_cast<const char*>(&len), 2);
    out.append(value);
    return true;
}

std::optional<Failure> encodeInto(QByteArray& out, const Section& section, int depth) {
    if (depth > maxDepth) return unsendable(QStringLiteral("sections nested too deep"));
    for (const Section::Entry& e : section.entries()) {
        const QString key = QString::fromUtf8(e.key);
        switch (e.kind) {
        case Section::Entry::Kind::Value:
            out.append(char(ElementType::KeyValue));
            if (!appendName(out, e.key)) return unsendable(QStringLiteral("key too long (%1)").arg(key.left(40)));
            if (!appendValue(out, e.value)) return unsendable(QStringLiteral("value too long (%1)").arg(key));
            break;
        case Section::Entry::Kind::List:
            out.append(char(ElementType::ListStart));
            if (!appendName(out, e.key)) return unsendable(QStringLiteral("key too long (%1)").arg(key.left(40)));
            for (const QByteArray& item : e.items) {
                out.append(char(ElementType::ListItem));
                if (!appendValue(out, item)) return unsendable(QStringLiteral("list item too long (%1)").arg(key));
            }
            out.append(char(ElementType::ListEnd));
            break;
        case Section::Entry::Kind::Section:
            out.append(char(ElementType::SectionStart));
            if (!appendName(out, e.key)) return unsendable(QStringLiteral("key too long (%1)").arg(key.left(40)));
            if (auto err = encodeInto(out, e.section, depth + 1)) return err;
            out.append(char(ElementType::SectionEnd));
            break;
        }
    }
    return std::nullopt;
}

} // namespace

Section& Section::set(const QByteArray& key, const QByteArray& value) {
    Entry e;
    e.kind = Entry::Kind::Value;
    e.key = key;
    e.value = value;
    m_entries.push_back(std::move(e));
    return *this;
}

Section& Section::setList(const QByteArray& key, const QList<QByteArray>& items) {
    Entry e;
    e.kind = Entry::Kind::List;
    e.key = key;
    e.items = items;
    m_entries.push_back(std::move(e));
    return *this;
}

Section& Section::addSection(const QByteArray& key) {
    Entry e;
    e.kind = Entry::Kind::Section;
    e.key = key;
    m_entries.push_back(std::move(e));
    return m_entries.back().section;
}

const Section::Entry* Section::find(const QByteArray& key) const {
    for (const Entry& e : m_entries)
        if (e.key == key) return &e;
    return nullptr;
}

std::optional<QByteArray> Section::value(const QByteArray& key) const {
    const Entry* e = find(key);
    if (!e || e->kind != Entry::Kind::Value) return std::nullopt;
    return e->value;
}

std::optional<QList<QByteArray>> Section::list(const QByteArray& key) const {
    const Entry* e = find(key);
    if (!e || e->kind != Entry::Kind::List) return std::nullopt;
    return e->items;
}

const Section* Section::section(const QByteArray& key) const {
    const Entry* e = find(key);
    if (!e || e->kind != Entry::Kind::Section) return nullptr;
    return &e->section;
}

bool Section::operator==(const Section& other) const { return m_entries == other.m_entries; }

bool typeHasName(PacketType type) {
    return type == PacketType::CmdRequest || type == PacketType::EventRegister
        || type == PacketType::EventUnregister || type == PacketType::Event;
}

Outcome<QByteArray> encodeMessage(const Section& message) {
    QByteArray out;
    if (auto err = encodeInto(out, message, 1)) return *err;
    return out;
}

Outcome<Section> decodeMessage(QByteArrayView data) {
    Section root;
    std::vector<Section*> stack{&root};
    Section::Entry* openList = nullptr;
    qsizetype i = 0;
    const qsizetype n = data.size();
    auto readName = [&](QByteArray& name) {
        if (i >= n) return false;
        const qsizetype len = quint8(data[i]);
        if (n - i - 1 < len) return false;
        name = data.sliced(i + 1, len).toByteArray();
        i += 1 + len;
        return true;
    };
    auto readValue = [&](QByteArray& value) {
        if (n - i < 2) return false;
        const qsizetype len = qFromBigEndian<quint16>(data.data() + i);
        if (n - i - 2 < len) return false;
        value = data.sliced(i + 2, len).toByteArray();
        i += 2 + len;
        return true;
    };

    while (i < n) {
        const qsizetype at = i;
        const quint8 type = quint8(data[i++]);
        if (openList && type != quint8(ElementType::ListItem) && type != quint8(ElementType::ListEnd))
            return malformed("element inside an open list", at);
        QByteArray name, value;
        switch (ElementType(type)) {
        case ElementType::SectionStart: {
            if (!readName(name)) return malformed("section name missing", at);
            if (int(stack.size()) >= maxDepth) return malformed("sections nested too deep", at);
            stack.push_back(&stack.back()->addSection(name));
            break;
        }
        case ElementType::SectionEnd:
            if (stack.size() == 1) return malformed("end of a section never opened", at);
            stack.pop_back();
            break;
        case ElementType::KeyValue:
            if (!readName(name)) return malformed("key missing", at);
            if (!readValue(value)) return malformed("value missing", at);
            stack.back()->set(name, value);
            break;
        case ElementType::ListStart: {
            if (!readName(name)) return malformed("list name missing", at);
            stack.back()->setList(name, {});
            // The entry stays put: nothing is added to this section until the list ends.
            openList = const_cast<Section::Entry*>(&stack.back()->entries().back());
            break;
        }
        case ElementType::ListItem:
            if (!openList) return malformed("list item outside a list", at);
            if (!readValue(value)) return malformed("list item missing", at);
            openList->items.append(value);
            break;
        case ElementType::ListEnd:
            if (!openList) return malformed("end of a list never opened", at);
            openList = nullptr;
            break;
        default:
            return malformed("unknown element type", at);
        }
    }
    if (openList) return malformed("list not closed", n);
    if (stack.size() != 1) return malformed("section not closed", n);
    return root;
}

Outcome<QByteArray> encodeFrame(const Packet& packet) {
    QByteArray body;
    body.append(char(packet.type));
    if (typeHasName(packet.type) && !appendName(body, packet.name))
        return unsendable(QStringLiteral("packet name too long"));
    auto message = encodeMessage(packet.message);
    if (!message) return message.error();
    body.append(*message);
    if (body.size() > maxPacketSize) return unsendable(QStringLiteral("packet too large (%1 bytes)").arg(body.size()));
    const quint32 len = qToBigEndian<quint32>(quint32(body.size()));
    return QByteArray(reinterpret_cast<const char*>(&len), 4) + body;
}

Outcome<Packet> decodePacket(QByteArrayView body) {
    if (body.isEmpty()) return malformed("empty packet", 0);
    const quint8 type = quint8(body[0]);
    if (type > quint8(PacketType::Event)) return malformed("unknown packet type", 0);
    Packet packet;
    packet.type = PacketType(type);
    qsizetype i = 1;
    if (typeHasName(packet.type)) {
        if (body.size() < 2) return malformed("packet name missing", 1);
        const qsizetype len = quint8(body[1]);
        if (body.size() - 2 < len) return malformed("packet name missing", 1);
        packet.name = body.sliced(2, len).toByteArray();
        i = 2 + len;
    }
    auto message = decodeMessage(body.sliced(i));
    if (!message) {
        Failure why = message.error();
        why.detail += QStringLiteral(" after a header of %1 bytes").arg(i);
        return why;
    }
    packet.message = std::move(*message);
    return packet;
}

Outcome<std::optional<QByteArray>> FrameReader::next() {
    if (m_failed) return malformed("stream out of step", 0);
    if (m_buffer.size() < 4) return std::optional<QByteArray>();
    const quint32 len = qFromBigEndian<quint32>(m_buffer.constData());
    if (len == 0 || len > quint32(maxPacketSize)) {
        m_failed = true;
        m_buffer.clear();
        return Failure{Failure::Kind::Malformed, QStringLiteral("packet length %1").arg(len)};
    }
    if (m_buffer.size() - 4 < qsizetype(len)) return std::optional<QByteArray>();
    QByteArray body = m_buffer.mid(4, len);
    m_buffer.remove(0, 4 + len);
    return std::optional<QByteArray>(std::move(body));
}

Failure unreachable(const QString& detail) { return Failure{Failure::Kind::Unreachable, detail}; }

Connection::Connection(QObject* parent) : QObject(parent) {}

Connection::~Connection() {
    // Waiters must not be resumed from inside the destructor.
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

bool Connection::isOpen() const { return m_socket && m_socket->state() == QLocalSocket::ConnectedState; }

void Connection::close() { drop(unreachable(QStringLiteral("connection closed")), false); }

void Connection::fail(const Failure& why) { drop(why, true); }

void Connection::drop(const Failure& why, bool announce) {
    const bool wasOpen = m_socket != nullptr;
    if (m_socket) {
        QLocalSocket* socket = m_socket;
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_reader = FrameReader();
    if (m_pending && !m_pending->outcome) {
        m_pending->outcome = Outcome<Packet>(why);
        Q_EMIT answered();
    }
    if (announce && wasOpen) Q_EMIT lost(why);
}

QCoro::Task<Outcome<void>> Connection::open(QString socketPath, std::chrono::milliseconds limit) {
    close();
    m_path = socketPath;
    auto* socket = new QLocalSocket(this);
    m_socket = socket;
    QPointer<QLocalSocket> guard(socket);
    connect(socket, &QLocalSocket::readyRead, this, &Connection::onReadyRead);
    socket->connectToServer(socketPath);
    if (socket->state() == QLocalSocket::ConnectingState) {
        co_await nextEmission(socket, &QLocalSocket::stateChanged, limit);
        if (!guard) co_return unreachable(QStringLiteral("connection closed (%1)").arg(socketPath));
    }
    if (m_socket != socket || socket->state() != QLocalSocket::ConnectedState) {
        const Failure why = socket->state() == QLocalSocket::ConnectingState
            ? Failure{Failure::Kind::TimedOut,
                      QStringLiteral("no connection within %1 ms (%2)").arg(limit.count()).arg(socketPath)}
            : unreachable(QStringLiteral("%1 (%2)").arg(socket->errorString(), socketPath));
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        if (m_socket == socket) m_socket = nullptr;
        co_return why;
    }
    connect(socket, &QLocalSocket::disconnected, this,
            [this] { fail(unreachable(QStringLiteral("charon closed the connection"))); });
    connect(socket, &QLocalSocket::errorOccurred, this, [this, socket](QLocalSocket::LocalSocketError) {
        if (m_socket == socket) fail(unreachable(socket->errorString()));
    });
    // Bytes that came with the connection are not announced again.
    if (socket->bytesAvailable() > 0) onReadyRead();
    co_return Outcome<void>();
}

void Connection::onReadyRead() {
    if (!m_socket) return;
    m_reader.append(m_socket->readAll());
    while (m_socket) {
        auto frame = m_reader.next();
        if (!frame) {
            fail(frame.error());
            return;
        }
        if (!*frame) return;
        auto packet = decodePacket(**frame);
        if (!packet) {
            fail(packet.error());
            return;
        }
        switch (packet->type) {
        case PacketType::Event:
            if (m_pending && !m_pending->outcome) m_pending->streamed.emplace_back(packet->name, packet->message);
            Q_EMIT eventReceived(packet->name, packet->message);
            break;
        case PacketType::CmdResponse:
        case PacketType::CmdUnknown:
        case PacketType::EventConfirm:
        case PacketType::EventUnknown: {
            const bool isCommandReply = packet->type == PacketType::CmdResponse || packet->type == PacketType::CmdUnknown;
            if (!m_pending || m_pending->outcome || m_pending->isCommand != isCommandReply) {
                fail(Failure{Failure::Kind::Malformed, QStringLiteral("unexpected reply")});
                return;
            }
            m_pending->outcome = std::move(packet);
            Q_EMIT answered();
            break;
        }
        default:
            fail(Failure{Failure::Kind::Malformed, QStringLiteral("unexpected packet type %1").arg(int(packet->type))});
            return;
        }
    }
}

QCoro::Task<Outcome<Packet>> Connection::exchange(Packet packet, bool isCommand, std::chrono::milliseconds limit,
                                                  std::vector<std::pair<QByteArray, Section>>* streamed) {
    const QDeadlineTimer deadline(limit);
    auto frame = encodeFrame(packet);
    if (!frame) co_return frame.error();

    const quint64 ticket = ++m_nextTicket;
    m_queue.push_back(ticket);
    while (m_busy || m_queue.front() != ticket) {
        const auto left = deadline.remainingTimeAsDuration();
        if (left.count() <= 0) {
            std::erase(m_queue, ticket);
            Q_EMIT turnFreed();
            co_return Failure{Failure::Kind::TimedOut,
                              QStringLiteral("no turn for %1 within %2 ms").arg(QString::fromUtf8(packet.name)).arg(limit.count())};
        }
        co_await nextEmission(this, &Connection::turnFreed, std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    m_queue.pop_front();

    if (!isOpen()) {
        Q_EMIT turnFreed();
        co_return unreachable(QStringLiteral("not connected"));
    }
    m_busy = true;
    m_pending.emplace();
    m_pending->isCommand = isCommand;
    m_pending->name = packet.name;
    m_socket->write(*frame);
    frame->fill('\0'); // may hold a secret

    while (!m_pending->outcome) {
        const auto left = deadline.remainingTimeAsDuration();
        if (left.count() <= 0) {
            fail(Failure{Failure::Kind::TimedOut, QStringLiteral("no answer to %1 within %2 ms")
                                                      .arg(QString::fromUtf8(packet.name))
                                                      .arg(limit.count())});
            break;
        }
        co_await nextEmission(this, &Connection::answered, std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    Outcome<Packet> outcome = std::move(*m_pending->outcome);
    if (streamed) *streamed = std::move(m_pending->streamed);
    m_pending.reset();
    m_busy = false;
    Q_EMIT turnFreed();
    co_return outcome;
}

QCoro::Task<Outcome<Reply>> Connection::request(QByteArray command, Section arguments, std::chrono::milliseconds limit) {
    Reply reply;
    // Named, not a temporary in the await: g++ 12 destroys aggregate temporaries there twice.
    Packet packet{PacketType::CmdRequest, command, std::move(arguments)};
    auto outcome = co_await exchange(std::move(packet), true, limit, &reply.streamed);
    if (!outcome) co_return outcome.error();
    if (outcome->type == PacketType::CmdUnknown) co_return Failure{Failure::Kind::UnknownCommand, QString::fromUtf8(command)};
    reply.response = std::move(outcome->message);
    co_return reply;
}

QCoro::Task<Outcome<void>> Connection::subscribe(QByteArray event, std::chrono::milliseconds limit) {
    Packet packet{PacketType::EventRegister, event, {}};
    auto outcome = co_await exchange(std::move(packet), false, limit, nullptr);
    if (!outcome) co_return outcome.error();
    if (outcome->type == PacketType::EventUnknown) co_return Failure{Failure::Kind::UnknownEvent, QString::fromUtf8(event)};
    co_return Outcome<void>();
}

} // namespace vici
