#include "vpn/vici_client.h"

#include "platform/signal_wait.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QtEndian>

#include <qcoro/qcorosignal.h>

namespace vici {

namespace {

Error decodeError(const QString& what, qsizetype offset) {
    return Error{Error::Kind::Decode, QStringLiteral("VPN hizmetinden bozuk yanıt geldi: %1").arg(what),
                 0, QStringLiteral("offset %1").arg(offset)};
}

Error encodeError(const QString& what) {
    return Error{Error::Kind::Serialization, QStringLiteral("VPN hizmetine gönderilemedi: %1").arg(what)};
}

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

std::optional<Error> encodeInto(QByteArray& out, const Section& section, int depth) {
    if (depth > maxDepth) return encodeError(QStringLiteral("iç içe bölüm sınırı aşıldı"));
    for (const Section::Entry& e : section.entries()) {
        const QString key = QString::fromUtf8(e.key);
        switch (e.kind) {
        case Section::Entry::Kind::Value:
            out.append(char(ElementType::KeyValue));
            if (!appendName(out, e.key)) return encodeError(QStringLiteral("anahtar çok uzun (%1)").arg(key.left(40)));
            if (!appendValue(out, e.value)) return encodeError(QStringLiteral("değer çok uzun (%1)").arg(key));
            break;
        case Section::Entry::Kind::List:
            out.append(char(ElementType::ListStart));
            if (!appendName(out, e.key)) return encodeError(QStringLiteral("anahtar çok uzun (%1)").arg(key.left(40)));
            for (const QByteArray& item : e.items) {
                out.append(char(ElementType::ListItem));
                if (!appendValue(out, item)) return encodeError(QStringLiteral("liste öğesi çok uzun (%1)").arg(key));
            }
            out.append(char(ElementType::ListEnd));
            break;
        case Section::Entry::Kind::Section:
            out.append(char(ElementType::SectionStart));
            if (!appendName(out, e.key)) return encodeError(QStringLiteral("anahtar çok uzun (%1)").arg(key.left(40)));
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

Result<QByteArray> encodeMessage(const Section& message) {
    QByteArray out;
    if (auto err = encodeInto(out, message, 1)) return *err;
    return out;
}

Result<Section> decodeMessage(QByteArrayView data) {
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
            return decodeError(QStringLiteral("liste kapanmadan başka öğe"), at);
        QByteArray name, value;
        switch (ElementType(type)) {
        case ElementType::SectionStart: {
            if (!readName(name)) return decodeError(QStringLiteral("bölüm adı eksik"), at);
            if (int(stack.size()) >= maxDepth) return decodeError(QStringLiteral("bölümler çok derin"), at);
            stack.push_back(&stack.back()->addSection(name));
            break;
        }
        case ElementType::SectionEnd:
            if (stack.size() == 1) return decodeError(QStringLiteral("açılmamış bölüm kapatıldı"), at);
            stack.pop_back();
            break;
        case ElementType::KeyValue:
            if (!readName(name)) return decodeError(QStringLiteral("anahtar eksik"), at);
            if (!readValue(value)) return decodeError(QStringLiteral("değer eksik"), at);
            stack.back()->set(name, value);
            break;
        case ElementType::ListStart: {
            if (!readName(name)) return decodeError(QStringLiteral("liste adı eksik"), at);
            stack.back()->setList(name, {});
            // The entry stays put: nothing is added to this section until the list ends.
            openList = const_cast<Section::Entry*>(&stack.back()->entries().back());
            break;
        }
        case ElementType::ListItem:
            if (!openList) return decodeError(QStringLiteral("liste dışında liste öğesi"), at);
            if (!readValue(value)) return decodeError(QStringLiteral("liste öğesi eksik"), at);
            openList->items.append(value);
            break;
        case ElementType::ListEnd:
            if (!openList) return decodeError(QStringLiteral("açılmamış liste kapatıldı"), at);
            openList = nullptr;
            break;
        default:
            return decodeError(QStringLiteral("bilinmeyen öğe türü %1").arg(type), at);
        }
    }
    if (openList) return decodeError(QStringLiteral("liste kapanmadı"), n);
    if (stack.size() != 1) return decodeError(QStringLiteral("bölüm kapanmadı"), n);
    return root;
}

Result<QByteArray> encodeFrame(const Packet& packet) {
    QByteArray body;
    body.append(char(packet.type));
    if (typeHasName(packet.type) && !appendName(body, packet.name))
        return encodeError(QStringLiteral("paket adı çok uzun"));
    auto message = encodeMessage(packet.message);
    if (!message) return message.error();
    body.append(*message);
    if (body.size() > maxPacketSize) return encodeError(QStringLiteral("paket çok büyük (%1 bayt)").arg(body.size()));
    const quint32 len = qToBigEndian<quint32>(quint32(body.size()));
    return QByteArray(reinterpret_cast<const char*>(&len), 4) + body;
}

Result<Packet> decodePacket(QByteArrayView body) {
    if (body.isEmpty()) return decodeError(QStringLiteral("boş paket"), 0);
    const quint8 type = quint8(body[0]);
    if (type > quint8(PacketType::Event)) return decodeError(QStringLiteral("bilinmeyen paket türü %1").arg(type), 0);
    Packet packet;
    packet.type = PacketType(type);
    qsizetype i = 1;
    if (typeHasName(packet.type)) {
        if (body.size() < 2) return decodeError(QStringLiteral("paket adı eksik"), 1);
        const qsizetype len = quint8(body[1]);
        if (body.size() - 2 < len) return decodeError(QStringLiteral("paket adı eksik"), 1);
        packet.name = body.sliced(2, len).toByteArray();
        i = 2 + len;
    }
    auto message = decodeMessage(body.sliced(i));
    if (!message) {
        Error err = message.error();
        err.detail = QStringLiteral("%1 after header of %2 bytes").arg(err.detail).arg(i);
        return err;
    }
    packet.message = std::move(*message);
    return packet;
}

Result<std::optional<QByteArray>> FrameReader::next() {
    if (m_failed) return decodeError(QStringLiteral("akış bozuk"), 0);
    if (m_buffer.size() < 4) return std::optional<QByteArray>();
    const quint32 len = qFromBigEndian<quint32>(m_buffer.constData());
    if (len == 0 || len > quint32(maxPacketSize)) {
        m_failed = true;
        m_buffer.clear();
        return decodeError(QStringLiteral("geçersiz paket uzunluğu %1").arg(len), 0);
    }
    if (m_buffer.size() - 4 < qsizetype(len)) return std::optional<QByteArray>();
    QByteArray body = m_buffer.mid(4, len);
    m_buffer.remove(0, 4 + len);
    return std::optional<QByteArray>(std::move(body));
}

Error transportError(const QString& what) {
    return Error{Error::Kind::Transport, QStringLiteral("VPN hizmetine (charon) ulaşılamadı: %1").arg(what)};
}

Connection::Connection(QObject* parent) : QObject(parent) {}

Connection::~Connection() {
    // Waiters must not be resumed from inside the destructor.
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

bool Connection::isOpen() const { return m_socket && m_socket->state() == QLocalSocket::ConnectedState; }

void Connection::close() {
    if (!m_socket) return;
    QLocalSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_reader = FrameReader();
    if (m_pending && !m_pending->outcome) {
        m_pending->outcome = Result<Packet>(transportError(QStringLiteral("bağlantı kapatıldı")));
        Q_EMIT answered();
    }
}

void Connection::fail(const QString& reason) {
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
        m_pending->outcome = Result<Packet>(transportError(reason));
        Q_EMIT answered();
    }
    if (wasOpen) Q_EMIT lost(reason);
}

QCoro::Task<Result<void>> Connection::open(QString socketPath, std::chrono::milliseconds limit) {
    close();
    m_path = socketPath;
    auto* socket = new QLocalSocket(this);
    m_socket = socket;
    QPointer<QLocalSocket> guard(socket);
    connect(socket, &QLocalSocket::readyRead, this, &Connection::onReadyRead);
    socket->connectToServer(socketPath);
    if (socket->state() == QLocalSocket::ConnectingState) {
        co_await nextEmission(socket, &QLocalSocket::stateChanged, limit);
        if (!guard) co_return transportError(QStringLiteral("bağlantı kapatıldı (%1)").arg(socketPath));
    }
    if (m_socket != socket || socket->state() != QLocalSocket::ConnectedState) {
        const QString why = socket->state() == QLocalSocket::ConnectingState
            ? QStringLiteral("%1 ms içinde bağlanılamadı").arg(limit.count())
            : socket->errorString();
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        if (m_socket == socket) m_socket = nullptr;
        co_return transportError(QStringLiteral("%1 (%2)").arg(why, socketPath));
    }
    connect(socket, &QLocalSocket::disconnected, this,
            [this] { fail(QStringLiteral("VPN hizmeti bağlantıyı kapattı")); });
    connect(socket, &QLocalSocket::errorOccurred, this, [this, socket](QLocalSocket::LocalSocketError) {
        if (m_socket == socket) fail(socket->errorString());
    });
    // Bytes that came with the connection are not announced again.
    if (socket->bytesAvailable() > 0) onReadyRead();
    co_return Result<void>();
}

void Connection::onReadyRead() {
    if (!m_socket) return;
    m_reader.append(m_socket->readAll());
    while (m_socket) {
        auto frame = m_reader.next();
        if (!frame) {
            fail(frame.error().message);
            return;
        }
        if (!*frame) return;
        auto packet = decodePacket(**frame);
        if (!packet) {
            fail(packet.error().message);
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
                fail(QStringLiteral("beklenmeyen yanıt"));
                return;
            }
            m_pending->outcome = std::move(packet);
            Q_EMIT answered();
            break;
        }
        default:
            fail(QStringLiteral("beklenmeyen paket türü %1").arg(int(packet->type)));
            return;
        }
    }
}

QCoro::Task<Result<Packet>> Connection::exchange(Packet packet, bool isCommand, std::chrono::milliseconds limit,
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
            co_return transportError(QStringLiteral("%1 ms içinde sıra gelmedi").arg(limit.count()));
        }
        co_await nextEmission(this, &Connection::turnFreed, std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    m_queue.pop_front();

    if (!isOpen()) {
        Q_EMIT turnFreed();
        co_return transportError(QStringLiteral("bağlantı açık değil"));
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
            fail(QStringLiteral("%1 komutuna %2 ms içinde yanıt gelmedi")
                     .arg(QString::fromUtf8(packet.name))
                     .arg(limit.count()));
            break;
        }
        co_await nextEmission(this, &Connection::answered, std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    Result<Packet> outcome = std::move(*m_pending->outcome);
    if (streamed) *streamed = std::move(m_pending->streamed);
    m_pending.reset();
    m_busy = false;
    Q_EMIT turnFreed();
    co_return outcome;
}

QCoro::Task<Result<Reply>> Connection::request(QByteArray command, Section arguments, std::chrono::milliseconds limit) {
    Reply reply;
    // Named, not a temporary in the await: g++ 12 destroys aggregate temporaries there twice.
    Packet packet{PacketType::CmdRequest, command, std::move(arguments)};
    auto outcome = co_await exchange(std::move(packet), true, limit, &reply.streamed);
    if (!outcome) co_return outcome.error();
    if (outcome->type == PacketType::CmdUnknown)
        co_return Error{Error::Kind::Rejected,
                        QStringLiteral("VPN hizmeti %1 komutunu tanımıyor").arg(QString::fromUtf8(command)), 1};
    reply.response = std::move(outcome->message);
    co_return reply;
}

QCoro::Task<Result<void>> Connection::subscribe(QByteArray event, std::chrono::milliseconds limit) {
    Packet packet{PacketType::EventRegister, event, {}};
    auto outcome = co_await exchange(std::move(packet), false, limit, nullptr);
    if (!outcome) co_return outcome.error();
    if (outcome->type == PacketType::EventUnknown)
        co_return Error{Error::Kind::Rejected,
                        QStringLiteral("VPN hizmeti %1 olayını tanımıyor").arg(QString::fromUtf8(event)), 1};
    co_return Result<void>();
}

} // namespace vici
