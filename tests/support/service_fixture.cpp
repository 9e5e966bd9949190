#include "support/service_fixture.h"

#include <QJsonArray>

QString recordedHeader(const QJsonObject& request, const QString& name) {
    const QJsonObject headers = request.value(QStringLiteral("headers")).toObject();
    for (auto it = headers.begin(); it != headers.end(); ++it)
        if (it.key().compare(name, Qt::CaseInsensitive) == 0) return it.value().toString();
    return QString();
}

bool hasRecordedHeader(const QJsonObject& request, const QString& name) {
    const QJsonObject headers = request.value(QStringLiteral("headers")).toObject();
    for (auto it = headers.begin(); it != headers.end(); ++it)
        if (it.key().compare(name, Qt::CaseInsensitive) == 0) return true;
    return false;
}

QJsonObject basicScenario() {
    const auto server = [](const char* id, const char* cc, const char* city, int load, const char* tier) {
        return QJsonObject{{QStringLiteral("id"), QString::fromUtf8(id)},
                           {QStringLiteral("name"), QString::fromUtf8(city) + QStringLiteral(" 1")},
                           {QStringLiteral("country"), QString::fromUtf8(cc)},
                           {QStringLiteral("countryCode"), QString::fromUtf8(cc)},
                           {QStringLiteral("city"), QString::fromUtf8(city)},
                           {QStringLiteral("load"), load},
                           {QStringLiteral("pingMs"), 20},
                           {QStringLiteral("tier"), QString::fromUtf8(tier)}};
    };
    return QJsonObject{
        {QStringLiteral("accounts"),
         QJsonArray{QJsonObject{{QStringLiteral("email"), QStringLiteral("a@kestrava.test")},
                                {QStringLiteral("password"), QStringLiteral("pw")},
                                {QStringLiteral("token"), QStringLiteral("tok-1")},
                                {QStringLiteral("user"), QJsonObject{{QStringLiteral("id"), QStringLiteral("u1")},
                                                                     {QStringLiteral("email"),
                                                                      QStringLiteral("a@kestrava.test")},
                                                                     {QStringLiteral("plan"), QStringLiteral("PLUS")}}}}}},
        {QStringLiteral("servers"),
         QJsonArray{server("tr-1", "TR", "İstanbul", 40, "FREE"), server("de-1", "DE", "Berlin", 10, "PLUS")}},
        {QStringLiteral("gateways"),
         QJsonObject{{QStringLiteral("tr-1"), QJsonObject{{QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                                          {QStringLiteral("remoteId"), QStringLiteral("gw.test")},
                                                          {QStringLiteral("secret"), QStringLiteral("psk-1")}}}}},
        {QStringLiteral("exitIps"), QJsonObject{{QStringLiteral("tr-1"), QStringLiteral("203.0.113.7")},
                                                {QStringLiteral("de-1"), QStringLiteral("203.0.113.8")}}},
        {QStringLiteral("campaigns"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("c1")},
                                {QStringLiteral("title"), QStringLiteral("Kış indirimi")},
                                {QStringLiteral("body"), QStringLiteral("PLUS şimdi %40 indirimli")},
                                {QStringLiteral("url"), QStringLiteral("https://kestrava.app/#plans")},
                                {QStringLiteral("createdAt"), QStringLiteral("2026-12-01T10:00:00Z")}}}},
        {QStringLiteral("geo"), QJsonObject{{QStringLiteral("ip"), QStringLiteral("192.0.2.44")},
                                            {QStringLiteral("city"), QStringLiteral("Ankara")},
                                            {QStringLiteral("countryCode"), QStringLiteral("TR")}}},
        {QStringLiteral("manifest"),
         QJsonObject{{QStringLiteral("mac"), QJsonObject{{QStringLiteral("version"), QStringLiteral("9.0.0")},
                                                         {QStringLiteral("url"), QStringLiteral("https://x.test/u.sqfs")}}}}},
    };
}

bool startServiceForProcess(DevService& service, const QJsonObject& scenario) {
    if (!service.start(scenario)) return false;
    qputenv("KESTRAVA_API_ORIGIN", service.origin().toUtf8());
    qputenv("KESTRAVA_WEB_ORIGIN", service.origin().toUtf8());
    return true;
}

QProcessEnvironment programEnvironment(const DevService& service, const QString& home, const QString& configHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTRAVA_API_ORIGIN"), service.origin());
    env.insert(QStringLiteral("KESTRAVA_WEB_ORIGIN"), service.origin());
    env.insert(QStringLiteral("KESTRAVA_VPN_BACKEND"), QStringLiteral("simulated"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    return env;
}

QJsonObject withReply(const char* method, const char* path, QJsonObject reply, QJsonObject scenario) {
    reply.insert(QStringLiteral("method"), QString::fromUtf8(method));
    reply.insert(QStringLiteral("path"), QString::fromUtf8(path));
    scenario.insert(QStringLiteral("overrides"), QJsonArray{reply});
    return scenario;
}

QStringList requestLines(const QJsonArray& requests) {
    QStringList out;
    for (const QJsonValue& v : requests) {
        const QJsonObject r = v.toObject();
        out.append(r.value(QStringLiteral("method")).toString() + u' ' + r.value(QStringLiteral("path")).toString());
    }
    return out;
}
