#include "platform/json_decoder.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// Integers arrive as exact 64-bit values (parseObject sees to that for a reply's text); a double
// counts only when it is whole and exactly representable.
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

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The exact value of a number's text when it is a whole number within 64 bits, however it is
// written: 12, 12.0 and 1.2e1 alike.
std::optional<qint64> wholeValue(QByteArrayView t) {
    qsizetype i = 0;
    const bool negative = i < t.size() && t[i] == '-';
    if (negative) ++i;
    QByteArray digits; // significant digits: value = digits × 10^exponent
    qint64 exponent = 0;
    for (; i < t.size() && isDigit(t[i]); ++i)
        if (!digits.isEmpty() || t[i] != '0') digits.append(t[i]);
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && isDigit(t[i]); ++i) {
            if (!digits.isEmpty() || t[i] != '0') digits.append(t[i]);
            --exponent;
        }
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        const bool down = i < t.size() && t[i] == '-';
        if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
        qint64 e = 0;
        for (; i < t.size() && isDigit(t[i]); ++i)
            if (e < 1'000'000'000) e = e * 10 + (t[i] - '0');
        exponent += down ? -e : e;
    }
    while (!digits.isEmpty() && digits.back() == '0') {
        digits.chop(1);
        ++exponent;
    }
    if (digits.isEmpty()) return 0;
    if (exponent < 0 || digits.size() + exponent > 19) return std::nullopt;
    quint64 magnitude = 0; // at most 19 digits: fits
    for (const char c : std::as_const(digits))
        magnitude = magnitude * 10 + quint64(c - '0');
    for (qint64 k = 0; k < exponent; ++k)
        magnitude *= 10;
    constexpr quint64 limit = quint64(1) << 63;
    if (negative) {
        if (magnitude > limit) return std::nullopt;
        return magnitude == limit ? std::numeric_limits<qint64>::min() : -qint64(magnitude);
    }
    if (magnitude >= limit) return std::nullopt;
    return qint64(magnitude);
}

// What Qt's parser keeps for a number: an integer when the text is a plain one that fits, else a
// double, which it keeps as an integer in turn when whole and within 64 bits.
struct ParsedNumber {
    bool valid = false; // false: Qt refuses the text
    std::optional<qint64> integer;
};

ParsedNumber parsedByQt(QByteArrayView t) {
    const QByteArray text = QByteArray::fromRawData(t.data(), t.size());
    bool ok = false;
    if (!t.contains('.') && !t.contains('e') && !t.contains('E')) {
        const qlonglong n = text.toLongLong(&ok);
        if (ok) return {true, n};
    }
    const double d = text.toDouble(&ok);
    if (!ok) return {};
    if (std::trunc(d) == d && d >= -0x1p63 && d < 0x1p63) return {true, qint64(d)};
    return {true, std::nullopt};
}

// Where a number ends by Qt's rules: [-] (0 | digits) [. digits] [(e|E) [+|-] digits].
qsizetype numberEnd(const char* p, qsizetype i, qsizetype n) {
    if (i < n && p[i] == '-') ++i;
    if (i < n && p[i] == '0')
        ++i;
    else
        while (i < n && isDigit(p[i]))
            ++i;
    if (i < n && p[i] == '.')
        for (++i; i < n && isDigit(p[i]);)
            ++i;
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        ++i;
        if (i < n && (p[i] == '-' || p[i] == '+')) ++i;
        while (i < n && isDigit(p[i]))
            ++i;
    }
    return i;
}

// Just past the string that opens at i: its first quote with an even run of backslashes before it.
qsizetype stringEnd(const char* p, qsizetype i, qsizetype n) {
    for (qsizetype from = i + 1;;) {
        const void* q = std::memchr(p + from, '"', size_t(n - from));
        if (!q) return n;
        const qsizetype at = static_cast<const char*>(q) - p;
        qsizetype slashes = 0;
        while (at - slashes - 1 > i && p[at - slashes - 1] == '\\')
            ++slashes;
        if (slashes % 2 == 0) return at + 1;
        from = at + 1;
    }
}

// A reply's text with every number whose value Qt would not keep exactly written anew: a whole
// number within 64 bits as its plain digits, anything else that Qt would turn into an integer
// (-9223372036854775809 reads as -2^63, 0.99999999999999999999 as 1) as a fraction, which no
// integer field takes.
class ExactNumbers {
public:
    // nullopt when Qt keeps every number in bytes as written.
    static std::optional<ExactNumbers> of(const QByteArray& bytes);

    const QByteArray& text() const { return m_text; }
    // A parse error's offset in text(), as an offset in the original bytes.
    qsizetype originalOffset(qsizetype offset) const;

private:
    struct Span {
        qsizetype from, to;       // in the original
        qsizetype newFrom, newTo; // in text()
    };
    QByteArray m_text;
    QList<Span> m_spans;
};

std::optional<ExactNumbers> ExactNumbers::of(const QByteArray& bytes) {
    const char* p = bytes.constData();
    const qsizetype n = bytes.size();
    ExactNumbers out;
    qsizetype copied = 0;
    bool valueMayStart = true; // a value or key starts only after [ { : ,
    for (qsizetype i = 0; i < n;) {
        switch (p[i]) {
        case '"':
            i = stringEnd(p, i, n);
            valueMayStart = false;
            continue;
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            ++i;
            continue;
        case '[':
        case '{':
        case ':':
        case ',':
            valueMayStart = true;
            ++i;
            continue;
        default:
            break;
        }
        const bool start = valueMayStart;
        valueMayStart = false;
        const qsizetype end = start ? numberEnd(p, i, n) : i;
        if (end == i) { // a literal, a bracket, or a byte that Qt refuses anyway
            ++i;
            continue;
        }
        const QByteArrayView token(p + i, end - i);
        // Up to 18 digits and nothing else: Qt keeps it as it is, the common case by far.
        const bool plainInteger =
            end - i <= 18 && std::all_of(token.begin() + (token[0] == '-'), token.end(), isDigit);
        if (!plainInteger) {
            const ParsedNumber parsed = parsedByQt(token);
            const std::optional<qint64> exact = wholeValue(token);
            if (parsed.valid && parsed.integer != exact) {
                const QByteArray replacement = exact ? QByteArray::number(*exact) : QByteArrayLiteral("0.5");
                out.m_text.append(p + copied, i - copied);
                const qsizetype newFrom = out.m_text.size();
                out.m_text.append(replacement);
                out.m_spans.append({i, end, newFrom, out.m_text.size()});
                copied = end;
            }
        }
        i = end;
    }
    if (out.m_spans.isEmpty()) return std::nullopt;
    out.m_text.append(p + copied, n - copied);
    return out;
}

qsizetype ExactNumbers::originalOffset(qsizetype offset) const {
    qsizetype shift = 0;
    for (const Span& s : m_spans) {
        if (offset < s.newFrom) break;
        if (offset < s.newTo) return s.from + std::min(offset - s.newFrom, s.to - s.from);
        shift = s.to - s.newTo;
    }
    return offset + shift;
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
    const std::optional<ExactNumbers> exact = ExactNumbers::of(bytes);
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(exact ? exact->text() : bytes, &err);
    if (err.error != QJsonParseError::NoError) {
        const qsizetype offset = exact ? exact->originalOffset(err.offset) : err.offset;
        fail(QStringLiteral("geçerli JSON değil (%1. baytta)").arg(offset));
        return std::nullopt;
    }
    if (!doc.isObject()) {
        fail(QStringLiteral("nesne bekleniyordu"));
        return std::nullopt;
    }
    return doc.object();
}
