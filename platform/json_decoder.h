#pragma once

#include "platform/result.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QVarLengthArray>

#include <optional>
#include <utility>

// Strict field-by-field reading of a JSON object into a record. The first mismatch is kept with
// its key path (e.g. "servers[3].load"); later reads are no-ops, so a decode function can read
// every field in order and check failed() once at the end.
class JsonDecoder {
public:
    // leadIn opens every error text: what could not be read, in the user's words.
    explicit JsonDecoder(QString leadIn = QStringLiteral("Sunucu yanıtı okunamadı")) : m_leadIn(std::move(leadIn)) {}

    bool failed() const { return m_error.has_value(); }
    const Error& error() const { return *m_error; }

    QString string(const QJsonObject& o, const char* key);
    std::optional<QString> optionalString(const QJsonObject& o, const char* key);
    qint64 integer(const QJsonObject& o, const char* key);
    std::optional<qint64> optionalInteger(const QJsonObject& o, const char* key);
    // A required integer within int's range; a wider value fails instead of being cut down.
    int int32(const QJsonObject& o, const char* key);
    bool boolean(const QJsonObject& o, const char* key);
    // Required / optional nested object; an absent optional gives nullopt.
    QJsonObject object(const QJsonObject& o, const char* key);
    std::optional<QJsonObject> optionalObject(const QJsonObject& o, const char* key);
    QJsonArray array(const QJsonObject& o, const char* key);

    // Decodes each element of a required array with decodeOne(decoder, object).
    template <class T, class F> QList<T> list(const QJsonObject& o, const char* key, F decodeOne) {
        QList<T> out;
        const QJsonArray items = array(o, key);
        if (failed()) return out;
        out.reserve(items.size());
        for (qsizetype i = 0; i < items.size() && !failed(); ++i) {
            Scope scope(*this, key, i);
            if (!items.at(i).isObject()) {
                fail(expected("nesne", items.at(i)));
                break;
            }
            out.append(decodeOne(*this, items.at(i).toObject()));
        }
        return out;
    }

    // Enters a nested key (or an element of the array under key) for the duration of a scope, so
    // failures name the full path. The path text is made only on failure: a long list stays cheap.
    class Scope {
    public:
        Scope(JsonDecoder& d, const char* key, qsizetype index = -1) : m_d(d) { d.m_segments.append({key, index}); }
        ~Scope() { m_d.m_segments.removeLast(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        JsonDecoder& m_d;
    };

    void fail(const QString& what, const char* key = nullptr);
    static QString expected(const char* type, const QJsonValue& got);

    // Whole-document entry: parses bytes that must hold a JSON object, then applies decodeObject.
    template <class T, class F> static Result<T> decodeDocument(const QByteArray& bytes, F decodeObject) {
        JsonDecoder d;
        const std::optional<QJsonObject> root = d.parseObject(bytes);
        if (!root) return d.error();
        T value = decodeObject(d, *root);
        if (d.failed()) return d.error();
        return value;
    }

    std::optional<QJsonObject> parseObject(const QByteArray& bytes);

private:
    QString path() const;
    template <class T, class F>
    std::optional<T> read(const QJsonObject& o, const char* key, bool required, const char* type, F convert);
    const QJsonValue* lookup(const QJsonObject& o, const char* key, QJsonValue& storage, bool required);

    struct Segment {
        const char* key;
        qsizetype index; // -1: the key itself, else that element of the array under it
    };
    QVarLengthArray<Segment, 8> m_segments;
    QString m_leadIn;
    std::optional<Error> m_error;
};
