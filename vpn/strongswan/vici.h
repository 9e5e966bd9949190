#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <deque>
#include <optional>
#include <vector>

// charon's control protocol (VICI). A packet is a 32-bit big-endian length, a type byte, for some types a
// name, and a message: a flat stream of typed elements forming nested sections, lists and key-values,
// every value an uninterpreted byte string.
namespace vici {

enum class PacketType : quint8 {
    CmdRequest = 0,
    CmdResponse = 1,
    CmdUnknown = 2,
    EventRegister = 3,
    EventUnregister = 4,
    EventConfirm = 5,
    EventUnknown = 6,
    Event = 7,
};

enum class ElementType : quint8 {
    SectionStart = 1,
    SectionEnd = 2,
    KeyValue = 3,
    ListStart = 4,
    ListItem = 5,
    ListEnd = 6,
};

// Why the wire or the peer failed us. The detail is in the platform's and the protocol's own words (the
// socket's error text, the command or event name, what was malformed and where); the facility makes the
// user's text from it.
struct Failure {
    enum class Kind {
        Unreachable,    // no connection, or it closed or broke
        TimedOut,       // no connection, turn or answer within the limit
        UnknownCommand, // charon does not know the command
        UnknownEvent,   // charon does not offer the event
        Malformed,      // charon sent what the wire format does not allow
        Unsendable,     // our own message does not fit the wire format
    };
    Kind kind;
    QString detail;
    bool operator==(const Failure&) const = default;
};

template <class T> using Outcome = Result<T, Failure>;

// charon refuses larger packets; a peer announcing more is out of step with us.
inline constexpr qsizetype maxPacketSize = 512 * 1024;
inline constexpr int maxDepth = 32;

// One section of a message, entries in wire order. Keys may repeat on the wire; lookups take the first.
class Section {
public:
    struct Entry;

    Section& set(const QByteArray& key, const QByteArray& value);
    Section& set(const QByteArray& key, const QString& value) { return set(key, value.toUtf8()); }
    Section& setList(const QByteArray& key, const QList<QByteArray>& items);
    // Appends a subsection and returns it for filling.
    Section& addSection(const QByteArray& key);

    std::optional<QByteArray> value(const QByteArray& key) const;
    QString text(const QByteArray& key) const { return QString::fromUtf8(value(key).value_or(QByteArray())); }
    std::optional<QList<QByteArray>> list(const QByteArray& key) const;
    const Section* section(const QByteArray& key) const;

    const std::vector<Entry>& entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.empty(); }
    bool operator==(const Section& other) const;

private:
    const Entry* find(const QByteArray& key) const;
    std::vector<Entry> m_entries;
};

struct Section::Entry {
    enum class Kind { Value, List, Section };
    Kind kind = Kind::Value;
    QByteArray key;
    QByteArray value;
    QList<QByteArray> items;
    Section section;
    bool operator==(const Entry&) const = default;
};

struct Packet {
    PacketType type = PacketType::CmdRequest;
    QByteArray name; // command or event name; empty for the types that carry none
    Section message;
};

bool typeHasName(PacketType type);

// Failures are Malformed for what we received and Unsendable for what we were asked to send.
Outcome<QByteArray> encodeMessage(const Section& message);
Outcome<Section> decodeMessage(QByteArrayView data);
// A whole frame, length prefix included.
Outcome<QByteArray> encodeFrame(const Packet& packet);
// One frame's body, without the length prefix.
Outcome<Packet> decodePacket(QByteArrayView body);

// Cuts a byte stream into frame bodies. After an error the stream is out of step and stays failed.
class FrameReader {
public:
    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // The next complete body, nothing while one is incomplete, or an error.
    Outcome<std::optional<QByteArray>> next();
    qsizetype buffered() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
    bool m_failed = false;
};

// What a command produced: its response and the events charon streamed before it (list-sa, control-log).
struct Reply {
    Section response;
    std::vector<std::pair<QByteArray, Section>> streamed;
};

// One VICI connection over the charon socket. Commands and registrations are answered in order without
// request ids, so they run one at a time here; callers queue behind each other. Every wait is bounded:
// a peer that stays silent past the limit gets the connection closed, since a late answer would be taken
// for the next request's.
class Connection : public QObject {
    Q_OBJECT
public:
    explicit Connection(QObject* parent = nullptr);
    ~Connection() override;

    QCoro::Task<Outcome<void>> open(QString socketPath, std::chrono::milliseconds limit);
    bool isOpen() const;
    void close();

    QCoro::Task<Outcome<Reply>> request(QByteArray command, Section arguments, std::chrono::milliseconds limit);
    QCoro::Task<Outcome<void>> subscribe(QByteArray event, std::chrono::milliseconds limit);

Q_SIGNALS:
    void eventReceived(const QByteArray& name, const vici::Section& message);
    // The connection ended without close() being called: charon went away or spoke out of step.
    void lost(const vici::Failure& why);
    // Wake-ups for requests waiting on this connection.
    void answered();
    void turnFreed();

private:
    struct Pending {
        Pending() {} // declared, so that clang sees it constructible inside this class
        bool isCommand = true;
        QByteArray name;
        std::optional<Outcome<Packet>> outcome;
        std::vector<std::pair<QByteArray, Section>> streamed;
    };

    QCoro::Task<Outcome<Packet>> exchange(Packet packet, bool isCommand, std::chrono::milliseconds limit,
                                          std::vector<std::pair<QByteArray, Section>>* streamed);
    void onReadyRead();
    void fail(const Failure& why);
    void drop(const Failure& why, bool announce);

    QLocalSocket* m_socket = nullptr;
    FrameReader m_reader;
    QString m_path;
    std::optional<Pending> m_pending;
    std::deque<quint64> m_queue;
    quint64 m_nextTicket = 0;
    bool m_busy = false;
};

Failure unreachable(const QString& detail);

} // namespace vici
