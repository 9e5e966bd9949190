#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <optional>

class JsonDecoder;

// The service's reply records. Each decodes strictly from a JSON object (required fields present
// and of the right type, unknown keys ignored) and encodes back with the same keys, leaving out
// absent optionals.

struct APIUser {
    QString id;
    QString email;
    std::optional<QString> name;
    std::optional<QString> plan;

    static APIUser decode(JsonDecoder& d, const QJsonObject& o);
    QJsonObject toJson() const;
    bool operator==(const APIUser&) const = default;
};

struct LoginResponse {
    APIUser user;
    QString token;

    static LoginResponse decode(JsonDecoder& d, const QJsonObject& o);
    static Result<LoginResponse> fromJson(const QByteArray& bytes);
    QJsonObject toJson() const;
    bool operator==(const LoginResponse&) const = default;
};

struct Server {
    QString id;
    std::optional<QString> name;
    QString country;
    QString countryCode;
    QString city;
    qint64 load = 0;
    std::optional<qint64> pingMs;
    QString tier;

    static Server decode(JsonDecoder& d, const QJsonObject& o);
    QJsonObject toJson() const;
    bool operator==(const Server&) const = default;
};
size_t qHash(const Server& s, size_t seed = 0) noexcept;

struct ServersResponse {
    QList<Server> servers;

    static ServersResponse decode(JsonDecoder& d, const QJsonObject& o);
    static Result<ServersResponse> fromJson(const QByteArray& bytes);
    QJsonObject toJson() const;
    bool operator==(const ServersResponse&) const = default;
};

struct Gateway {
    QString host;
    QString remoteId;
    QString secret;

    static Gateway decode(JsonDecoder& d, const QJsonObject& o);
    QJsonObject toJson() const;
    bool operator==(const Gateway&) const = default;
};

struct ConnectResponse {
    Server server;
    QString exitIp;
    std::optional<Gateway> gateway;

    static ConnectResponse decode(JsonDecoder& d, const QJsonObject& o);
    static Result<ConnectResponse> fromJson(const QByteArray& bytes);
    QJsonObject toJson() const;
    bool operator==(const ConnectResponse&) const = default;
};

struct Campaign {
    QString id;
    QString title;
    QString body;
    std::optional<QString> url;
    std::optional<QString> cta;
    QString createdAt;

    static Campaign decode(JsonDecoder& d, const QJsonObject& o);
    QJsonObject toJson() const;
    bool operator==(const Campaign&) const = default;
};

struct InboxResponse {
    QList<Campaign> campaigns;

    static InboxResponse decode(JsonDecoder& d, const QJsonObject& o);
    static Result<InboxResponse> fromJson(const QByteArray& bytes);
    QJsonObject toJson() const;
    bool operator==(const InboxResponse&) const = default;
};

namespace API {

struct TrackResponse {
    bool ok = false;

    static TrackResponse decode(JsonDecoder& d, const QJsonObject& o);
    static Result<TrackResponse> fromJson(const QByteArray& bytes);
    QJsonObject toJson() const;
    bool operator==(const TrackResponse&) const = default;
};

} // namespace API

// Built by the geo lookup from three keys, not decoded strictly.
struct PublicGeo {
    QString ip;
    std::optional<QString> city;
    std::optional<QString> countryCode;

    // nullopt unless the bytes hold a non-empty object with a non-empty string "ip".
    static std::optional<PublicGeo> fromJson(const QByteArray& bytes);
    QJsonObject toJson() const;
    bool operator==(const PublicGeo&) const = default;
};

// The one error the service client raises itself; its description is the message, unchanged.
namespace APIError {
inline Error server(const QString& message, int status = 0) {
    return Error{Error::Kind::Server, message, status};
}
} // namespace APIError

Q_DECLARE_METATYPE(Server)
Q_DECLARE_METATYPE(Campaign)
