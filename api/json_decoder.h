#pragma once

#include "platform/result.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// Strict field-by-field reading of a JSON object into a record. The first mismatch is kept with
// its key path (e.g. "servers[3].load"); later reads are no-ops, so a decode function can read
// every field in order and check failed() once at the end.
class JsonDecoder {
public:
    bool failed() const { return m_error.has_value(); }
    const Error& error() const { return *m_error; }

    QString string(const QJsonObject& o, const char* key);
    std::optional<QString> optionalString(const QJsonObject& o, const char* key);
    qint64 integer(const QJsonObject& o, const char* key);
    std::optional<qint64> optionalInteger(const QJsonObject& o, const char* key);
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
            Scope scope(*this, QStringLiteral("%1[%2]").arg(QLatin1String(key)).arg(i));
            if (!items.at(i).isObject()) {
                fail(expected("nesne", items.at(i)));
                break;
            }
            out.append(decodeOne(*this, items.at(i).toObject()));
        }
        return out;
    }

    // Enters a nested key for the duration of a scope, so failures name the full path.
    class Scope {
    public:
        Scope(JsonDecoder& d, const QString& segment) : m_d(d), m_saved(d.m_path) { d.push(segment); }
        ~Scope() { m_d.m_path = m_saved; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        JsonDecoder& m_d;
        QString m_saved;
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
    void push(const QString& segment);
    template <class T, class F>
    std::optional<T> read(const QJsonObject& o, const char* key, bool required, const char* type, F convert);
    const QJsonValue* lookup(const QJsonObject& o, const char* key, QJsonValue& storage, bool required);

    QString m_path;
    std::optional<Error> m_error;
};
