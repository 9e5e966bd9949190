#pragma once

#include "vpn/vpn_facility.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <unistd.h>

// What a command printed (stdout and stderr together) and how it ended; -1 when it did not start, was
// killed at its limit, or crashed.
struct Run {
    int exitCode = -1;
    QByteArray output;
};
// extraEnv: NAME=VALUE entries added to this process's environment for the command.
Run run(const QString& program, const QStringList& args, int limitMs = 30'000, const QStringList& extraEnv = {});

// Where each kind of traffic went in one run of wire-probe.sh: "tunnel", "clear" or "blocked" for a
// ping to the outside host of each family and a name lookup; other counts further packets in clear.
struct WireReport {
    QString v4, v6, dns;
    int other = -1;
    QByteArray details; // the probe's whole output, for failure messages
    QString row() const { return QStringLiteral("v4=%1 v6=%2 dns=%3").arg(v4, v6, dns); }
};

// Waits, bounded, for the facility to report wanted; each status it passes through lands in seen.
bool waitForStatus(VpnFacility& facility, VpnStatus wanted, QList<VpnStatus>* seen = nullptr, int limitMs = 20'000);
// Stops a tunnel that is up or on its way and removes the profile: what the next case expects.
void leaveNothing(VpnFacility& facility);

// One of the network-namespace set-ups in tests/vpn/netns (a gateway and a client), brought up by its
// script and read from the environment file the script writes. Needs root.
class NetnsPair {
public:
    // script: the set-up's script; dir: where it keeps its state; envFile: its environment file's name.
    // upEnv: NAME=VALUE entries for the script's "up" (WIRE=yes, GW_IPV6=yes).
    NetnsPair(QString script, QString dir, QString envFile, QStringList upEnv = {});
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    // Runs "script up"; the script's own exit code (77: cannot run here) and output on failure.
    Run up(int limitMs = 30'000);
    // Reads the environment file of a set-up that another process brought up (and will take down).
    bool load();
    bool isUp() const { return m_up; }
    QString env(const char* key) const { return m_env.value(QLatin1String(key)); }
    QString dir() const { return m_dir; }

    Run inClient(const QStringList& command, int limitMs = 30'000) const;
    // Whether the address behind the gateway answers a ping from the client: the tunnel carries traffic.
    bool tunnelAddressAnswers() const;
    // For a WIRE=yes set-up: wire-probe.sh, with resolvConf standing for the client's /etc/resolv.conf
    // when given.
    WireReport probeWire(const QString& resolvConf = {}) const;

private:
    QString m_script;
    QString m_dir;
    QString m_envFile;
    QStringList m_upEnv;
    QMap<QString, QString> m_env;
    bool m_up = false;
};

// For initTestCase: brings the pair up; skips without root or where the set-up cannot run (exit 77).
#define NETNS_PAIR_UP(pair, limitMs) \
    do { \
        if (::geteuid() != 0) QSKIP("needs root: creates network namespaces"); \
        const Run up_ = (pair).up(limitMs); \
        if (up_.exitCode == 77) QSKIP(qPrintable(QStringLiteral("cannot set up here: ") + QString::fromUtf8(up_.output))); \
        QVERIFY2(up_.exitCode == 0, up_.output.constData()); \
    } while (false)
