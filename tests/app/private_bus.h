#pragma once

#include <QProcess>
#include <QString>
#include <QTest>

#include <csignal>

// A session bus of the test's own (a real dbus-daemon), ended with the test.
class PrivateBus {
public:
    bool start() {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(5000)) return false;
        if (!QTest::qWaitFor([&] { return m_daemon.canReadLine(); }, 10'000)) return false;
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        return !m_address.isEmpty();
    }
    ~PrivateBus() {
        if (m_daemon.state() == QProcess::NotRunning) return;
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
    QString address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};
