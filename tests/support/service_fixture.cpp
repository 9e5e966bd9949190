#include "support/service_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>

static std::optional<QString> header(const QJsonObject& request, const QString& name) {
    const QJsonObject headers = request.value(QStringLiteral("headers")).toObject();
    for (auto it = headers.begin(); it != headers.end(); ++it)
        if (it.key().compare(name, Qt::CaseInsensitive) == 0) return it.value().toString();
    return std::nullopt;
}

QString recordedHeader(const QJsonObject& request, const QString& name) { return header(request, name).value_or(QString()); }
bool hasRecordedHeader(const QJsonObject& request, const QString& name) { return header(request, name).has_value(); }

QJsonObject basicScenario() {
    static const QJsonObject scenario = QJsonDocument::fromJson(R"({
        "accounts": [{"email": "a@kestrava.test", "password": "pw", "token": "tok-1",
                      "user": {"id": "u1", "email": "a@kestrava.test", "plan": "PLUS"}}],
        "servers": [
            {"id": "tr-1", "name": "İstanbul 1", "country": "TR", "countryCode": "TR", "city": "İstanbul",
             "load": 40, "pingMs": 20, "tier": "FREE"},
            {"id": "de-1", "name": "Berlin 1", "country": "DE", "countryCode": "DE", "city": "Berlin",
             "load": 10, "pingMs": 20, "tier": "PLUS"}],
        "gateways": {"tr-1": {"host": "127.0.0.1", "remoteId": "gw.test", "secret": "psk-1"}},
        "exitIps": {"tr-1": "203.0.113.7", "de-1": "203.0.113.8"},
        "campaigns": [{"id": "c1", "title": "Kış indirimi", "body": "PLUS şimdi %40 indirimli",
                       "url": "https://kestrava.app/#plans", "createdAt": "2026-12-01T10:00:00Z"}],
        "geo": {"ip": "192.0.2.44", "city": "Ankara", "countryCode": "TR"},
        "manifest": {"mac": {"version": "9.0.0", "url": "https://x.test/u.sqfs"}}
    })").object();
    return scenario;
}

QJsonObject serverList(int n) {
    QJsonArray list;
    for (int i = 0; i < n; ++i)
        list.append(QJsonObject{{QStringLiteral("id"), QStringLiteral("s-%1").arg(i)},
                                {QStringLiteral("country"), QStringLiteral("Türkiye")},
                                {QStringLiteral("countryCode"), QStringLiteral("TR")},
                                {QStringLiteral("city"), QStringLiteral("İstanbul")}, {QStringLiteral("load"), (i * 37) % 100},
                                {QStringLiteral("pingMs"), (i * 13) % 300}, {QStringLiteral("tier"), QStringLiteral("FREE")}});
    return QJsonObject{{QStringLiteral("servers"), list}};
}

QJsonObject scenarioWith(const char* key, const QJsonValue& value, QJsonObject scenario) {
    scenario.insert(QString::fromUtf8(key), value);
    return scenario;
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
    return scenarioWith("overrides", QJsonArray{reply}, std::move(scenario));
}

QStringList requestLines(const QJsonArray& requests) {
    QStringList out;
    for (const QJsonValue& v : requests)
        out.append(v[QStringLiteral("method")].toString() + u' ' + v[QStringLiteral("path")].toString());
    return out;
}

void endPrograms(QList<QProcess*>& started) {
    for (QProcess* p : std::as_const(started)) {
        if (p->state() != QProcess::NotRunning) {
            ::kill(pid_t(p->processId()), SIGCONT);
            p->kill();
            p->waitForFinished(5000);
        }
        delete p;
    }
    started.clear();
}
