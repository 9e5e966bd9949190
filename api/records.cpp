#include "api/records.h"

#include "platform/json_decoder.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

void putOptional(QJsonObject& o, const char* key, const std::optional<QString>& v) {
    if (v) o.insert(QLatin1String(key), *v);
}

void putOptional(QJsonObject& o, const char* key, const std::optional<qint64>& v) {
    if (v) o.insert(QLatin1String(key), *v);
}

template <class T> QJsonArray toArray(const QList<T>& items) {
    QJsonArray out;
    for (const T& item : items) out.append(item.toJson());
    return out;
}

} // namespace

APIUser APIUser::decode(JsonDecoder& d, const QJsonObject& o) {
    APIUser u;
    u.id = d.string(o, "id");
    u.email = d.string(o, "email");
    u.name = d.optionalString(o, "name");
    u.plan = d.optionalString(o, "plan");
    return u;
}

QJsonObject APIUser::toJson() const {
    QJsonObject o{{QStringLiteral("id"), id}, {QStringLiteral("email"), email}};
    putOptional(o, "name", name);
    putOptional(o, "plan", plan);
    return o;
}

LoginResponse LoginResponse::decode(JsonDecoder& d, const QJsonObject& o) {
    LoginResponse r;
    {
        const QJsonObject user = d.object(o, "user");
        JsonDecoder::Scope scope(d, "user");
        if (!d.failed()) r.user = APIUser::decode(d, user);
    }
    r.token = d.string(o, "token");
    return r;
}

Result<LoginResponse> LoginResponse::fromJson(const QByteArray& bytes) {
    return JsonDecoder::decodeDocument<LoginResponse>(bytes, &LoginResponse::decode);
}

QJsonObject LoginResponse::toJson() const {
    return {{QStringLiteral("user"), user.toJson()}, {QStringLiteral("token"), token}};
}

Server Server::decode(JsonDecoder& d, const QJsonObject& o) {
    Server s;
    s.id = d.string(o, "id");
    s.name = d.optionalString(o, "name");
    s.country = d.string(o, "country");
    s.countryCode = d.string(o, "countryCode");
    s.city = d.string(o, "city");
    s.load = d.integer(o, "load");
    s.pingMs = d.optionalInteger(o, "pingMs");
    s.tier = d.string(o, "tier");
    return s;
}

QJsonObject Server::toJson() const {
    QJsonObject o{{QStringLiteral("id"), id},
                  {QStringLiteral("country"), country},
                  {QStringLiteral("countryCode"), countryCode},
                  {QStringLiteral("city"), city},
                  {QStringLiteral("load"), load},
                  {QStringLiteral("tier"), tier}};
    putOptional(o, "name", name);
    putOptional(o, "pingMs", pingMs);
    return o;
}

size_t qHash(const Server& s, size_t seed) noexcept {
    QtPrivate::QHashCombine combine;
    seed = combine(seed, s.id);
    seed = combine(seed, s.name.has_value());
    if (s.name) seed = combine(seed, *s.name);
    seed = combine(seed, s.country);
    seed = combine(seed, s.countryCode);
    seed = combine(seed, s.city);
    seed = combine(seed, s.load);
    seed = combine(seed, s.pingMs.has_value());
    if (s.pingMs) seed = combine(seed, *s.pingMs);
    seed = combine(seed, s.tier);
    return seed;
}

ServersResponse ServersResponse::decode(JsonDecoder& d, const QJsonObject& o) {
    return ServersResponse{d.list<Server>(o, "servers", &Server::decode)};
}

Result<ServersResponse> ServersResponse::fromJson(const QByteArray& bytes) {
    return JsonDecoder::decodeDocument<ServersResponse>(bytes, &ServersResponse::decode);
}

QJsonObject ServersResponse::toJson() const { return {{QStringLiteral("servers"), toArray(servers)}}; }

Gateway Gateway::decode(JsonDecoder& d, const QJsonObject& o) {
    Gateway g;
    g.host = d.string(o, "host");
    g.remoteId = d.string(o, "remoteId");
    g.secret = d.string(o, "secret");
    return g;
}

QJsonObject Gateway::toJson() const {
    return {{QStringLiteral("host"), host}, {QStringLiteral("remoteId"), remoteId}, {QStringLiteral("secret"), secret}};
}

ConnectResponse ConnectResponse::decode(JsonDecoder& d, const QJsonObject& o) {
    ConnectResponse r;
    {
        const QJsonObject server = d.object(o, "server");
        JsonDecoder::Scope scope(d, "server");
        if (!d.failed()) r.server = Server::decode(d, server);
    }
    r.exitIp = d.string(o, "exitIp");
    if (const std::optional<QJsonObject> gw = d.optionalObject(o, "gateway")) {
        JsonDecoder::Scope scope(d, "gateway");
        r.gateway = Gateway::decode(d, *gw);
    }
    return r;
}

Result<ConnectResponse> ConnectResponse::fromJson(const QByteArray& bytes) {
    return JsonDecoder::decodeDocument<ConnectResponse>(bytes, &ConnectResponse::decode);
}

QJsonObject ConnectResponse::toJson() const {
    QJsonObject o{{QStringLiteral("server"), server.toJson()}, {QStringLiteral("exitIp"), exitIp}};
    if (gateway) o.insert(QStringLiteral("gateway"), gateway->toJson());
    return o;
}

Campaign Campaign::decode(JsonDecoder& d, const QJsonObject& o) {
    Campaign c;
    c.id = d.string(o, "id");
    c.title = d.string(o, "title");
    c.body = d.string(o, "body");
    c.url = d.optionalString(o, "url");
    c.cta = d.optionalString(o, "cta");
    c.createdAt = d.string(o, "createdAt");
    return c;
}

QJsonObject Campaign::toJson() const {
    QJsonObject o{{QStringLiteral("id"), id},
                  {QStringLiteral("title"), title},
                  {QStringLiteral("body"), body},
                  {QStringLiteral("createdAt"), createdAt}};
    putOptional(o, "url", url);
    putOptional(o, "cta", cta);
    return o;
}

InboxResponse InboxResponse::decode(JsonDecoder& d, const QJsonObject& o) {
    return InboxResponse{d.list<Campaign>(o, "campaigns", &Campaign::decode)};
}

Result<InboxResponse> InboxResponse::fromJson(const QByteArray& bytes) {
    return JsonDecoder::decodeDocument<InboxResponse>(bytes, &InboxResponse::decode);
}

QJsonObject InboxResponse::toJson() const { return {{QStringLiteral("campaigns"), toArray(campaigns)}}; }

namespace API {

TrackResponse TrackResponse::decode(JsonDecoder& d, const QJsonObject& o) { return TrackResponse{d.boolean(o, "ok")}; }

Result<TrackResponse> TrackResponse::fromJson(const QByteArray& bytes) {
    return JsonDecoder::decodeDocument<TrackResponse>(bytes, &TrackResponse::decode);
}

QJsonObject TrackResponse::toJson() const { return {{QStringLiteral("ok"), ok}}; }

} // namespace API

std::optional<PublicGeo> PublicGeo::fromJson(const QByteArray& bytes) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    if (o.isEmpty()) return std::nullopt;
    const QJsonValue ip = o.value(QLatin1String("ip"));
    if (!ip.isString() || ip.toString().isEmpty()) return std::nullopt;
    PublicGeo geo{ip.toString(), std::nullopt, std::nullopt};
    if (const QJsonValue city = o.value(QLatin1String("city")); city.isString()) geo.city = city.toString();
    if (const QJsonValue cc = o.value(QLatin1String("countryCode")); cc.isString()) geo.countryCode = cc.toString();
    return geo;
}

QJsonObject PublicGeo::toJson() const {
    QJsonObject o{{QStringLiteral("ip"), ip}};
    putOptional(o, "city", city);
    putOptional(o, "countryCode", countryCode);
    return o;
}
