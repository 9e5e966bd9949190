#include "platform/json_decoder.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace {

const char* typeName(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null: return "null";
    case QJsonValue::Bool: return "mantıksal değer";
    case QJsonValue::Double: return "sayı";
    case QJsonValue::String: return "metin";
    case QJsonValue::Array: return "dizi";
    case QJsonValue::Object: return "nesne";
    case QJsonValue::Undefined: break;
    }
    return "hiçbir şey";
}

// Integers arrive either as exact 64-bit values or, when written with a fraction or exponent, as
// doubles; a double counts only when it is whole and exactly representable.
std::optional<qint64> exactInteger(const QJsonValue& v) {
    if (!v.isDouble()) return std::nullopt;
    const QVariant var = v.toVariant();
    if (var.typeId() == QMetaType::LongLong || var.typeId() == QMetaType::Int) return var.toLongLong();
    const double d = v.toDouble();
    constexpr double exactLimit = 9007199254740992.0; // 2^53
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > exactLimit) return std::nullopt;
    return qint64(d);
}

std::optional<int> exactInt(const QJsonValue& v) {
    const std::optional<qint64> wide = exactInteger(v);
    if (!wide || *wide < std::numeric_limits<int>::min() || *wide > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(*wide);
}

} // namespace

QString JsonDecoder::path() const {
    QString out;
    for (const Segment& s : m_segments) {
        if (!out.isEmpty()) out += QLatin1Char('.');
        out += QString::fromUtf8(s.key);
        if (s.index >= 0) out += QLatin1Char('[') + QString::number(s.index) + QLatin1Char(']');
    }
    return out;
}

void JsonDecoder::fail(const QString& what, const char* key) {
    if (m_error) return;
    QString path = this->path();
    if (key) path = path.isEmpty() ? QString::fromUtf8(key) : path + QLatin1Char('.') + QString::fromUtf8(key);
    const QString text = path.isEmpty() ? QStringLiteral("%1: %2").arg(m_leadIn, what)
                                        : QStringLiteral("%1: %2 — %3").arg(m_leadIn, path, what);
    m_error = Error{Error::Kind::Decode, text, 0, path};
}

QString JsonDecoder::expected(const char* type, const QJsonValue& got) {
    return QStringLiteral("%1 bekleniyordu, %2 geldi").arg(QString::fromUtf8(type), QString::fromUtf8(typeName(got)));
}

const QJsonValue* JsonDecoder::lookup(const QJsonObject& o, const char* key, QJsonValue& storage, bool required) {
    if (failed()) return nullptr;
    const auto it = o.constFind(QLatin1String(key));
    if (it == o.constEnd() || it->isNull()) {
        if (required) fail(it == o.constEnd() ? QStringLiteral("alan eksik") : QStringLiteral("alan boş (null)"), key);
        return nullptr;
    }
    storage = *it;
    return &storage;
}

template <class T, class F>
std::optional<T> JsonDecoder::read(const QJsonObject& o, const char* key, bool required, const char* type, F convert) {
    QJsonValue storage;
    const QJsonValue* v = lookup(o, key, storage, required);
    if (!v) return std::nullopt;
    std::optional<T> out = convert(*v);
    if (!out) fail(expected(type, *v), key);
    return out;
}

namespace {
std::optional<QString> asString(const QJsonValue& v) {
    if (!v.isString()) return std::nullopt;
    return v.toString();
}
std::optional<bool> asBool(const QJsonValue& v) {
    if (!v.isBool()) return std::nullopt;
    return v.toBool();
}
std::optional<QJsonObject> asObject(const QJsonValue& v) {
    if (!v.isObject()) return std::nullopt;
    return v.toObject();
}
std::optional<QJsonArray> asArray(const QJsonValue& v) {
    if (!v.isArray()) return std::nullopt;
    return v.toArray();
}
} // namespace

QString JsonDecoder::string(const QJsonObject& o, const char* key) {
    return read<QString>(o, key, true, "metin", asString).value_or(QString());
}

std::optional<QString> JsonDecoder::optionalString(const QJsonObject& o, const char* key) {
    return read<QString>(o, key, false, "metin", asString);
}

qint64 JsonDecoder::integer(const QJsonObject& o, const char* key) {
    return read<qint64>(o, key, true, "tamsayı", exactInteger).value_or(0);
}

std::optional<qint64> JsonDecoder::optionalInteger(const QJsonObject& o, const char* key) {
    return read<qint64>(o, key, false, "tamsayı", exactInteger);
}

int JsonDecoder::int32(const QJsonObject& o, const char* key) {
    return read<int>(o, key, true, "32 bitlik tamsayı", exactInt).value_or(0);
}

bool JsonDecoder::boolean(const QJsonObject& o, const char* key) {
    return read<bool>(o, key, true, "mantıksal değer", asBool).value_or(false);
}

QJsonObject JsonDecoder::object(const QJsonObject& o, const char* key) {
    return read<QJsonObject>(o, key, true, "nesne", asObject).value_or(QJsonObject());
}

std::optional<QJsonObject> JsonDecoder::optionalObject(const QJsonObject& o, const char* key) {
    return read<QJsonObject>(o, key, false, "nesne", asObject);
}

QJsonArray JsonDecoder::array(const QJsonObject& o, const char* key) {
    return read<QJsonArray>(o, key, true, "dizi", asArray).value_or(QJsonArray());
}

std::optional<QJsonObject> JsonDecoder::parseObject(const QByteArray& bytes) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError) {
        fail(QStringLiteral("geçerli JSON değil (%1. baytta)").arg(err.offset));
        return std::nullopt;
    }
    if (!doc.isObject()) {
        fail(QStringLiteral("nesne bekleniyordu"));
        return std::nullopt;
    }
    return doc.object();
}
