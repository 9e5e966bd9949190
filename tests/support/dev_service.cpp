#include "support/dev_service.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>

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
    static const QRegularExpression listening(QStringLiteral("listening on (http://[^:]+:(\\d+))"));
    const QDeadlineTimer deadline(15'000);
    while (!deadline.hasExpired() && m_process->waitForReadyRead(int(deadline.remainingTime()))) {
        while (m_process->canReadLine()) {
            const auto m = listening.match(QString::fromUtf8(m_process->readLine()));
            if (!m.hasMatch()) continue;
            m_origin = m.captured(1);
            m_port = m.captured(2).toInt();
            return true;
        }
    }
    qWarning("stand-in service did not report its port: %s", qPrintable(m_process->errorString()));
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
    QTcpSocket socket;
    if (m_port) socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
    if (!socket.waitForConnected(30'000)) return {};
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    socket.write(request + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    // The service closes the connection after its reply.
    QByteArray raw;
    const QDeadlineTimer deadline(30'000);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        socket.waitForReadyRead(int(deadline.remainingTime()));
        raw += socket.readAll();
    }
    raw += socket.readAll();
    const qsizetype split = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/1.1 ") || split < 0) return {};
    return {raw.mid(9, 3).toInt(), raw.mid(split + 4)};
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
    for (const QJsonValue& v : requests())
        if (v[QStringLiteral("method")] == method && v[QStringLiteral("path")] == path) out.append(v);
    return out;
}
