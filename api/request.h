#pragma once

#include "api/records.h"
#include "platform/off_thread.h"
#include "platform/result.h"

#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>

namespace API {

inline constexpr int requestTimeoutMs = 20'000;
// Replies above this size are decoded off the main thread (a 100,000-server list takes ~200 ms).
inline constexpr qsizetype offThreadDecodeBytes = 256 * 1024;

// The service's API origin, parsed once.
QUrl base();

// The device's persistent identifier: stored text if any, else a new lower-case UUID v4, stored.
QString fingerprint();

// Five string keys describing this device; built afresh on every call.
QJsonObject devicePayload();
// The same, from given parts (nullopt means the system gave none).
QJsonObject devicePayloadFrom(const std::optional<QString>& deviceName, const std::optional<QString>& appVersion,
                              const QString& fingerprint);
// The host's pretty name, else its host name; nullopt when the system gives neither.
std::optional<QString> systemDeviceName();

// Origin + path, where the text after the first "?" is the query, sent unchanged.
QUrl url(const QString& path);

// The user-facing message for a non-success reply: the body's "message", else its "error", else
// "Sunucu hatası (<status>)".
QString errorMessage(int status, const QByteArray& body);

// Builds and sends one API request and applies the status rule; gives the body of a 2xx reply.
QCoro::Task<Result<QByteArray>> send(QString path, QString method, std::optional<QString> token,
                                    std::optional<QJsonObject> body);

// The generic request: T is the reply record (T::fromJson decodes it).
template <class T>
QCoro::Task<Result<T>> request(QString path, QString method, std::optional<QString> token = std::nullopt,
                               std::optional<QJsonObject> body = std::nullopt) {
    Result<QByteArray> raw = co_await send(std::move(path), std::move(method), std::move(token), std::move(body));
    if (!raw) co_return raw.error();
    if (raw->size() < offThreadDecodeBytes) co_return T::fromJson(*raw);
    // Named: g++ 12 mishandles a temporary with a destructor in a co_await that suspends (a reply's
    // bytes were released twice, found with valgrind).
    auto decode = [bytes = std::move(*raw)] { return T::fromJson(bytes); };
    QCoro::Task<Result<T>> decoding = offThread(std::move(decode));
    co_return co_await decoding;
}

} // namespace API
