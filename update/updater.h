#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

class JsonDecoder;

namespace Updater {

// An offered update.
struct Info {
    QString version;
    QString url;
    std::optional<QString> notes;

    static Info decode(JsonDecoder& d, const QJsonObject& o);
    QJsonObject toJson() const;
    bool operator==(const Info&) const = default;
};

struct Manifest {
    std::optional<Info> mac;

    static Manifest decode(JsonDecoder& d, const QJsonObject& o);
    static Result<Manifest> fromJson(const QByteArray& bytes);
};

inline constexpr const char* manifestPath = "/desktop/latest.json";

// The running program's version, "0.0.0" when the build carries none.
QString currentVersion();
QString currentVersionFrom(const std::optional<QString>& shortVersion);

// Dotted versions compared part by part; parts that are not integers are dropped, missing ones are 0.
bool isNewer(const QString& a, const QString& than);

// Newer than `current`: the manifest's offer if any, from a manifest body.
std::optional<Info> offerFrom(const QByteArray& manifestBody, const QString& current);

// Fetches the manifest (no cache, status ignored); every failure gives nullopt.
QCoro::Task<std::optional<Info>> check();

} // namespace Updater

Q_DECLARE_METATYPE(Updater::Info)
