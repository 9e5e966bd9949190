#include "api/request.h"

#include "platform/config.h"
#include "platform/defaults_keys.h"
#include "platform/defaults_store.h"
#include "platform/http.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>
#include <QUuid>

#include <cmath>

namespace {

bool allFinite(const QJsonValue& v) {
    if (v.isDouble()) return std::isfinite(v.toDouble());
    if (v.isArray()) {
        for (const QJsonValue& item : v.toArray())
            if (!allFinite(item)) return false;
    }
    if (v.isObject()) {
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            if (!allFinite(it.value())) return false;
    }
    return true;
}

// PRETTY_HOSTNAME from systemd's machine-info, which may be quoted.
std::optional<QString> prettyHostName() {
    QFile f(QStringLiteral("/etc/machine-info"));
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    const QList<QByteArray> lines = f.read(64 * 1024).split('\n');
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME=")) continue;
        QString value = QString::fromUtf8(line.mid(16)).trimmed();
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        if (!value.isEmpty()) return value;
    }
    return std::nullopt;
}

// CR, LF or NUL in a header value would let a stored or served text add headers of its own.
bool safeHeaderValue(const QByteArray& v) {
    return !v.contains('\r') && !v.contains('\n') && !v.contains('\0');
}

} // namespace

namespace API {

QUrl base() { return Config::apiOrigin(); }

QString fingerprint() {
    DefaultsStore& store = DefaultsStore::shared();
    if (const std::optional<QString> stored = store.string(DefaultsKeys::fingerprint)) return *stored;
    const QString fresh = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    (void)store.setString(DefaultsKeys::fingerprint, fresh); // a failed write still leaves it for this run
    return fresh;
}

std::optional<QString> systemDeviceName() {
    if (std::optional<QString> pretty = prettyHostName()) return pretty;
    const QString host = QSysInfo::machineHostName();
    if (!host.isEmpty()) return host;
    return std::nullopt;
}

QJsonObject devicePayloadFrom(const std::optional<QString>& deviceName, const std::optional<QString>& appVersion,
                              const QString& fp) {
    return QJsonObject{
        {QStringLiteral("deviceName"), deviceName.value_or(QStringLiteral("Mac"))},
        // The service keys its device records on these two values.
        {QStringLiteral("platform"), QStringLiteral("macos")},
        {QStringLiteral("kind"), QStringLiteral("app")},
        {QStringLiteral("fingerprint"), fp},
        {QStringLiteral("appVersion"), appVersion.value_or(QStringLiteral("1.0.0"))},
    };
}

QJsonObject devicePayload() { return devicePayloadFrom(systemDeviceName(), Config::shortVersion(), fingerprint()); }

QUrl url(const QString& path) {
    const qsizetype q = path.indexOf(QLatin1Char('?'));
    QUrl u = base();
    u.setPath(q < 0 ? path : path.left(q));
    if (q >= 0) u.setQuery(path.mid(q + 1));
    return u;
}

QString errorMessage(int status, const QByteArray& body) {
    const QString fallback = QStringLiteral("Sunucu hatası (%1)").arg(status);
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) return fallback;
    const QJsonObject o = doc.object();
    if (const QJsonValue m = o.value(QLatin1String("message")); m.isString()) return m.toString();
    if (const QJsonValue e = o.value(QLatin1String("error")); e.isString()) return e.toString();
    return fallback;
}

QCoro::Task<Result<QByteArray>> send(QString path, QString method, std::optional<QString> token,
                                    std::optional<QJsonObject> body) {
    QNetworkRequest req(url(path));
    req.setTransferTimeout(requestTimeoutMs);
    // The bearer token must never follow a redirect to another origin.
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    req.setRawHeader("Content-Type", "application/json");
    // A request cut off by a change of the tunnel is asked again, except a click, which would count twice.
    if (path.startsWith(QLatin1String("/notify/track"))) req.setAttribute(Http::onceOnly, true);
    const QByteArray device = fingerprint().toUtf8();
    if (!token) token = DefaultsStore::shared().string(DefaultsKeys::token);
    const QByteArray authorization = token ? "Bearer " + token->toUtf8() : QByteArray();
    if (!safeHeaderValue(device) || !safeHeaderValue(authorization))
        co_return Error{Error::Kind::Serialization, QStringLiteral("İstek başlığı geçersiz karakter içeriyor")};
    req.setRawHeader("X-Kestrava-Device", device);
    if (token) req.setRawHeader("Authorization", authorization);

    QByteArray payload;
    if (body) {
        if (!allFinite(*body))
            co_return Error{Error::Kind::Serialization, QStringLiteral("İstek gövdesi JSON olarak yazılamadı")};
        payload = QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }

    Result<Http::Reply> reply = co_await Http::send(req, method.toUtf8(), payload);
    if (!reply) co_return reply.error();
    if (reply->status >= 200 && reply->status <= 299) co_return std::move(reply->body);
    co_return APIError::server(errorMessage(reply->status, reply->body), reply->status);
}

} // namespace API
