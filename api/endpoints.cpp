#include "api/endpoints.h"

#include "platform/config.h"
#include "platform/http.h"

namespace API {

QCoro::Task<Result<LoginResponse>> login(QString email, QString password) {
    QJsonObject body = devicePayload();
    body.insert(QStringLiteral("email"), email);
    body.insert(QStringLiteral("password"), password);
    co_return co_await request<LoginResponse>(QStringLiteral("/auth/login"), QStringLiteral("POST"), std::nullopt,
                                              std::move(body));
}

QCoro::Task<Result<ConnectResponse>> connect(QString token, QString serverId) {
    QJsonObject body = devicePayload();
    body.insert(QStringLiteral("serverId"), serverId);
    co_return co_await request<ConnectResponse>(QStringLiteral("/connect"), QStringLiteral("POST"), std::move(token),
                                                std::move(body));
}

QCoro::Task<Result<ServersResponse>> servers() {
    co_return co_await request<ServersResponse>(QStringLiteral("/servers"), QStringLiteral("GET"));
}

QCoro::Task<Result<InboxResponse>> inbox(QString token) {
    co_return co_await request<InboxResponse>(inboxPath, QStringLiteral("GET"), std::move(token));
}

QCoro::Task<void> trackNotify(QString token, QString campaignId, QString event) {
    const QJsonObject body{{QStringLiteral("campaignId"), campaignId}, {QStringLiteral("event"), event}};
    (void)co_await request<TrackResponse>(QStringLiteral("/notify/track"), QStringLiteral("POST"), std::move(token),
                                          body);
}

QCoro::Task<std::optional<PublicGeo>> publicGeo() {
    const QUrl geoUrl(Config::apiOriginText() + QStringLiteral("/geo"));
    if (!geoUrl.isValid()) co_return std::nullopt;
    QNetworkRequest req(geoUrl);
    req.setTransferTimeout(60'000);
    Result<Http::Reply> reply = co_await Http::send(req, "GET");
    if (!reply) co_return std::nullopt;
    co_return PublicGeo::fromJson(reply->body);
}

} // namespace API
