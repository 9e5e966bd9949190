// Stand-in for the Kestrava service on loopback: the JSON API, the geo lookup, the update manifest and
// update files, driven by a scenario file, with per-path reply overrides and a request log for tests.
#include <httplib.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

QString qs(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string ss(const QString& s) { return s.toStdString(); }
QString key(const char* k) { return QString::fromUtf8(k); }

// With its parameter the library leaves the reply uncompressed: its gzip stalls the transfer of
// bodies of a few megabytes (an 11 MB list arrived in part after 20 s).
const char* const jsonType = "application/json; charset=utf-8";
const char* const fileType = "application/octet-stream";

std::string jsonText(const QJsonValue& v) {
    if (v.isObject()) return QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact).toStdString();
    if (v.isArray()) return QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact).toStdString();
    // Scalars at top level: let Qt write them inside an array and strip the brackets.
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2).toStdString();
}

void replyJson(httplib::Response& res, int status, const QJsonValue& body) {
    res.status = status;
    res.set_content(jsonText(body), jsonType);
}

void replyMessage(httplib::Response& res, int status, const char* message) {
    replyJson(res, status, QJsonObject{{key("message"), QString::fromUtf8(message)}});
}

class Service {
public:
    bool setScenario(const QJsonObject& scenario) {
        std::lock_guard lock(m_mutex);
        m_scenario = scenario;
        m_overrideUses.clear();
        return true;
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/__control/", 0) == 0) return control(req, res);
        QJsonObject scenario;
        std::optional<QJsonObject> canned;
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(record(req));
            scenario = m_scenario;
            canned = takeOverride(req);
        }
        if (canned) return applyOverride(*canned, overriddenFile(scenario, *canned, req), res);
        route(scenario, req, res);
    }

private:
    std::mutex m_mutex;
    QJsonObject m_scenario;
    QJsonArray m_requests;
    std::map<int, qint64> m_overrideUses;
    // The demo's simulated tunnel, as the program reports it: while up, /geo answers the exit of the
    // last connect, as the real lookup would see the traffic come out of the server.
    bool m_tunnelUp = false;
    bool m_linked = false; // a program has reported its tunnel at least once
    std::optional<QJsonObject> m_exitGeo;

    static QString rawQuery(const httplib::Request& req) {
        const auto mark = req.target.find('?');
        return mark == std::string::npos ? QString() : qs(req.target.substr(mark + 1));
    }

    static QJsonObject record(const httplib::Request& req) {
        QJsonObject headers;
        for (const auto& [name, value] : req.headers) {
            // cpp-httplib files the peer's address among the headers; it was never sent.
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
                continue;
            const QString k = qs(name);
            const QString v = qs(value);
            headers.insert(k, headers.contains(k) ? headers.value(k).toString() + QStringLiteral(", ") + v : v);
        }
        const QByteArray body = QByteArray::fromStdString(req.body);
        return QJsonObject{{key("method"), qs(req.method)},
                           {key("path"), qs(req.path)},
                           {key("query"), rawQuery(req)},
                           {key("headers"), headers},
                           {key("body"), QString::fromUtf8(body)},
                           {key("bodyHex"), QString::fromLatin1(body.toHex())},
                           {key("peer"), qs(req.remote_addr)}};
    }

    // The first override for this method and path that still has uses left; "times" absent = always.
    std::optional<QJsonObject> takeOverride(const httplib::Request& req) {
        const QJsonArray overrides = m_scenario.value(key("overrides")).toArray();
        for (int i = 0; i < overrides.size(); ++i) {
            const QJsonObject o = overrides.at(i).toObject();
            const QString method = o.value(key("method")).toString(QStringLiteral("GET"));
            if (method != qs(req.method) || o.value(key("path")).toString() != qs(req.path)) continue;
            if (o.contains(key("times"))) {
                qint64& used = m_overrideUses[i];
                if (used >= o.value(key("times")).toInteger()) continue;
                ++used;
            }
            return o;
        }
        return std::nullopt;
    }

    // An override with no body of its own on a path of `files` serves that file, so an update image
    // can be cut or slowed like any reply.
    static std::optional<std::string> overriddenFile(const QJsonObject& scenario, const QJsonObject& o,
                                                     const httplib::Request& req) {
        if (o.contains(key("body")) || o.contains(key("rawBody")) || o.contains(key("rawBodyHex"))) return std::nullopt;
        const QJsonValue file = scenario.value(key("files")).toObject().value(qs(req.path));
        if (!file.isString()) return std::nullopt;
        QFile f(file.toString());
        if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
        return f.readAll().toStdString();
    }

    static void applyOverride(const QJsonObject& o, const std::optional<std::string>& file, httplib::Response& res) {
        const int delay = o.value(key("delayMs")).toInt();
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(delay, 600'000)));
        res.status = o.value(key("status")).toInt(200);
        const QJsonObject headers = o.value(key("headers")).toObject();
        for (auto it = headers.begin(); it != headers.end(); ++it) res.set_header(ss(it.key()), ss(it.value().toString()));
        const QString defaultType = QString::fromLatin1(file ? fileType : jsonType);
        const std::string type = ss(o.value(key("contentType")).toString(defaultType));

        if (o.value(key("dropConnection")).toBool()) {
            // Promise a body and close without sending it: the client sees the connection fail.
            res.set_content_provider(file ? std::max<size_t>(file->size(), 1) : 64, type,
                                     [](size_t, size_t, httplib::DataSink&) { return false; });
            return;
        }
        if (o.contains(key("trickle"))) {
            // Slow-loris: one chunk every intervalMs, count times (chunked, no length), each in time
            // for any idle time-out, so only a limit on the whole transfer ends it.
            const QJsonObject t = o.value(key("trickle")).toObject();
            const std::string chunk = ss(t.value(key("chunk")).toString(QStringLiteral(" ")));
            const int interval = std::clamp(t.value(key("intervalMs")).toInt(1000), 1, 60'000);
            const qint64 count = t.value(key("count")).toInteger(1'000'000);
            auto sent = std::make_shared<qint64>(0);
            res.set_chunked_content_provider(type, [chunk, interval, count, sent](size_t, httplib::DataSink& sink) {
                if (*sent >= count) {
                    sink.done();
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(interval));
                ++*sent;
                return sink.write(chunk.data(), chunk.size());
            });
            return;
        }
        if (o.contains(key("dropAfterBytes"))) {
            // The reply's headers promise the whole body; the connection closes after the first bytes.
            const std::string body = file                          ? *file
                                     : o.contains(key("rawBody")) ? ss(o.value(key("rawBody")).toString())
                                                                  : jsonText(o.value(key("body")));
            const size_t cut = size_t(std::clamp<qint64>(o.value(key("dropAfterBytes")).toInteger(), 0, qint64(body.size())));
            res.set_content_provider(body.size() + 1, type, [body, cut](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= cut) return false;
                return sink.write(body.data() + offset, cut - offset);
            });
            return;
        }
        if (o.contains(key("repeatBody"))) {
            const QJsonObject r = o.value(key("repeatBody")).toObject();
            const std::string chunk = ss(r.value(key("chunk")).toString());
            const qint64 count = r.value(key("count")).toInteger();
            if (chunk.empty() || count <= 0) return res.set_content("", type);
            std::string block;
            while (block.size() < 65536) block += chunk;
            const size_t total = chunk.size() * size_t(count);
            res.set_content_provider(total, type, [chunk, block, total](size_t offset, size_t, httplib::DataSink& sink) {
                // Offsets stay aligned to the chunk because the block holds whole chunks.
                const size_t n = std::min(block.size() - (block.size() % chunk.size()), total - offset);
                return sink.write(block.data(), n);
            });
            return;
        }
        if (o.contains(key("rawBodyHex")))
            return res.set_content(QByteArray::fromHex(o.value(key("rawBodyHex")).toString().toLatin1()).toStdString(), type);
        if (o.contains(key("rawBody"))) return res.set_content(ss(o.value(key("rawBody")).toString()), type);
        if (o.contains(key("body"))) return res.set_content(jsonText(o.value(key("body"))), type);
        res.set_content(file.value_or(std::string()), type);
    }

    static std::optional<QJsonObject> jsonBody(const httplib::Request& req) {
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
        return doc.object();
    }

    // The account whose token the bearer header carries, if any.
    static std::optional<QJsonObject> account(const QJsonObject& scenario, const httplib::Request& req) {
        const std::string auth = req.get_header_value("Authorization");
        if (auth.rfind("Bearer ", 0) != 0) return std::nullopt;
        const QString token = qs(auth.substr(7));
        for (const QJsonValue& a : scenario.value(key("accounts")).toArray())
            if (!token.isEmpty() && a.toObject().value(key("token")).toString() == token) return a.toObject();
        return std::nullopt;
    }

    void route(const QJsonObject& scenario, const httplib::Request& req, httplib::Response& res) {
        const std::string& p = req.path;
        const bool get = req.method == "GET";
        const bool post = req.method == "POST";
        if (post && p == "/auth/login") return login(scenario, req, res);
        if (get && p == "/servers") {
            // publicServers: the list also for a caller that is not signed in (a stale token still fails).
            const bool anonymous = req.get_header_value("Authorization").empty();
            const bool open = anonymous && scenario.value(key("publicServers")).toBool();
            if (!open && !account(scenario, req)) return replyMessage(res, 401, "Oturum geçersiz");
            return replyJson(res, 200, QJsonObject{{key("servers"), scenario.value(key("servers")).toArray()}});
        }
        if (post && p == "/connect") return connect(scenario, req, res);
        if (get && p == "/notify/inbox") {
            if (!account(scenario, req)) return replyMessage(res, 401, "Oturum geçersiz");
            if (rawQuery(req) != QStringLiteral("platform=macos")) return replyMessage(res, 400, "Geçersiz platform");
            return replyJson(res, 200, QJsonObject{{key("campaigns"), scenario.value(key("campaigns")).toArray()}});
        }
        if (post && p == "/notify/track") {
            if (!account(scenario, req)) return replyMessage(res, 401, "Oturum geçersiz");
            const auto body = jsonBody(req);
            if (!body || !body->value(key("campaignId")).isString() || !body->value(key("event")).isString())
                return replyMessage(res, 400, "Geçersiz istek");
            return replyJson(res, 200, QJsonObject{{key("ok"), true}});
        }
        if (get && p == "/geo") {
            {
                std::lock_guard lock(m_mutex);
                if (m_tunnelUp && m_exitGeo) return replyJson(res, 200, *m_exitGeo);
            }
            const QJsonObject bySource = scenario.value(key("geoBySource")).toObject();
            const QJsonValue geo = bySource.value(qs(req.remote_addr));
            return replyJson(res, 200, geo.isObject() ? geo : scenario.value(key("geo")).toObject());
        }
        if (get && p == "/desktop/latest.json") {
            if (!scenario.contains(key("manifest"))) return replyMessage(res, 404, "Bulunamadı");
            return replyJson(res, 200, scenario.value(key("manifest")));
        }
        const QJsonValue file = scenario.value(key("files")).toObject().value(qs(p));
        if (get && file.isString()) return serveFile(file.toString(), res);
        replyMessage(res, 404, "Bulunamadı");
    }

    static void login(const QJsonObject& scenario, const httplib::Request& req, httplib::Response& res) {
        const auto body = jsonBody(req);
        if (!body) return replyMessage(res, 400, "Geçersiz istek");
        const QString email = body->value(key("email")).toString();
        const QString password = body->value(key("password")).toString();
        for (const QJsonValue& v : scenario.value(key("accounts")).toArray()) {
            const QJsonObject a = v.toObject();
            if (a.value(key("email")).toString() == email && a.value(key("password")).toString() == password)
                return replyJson(res, 200, QJsonObject{{key("token"), a.value(key("token"))}, {key("user"), a.value(key("user"))}});
        }
        replyMessage(res, 401, "E-posta veya şifre hatalı");
    }

    void connect(const QJsonObject& scenario, const httplib::Request& req, httplib::Response& res) {
        if (!account(scenario, req)) return replyMessage(res, 401, "Oturum geçersiz");
        const auto body = jsonBody(req);
        if (!body || !body->value(key("serverId")).isString()) return replyMessage(res, 400, "Geçersiz istek");
        const QString id = body->value(key("serverId")).toString();
        for (const QJsonValue& v : scenario.value(key("servers")).toArray()) {
            const QJsonObject server = v.toObject();
            if (server.value(key("id")).toString() != id) continue;
            QJsonObject reply{{key("server"), server},
                              {key("exitIp"), scenario.value(key("exitIps")).toObject().value(id).toString(
                                                  QStringLiteral("198.51.100.1"))}};
            const QJsonValue gateway = scenario.value(key("gateways")).toObject().value(id);
            if (gateway.isObject()) reply.insert(key("gateway"), gateway);
            std::lock_guard lock(m_mutex);
            if (m_linked) {
                // The tunnel comes up right after this reply; a lookup from then on goes through it.
                m_tunnelUp = true;
                m_exitGeo = QJsonObject{{key("ip"), reply.value(key("exitIp"))},
                                        {key("city"), server.value(key("city"))},
                                        {key("countryCode"), server.value(key("countryCode"))}};
            }
            return replyJson(res, 200, reply);
        }
        replyMessage(res, 404, "Sunucu bulunamadı");
    }

    static void serveFile(const QString& path, httplib::Response& res) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return replyMessage(res, 404, "Bulunamadı");
        res.set_content(f.readAll().toStdString(), fileType);
    }

    void control(const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(m_mutex);
        if (req.method == "GET" && req.path == "/__control/requests") return replyJson(res, 200, m_requests);
        if (req.method == "POST" && req.path == "/__control/reset") {
            m_requests = QJsonArray();
            return replyJson(res, 200, QJsonObject{{key("ok"), true}});
        }
        if (req.method == "POST" && req.path == "/__control/scenario") {
            const auto body = jsonBody(req);
            if (!body) return replyMessage(res, 400, "scenario must be a JSON object");
            m_scenario = *body;
            m_overrideUses.clear();
            return replyJson(res, 200, QJsonObject{{key("ok"), true}});
        }
        if (req.method == "POST" && req.path == "/__control/tunnel") {
            const auto body = jsonBody(req);
            if (!body || !body->value(key("up")).isBool()) return replyMessage(res, 400, "tunnel needs {\"up\": BOOL}");
            m_linked = true;
            m_tunnelUp = body->value(key("up")).toBool();
            return replyJson(res, 200, QJsonObject{{key("ok"), true}});
        }
        replyMessage(res, 404, "unknown control request");
    }
};

int usage() {
    std::fprintf(stderr, "usage: kestrava-devservice --scenario FILE [--port N] [--host ADDRESS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string scenarioPath;
    std::string host = "127.0.0.1";
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        if (a == "--scenario") scenarioPath = argv[++i];
        else if (a == "--port") port = std::atoi(argv[++i]);
        else if (a == "--host") host = argv[++i];
        else return usage();
    }
    if (scenarioPath.empty() || port < 0 || port > 65535) return usage();

    QFile file(QString::fromStdString(scenarioPath));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", scenarioPath.c_str());
        return 1;
    }
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) {
        std::fprintf(stderr, "%s: not a JSON object: %s\n", scenarioPath.c_str(), err.errorString().toUtf8().constData());
        return 1;
    }

    // Signals are taken by one thread with sigwait, so stopping is never done inside a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Service service;
    service.setScenario(doc.object());
    httplib::Server server;
    // Enough workers that slow replies and idle keep-alive connections never starve a test.
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    // Headers and body go out in separate writes; without this each reply waits on a delayed ACK.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_timeout(2);
    const auto handler = [&service](const httplib::Request& req, httplib::Response& res) { service.handle(req, res); };
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Patch(".*", handler);
    server.Delete(".*", handler);
    server.Options(".*", handler);

    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        std::fprintf(stderr, "cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    std::printf("listening on http://%s:%d\n", host.c_str(), bound);
    std::fflush(stdout);

    std::thread stopper([&server, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.stop();
    });
    const bool ok = server.listen_after_bind();
    // listen can also end on its own (socket error); wake the stopper so it can be joined.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return ok ? 0 : 1;
}
