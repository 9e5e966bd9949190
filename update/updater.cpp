#include "update/updater.h"

#include "platform/json_decoder.h"
#include "platform/config.h"
#include "platform/http.h"

#include <QList>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// "+5", "-3", "12"; a bare sign, blanks, letters or an out-of-range value do not convert.
std::optional<qint64> versionPart(QStringView part) {
    QStringView digits = part;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-')) digits = digits.mid(1);
    if (digits.isEmpty()) return std::nullopt;
    for (QChar c : digits)
        if (c < u'0' || c > u'9') return std::nullopt;
    bool ok = false;
    const qint64 v = part.front() == u'+' ? digits.toLongLong(&ok) : part.toLongLong(&ok);
    if (!ok) return std::nullopt;
    return v;
}

QList<qint64> versionParts(const QString& text) {
    QList<qint64> out;
    for (QStringView piece : QStringView(text).split(u'.', Qt::SkipEmptyParts))
        if (const std::optional<qint64> v = versionPart(piece)) out.append(*v);
    return out;
}

} // namespace

namespace Updater {

Info Info::decode(JsonDecoder& d, const QJsonObject& o) {
    Info i;
    i.version = d.string(o, "version");
    i.url = d.string(o, "url");
    i.notes = d.optionalString(o, "notes");
    return i;
}

QJsonObject Info::toJson() const {
    QJsonObject o{{QStringLiteral("version"), version}, {QStringLiteral("url"), url}};
    if (notes) o.insert(QStringLiteral("notes"), *notes);
    return o;
}

Manifest Manifest::decode(JsonDecoder& d, const QJsonObject& o) {
    Manifest m;
    if (const std::optional<QJsonObject> mac = d.optionalObject(o, "mac")) {
        JsonDecoder::Scope scope(d, "mac");
        m.mac = Info::decode(d, *mac);
    }
    return m;
}

Result<Manifest> Manifest::fromJson(const QByteArray& bytes) {
    return JsonDecoder::decodeDocument<Manifest>(bytes, &Manifest::decode);
}

QString currentVersionFrom(const std::optional<QString>& shortVersion) {
    return shortVersion.value_or(QStringLiteral("0.0.0"));
}

QString currentVersion() { return currentVersionFrom(Config::shortVersion()); }

bool isNewer(const QString& a, const QString& than) {
    const QList<qint64> x = versionParts(a);
    const QList<qint64> y = versionParts(than);
    for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
        const qint64 l = i < x.size() ? x[i] : 0;
        const qint64 r = i < y.size() ? y[i] : 0;
        if (l != r) return l > r;
    }
    return false;
}

std::optional<Info> offerFrom(const QByteArray& manifestBody, const QString& current) {
    Result<Manifest> manifest = Manifest::fromJson(manifestBody);
    if (!manifest || !manifest->mac) return std::nullopt;
    if (!isNewer(manifest->mac->version, current)) return std::nullopt;
    return manifest->mac;
}

QCoro::Task<std::optional<Info>> check() {
    const QUrl url(Config::webOriginText() + QLatin1String(manifestPath));
    if (!url.isValid()) co_return std::nullopt;
    QNetworkRequest req(url);
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    req.setTransferTimeout(60'000);
    Result<Http::Reply> reply = co_await Http::send(req, "GET");
    if (!reply) co_return std::nullopt;
    co_return offerFrom(reply->body, currentVersion());
}

} // namespace Updater
