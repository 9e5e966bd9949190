#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// Runs the stand-in service as a child process on 127.0.0.1 and talks to its control API with a
// plain blocking socket, so the harness never shares the event loop or the network stack under test.
class DevService {
public:
    DevService() = default;
    ~DevService();
    DevService(const DevService&) = delete;
    DevService& operator=(const DevService&) = delete;

    bool start(const QJsonObject& scenario, const QStringList& extraArgs = {});
    void stop();
    bool isRunning() const;

    QString origin() const { return m_origin; }
    int port() const { return m_port; }

    bool setScenario(const QJsonObject& scenario);
    bool clearRequests();
    QJsonArray requests();
    QJsonArray requests(const QString& method, const QString& path);

    struct Reply {
        int status = 0;
        QByteArray body;
    };
    // One request to the service over a fresh connection; status 0 when it could not be reached.
    Reply call(const QByteArray& method, const QByteArray& target, const QByteArray& body = {},
               const QList<QPair<QByteArray, QByteArray>>& headers = {}) const;

private:
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_origin;
    int m_port = 0;
};
