#include "app/process/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int answerLimitMs = 300;
const QByteArray request = "quit\n";
const QByteArray answer = "ok\n";

QString commandName(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).trimmed();
}

// Only a process of this user running this program may be killed.
bool isOurCopy(qint64 pid) {
    struct stat st {};
    if (::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &st) != 0) return false;
    if (st.st_uid != ::getuid()) return false;
    return commandName(pid) == commandName(QCoreApplication::applicationPid());
}

bool alive(qint64 pid) { return ::kill(pid_t(pid), 0) == 0 || errno == EPERM; }

} // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent) : QObject(parent), m_folder(std::move(folder)) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = m_server.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QObject::connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine()) {
                    if (peer->bytesAvailable() > 64) peer->abort();
                    return;
                }
                if (peer->readLine(64) == request) {
                    peer->write(answer);
                    peer->flush();
                    Q_EMIT quitRequested();
                }
                peer->disconnectFromServer();
            });
        }
    });
}

SingleInstance::~SingleInstance() {
    // Our socket carries our pid, so removing it cannot touch a newer copy's.
    m_server.close();
    QFile::remove(socketPath());
}

QString SingleInstance::defaultFolder() {
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) runtime = QDir::tempPath() + QStringLiteral("/kestrava-%1").arg(::getuid());
    return runtime + QStringLiteral("/kestrava");
}

QString SingleInstance::socketPath() const {
    return m_folder + QStringLiteral("/instance-%1.sock").arg(QCoreApplication::applicationPid());
}

int SingleInstance::claim() {
    QDir().mkpath(m_folder);
    QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    int ended = 0;
    const QStringList entries = QDir(m_folder).entryList({QStringLiteral("instance-*.sock")}, QDir::System | QDir::Files);
    for (const QString& name : entries) {
        bool ok = false;
        const qint64 pid = name.mid(9, name.size() - 9 - 5).toLongLong(&ok);
        if (!ok || pid <= 0 || pid == QCoreApplication::applicationPid()) continue;
        const QString path = m_folder + QLatin1Char('/') + name;
        if (!alive(pid)) {
            QFile::remove(path);
            continue;
        }
        endOlderCopy(pid, path);
        ++ended;
    }
    const QString own = socketPath();
    QFile::remove(own);
    m_server.listen(own);
    return ended;
}

void SingleInstance::endOlderCopy(qint64 pid, const QString& path) {
    QLocalSocket socket;
    socket.connectToServer(path);
    bool answered = false;
    if (socket.waitForConnected(answerLimitMs)) {
        socket.write(request);
        socket.flush();
        // The kernel accepts a connection even for a hung copy; only its answer shows it is alive.
        for (int i = 0; i < 3 && !answered && socket.waitForReadyRead(answerLimitMs); ++i) {
            if (socket.canReadLine()) answered = socket.readLine(64) == answer;
        }
    }
    if (answered) return; // it removes its own socket as it ends
    // A socket left by a copy whose pid now belongs to another program goes, the program stays.
    if (isOurCopy(pid)) ::kill(pid_t(pid), SIGKILL);
    QFile::remove(path);
}
