#include "support/dev_service.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>

namespace {
constexpr int startLimitMs = 15'000;
constexpr int callLimitMs = 30'000;
} // namespace

DevService::~DevService() { stop(); }

bool DevService::start(const QJsonObject& scenario, const QStringList& extraArgs) {
    stop();
    m_dir = std::make_unique<QTemporaryDir>();
    const QString path = m_dir->filePath(QStringLiteral("scenario.json"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(scenario).toJson()) < 0) return false;
    f.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral(KESTRAVA_DEVSERVICE_PATH),
                     QStringList{QStringLiteral("--scenario"), path, QStringLiteral("--port"), QStringLiteral("0")} + extraArgs);
    if (!m_process->waitForStarted(startLimitMs)) {
        qWarning("stand-in service did not start: %s", qPrintable(m_process->errorString()));
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on (http://[^:]+:(\\d+))"));
    QByteArray out;
    QDeadlineTimer deadline(startLimitMs);
    while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
        if (!m_process->canReadLine()) m_process->waitForReadyRead(int(deadline.remainingTime()));
        while (m_process->canReadLine()) {
            const QString line = QString::fromUtf8(m_process->readLine()).trimmed();
            const auto m = listening.match(line);
            if (m.hasMatch()) {
                m_origin = m.captured(1);
                m_port = m.captured(2).toInt();
                return true;
            }
        }
    }
    qWarning("stand-in service did not report its port");
    stop();
    return false;
}

void DevService::stop() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5'000)) {
            m_process->kill();
            m_process->waitForFinished(5'000);
        }
    }
    m_process.reset();
    m_origin.clear();
    m_port = 0;
}

bool DevService::isRunning() const { return m_process && m_process->state() == QProcess::Running; }

DevService::Reply DevService::call(const QByteArray& method, const QByteArray& target, const QByteArray& body,
                                   const QList<QPair<QByteArray, QByteArray>>& headers) const {
    Reply reply;
    if (!m_port) return reply;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
    if (!socket.waitForConnected(callLimitMs)) return reply;
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    socket.write(request);
    QByteArray raw;
    QDeadlineTimer deadline(callLimitMs);
    while (!deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime()))) {
            raw += socket.readAll();
            if (socket.state() != QAbstractSocket::ConnectedState) break;
            continue;
        }
        raw += socket.readAll();
    }
    const qsizetype split = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/1.1 ") || split < 0) return reply;
    reply.status = raw.mid(9, 3).toInt();
    reply.body = raw.mid(split + 4);
    return reply;
}

bool DevService::setScenario(const QJsonObject& scenario) {
    return call("POST", "/__control/scenario", QJsonDocument(scenario).toJson(QJsonDocument::Compact),
                {{"Content-Type", "application/json"}})
               .status == 200;
}

bool DevService::clearRequests() { return call("POST", "/__control/reset").status == 200; }

QJsonArray DevService::requests() {
    const Reply r = call("GET", "/__control/requests");
    return r.status == 200 ? QJsonDocument::fromJson(r.body).array() : QJsonArray();
}

QJsonArray DevService::requests(const QString& method, const QString& path) {
    QJsonArray out;
    for (const QJsonValue& v : requests()) {
        const QJsonObject o = v.toObject();
        if (o.value(QStringLiteral("method")).toString() == method && o.value(QStringLiteral("path")).toString() == path)
            out.append(o);
    }
    return out;
}

QJsonObject DevService::lastRequest(const QString& path) {
    const QJsonArray all = requests();
    for (auto it = all.end(); it != all.begin();) {
        --it;
        if (it->toObject().value(QStringLiteral("path")).toString() == path) return it->toObject();
    }
    return QJsonObject();
}
