#include "platform/config.h"

#include "build_config.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString originFrom(const char* envName, const char* builtIn) {
    const QString override = qEnvironmentVariable(envName);
    QString text = Config::isOrigin(override) ? override : QString::fromUtf8(builtIn);
    while (text.endsWith(QLatin1Char('/'))) text.chop(1);
    return text;
}

} // namespace

namespace Config {

bool isOrigin(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) &&
           !url.host().isEmpty() && (url.path().isEmpty() || url.path() == QLatin1String("/")) && !url.hasQuery() &&
           !url.hasFragment() && url.userInfo().isEmpty();
}

QString apiOriginText() {
    static const QString origin = originFrom("KESTRAVA_API_ORIGIN", BuildConfig::apiOrigin);
    return origin;
}

QString webOriginText() {
    static const QString origin = originFrom("KESTRAVA_WEB_ORIGIN", BuildConfig::webOrigin);
    return origin;
}

QUrl apiOrigin() { return QUrl(apiOriginText()); }
QUrl webOrigin() { return QUrl(webOriginText()); }

std::optional<QString> bundleVersion(const QString& bundleInfoPath) {
    QFile f(bundleInfoPath);
    if (!f.open(QIODevice::ReadOnly) || f.size() > 64 * 1024) return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
    const QString v = doc.object().value(QStringLiteral("version")).toString().trimmed();
    if (v.isEmpty()) return std::nullopt;
    return v;
}

std::optional<QString> shortVersion() {
    // An installed bundle says its own version (Kestrava.app/Info.json beside bin/), as the update
    // image that made it did; a build run from the tree has the one compiled in.
    static const std::optional<QString> version = []() -> std::optional<QString> {
        if (QCoreApplication::instance()) {
            if (auto v = bundleVersion(QCoreApplication::applicationDirPath() + QStringLiteral("/../Info.json"))) return v;
        }
        const QString v = QString::fromUtf8(BuildConfig::version);
        if (v.isEmpty()) return std::nullopt;
        return v;
    }();
    return version;
}

} // namespace Config
