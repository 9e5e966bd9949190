// downloadAndInstall over the stand-in service, with recording stand-ins for the image tools on PATH:
// the "image" is a text file naming a folder that the stand-in attach copies to the mount point.
#include "update/installer.h"
#include "update/bundle.h"

#include "support/await.h"
#include "support/service_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& data, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
    f.close();
    if (executable) f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A program file shaped as a row asks, from a real program of this machine: "elf" as it is, "missing",
// "empty", "random" bytes, "cut" in half, "other-arch" (its machine field changed), "not-executable",
// or a "script".
void writeProgram(const QString& path, const QString& shape) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    if (shape == QLatin1String("missing")) return;
    const QByteArray elf = readFile(QStringLiteral("/bin/true"));
    QVERIFY(elf.startsWith("\x7f" "ELF"));
    QByteArray data = elf;
    if (shape == QLatin1String("empty")) data.clear();
    if (shape == QLatin1String("cut")) data = elf.left(elf.size() / 2);
    if (shape == QLatin1String("script")) data = "#!/bin/sh\necho ran\n";
    if (shape == QLatin1String("random")) {
        QRandomGenerator random(42);
        data.resize(4096);
        random.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    }
    if (shape == QLatin1String("other-arch")) {
        quint16 machine = 0;
        std::memcpy(&machine, data.constData() + 18, 2);
        machine = machine == 183 ? 62 : 183; // AArch64, or x86-64 where we are AArch64
        std::memcpy(data.data() + 18, &machine, 2);
    }
    writeFile(path, data, shape != QLatin1String("not-executable"));
}

// A bundle folder of the given version with a real program of this machine.
void writeBundle(const QString& root, const QByteArray& version) {
    writeProgram(root + QStringLiteral("/bin/kestrava"), QStringLiteral("elf"));
    writeFile(root + QStringLiteral("/Info.json"), "{\"version\": \"" + version + "\"}");
}

// Each stand-in appends "name<TAB>arg<TAB>arg..." to $STANDIN_LOG.
const QByteArray recordLine = R"SH(printf '%s' "$(basename "$0")" >> "$STANDIN_LOG"; for a in "$@"; do printf '\t%s' "$a" >> "$STANDIN_LOG"; done; printf '\n' >> "$STANDIN_LOG"
)SH";

const QByteArray attachTool = "#!/bin/sh\n" + recordLine + R"SH(
# An image is a file starting with "IMAGE:" and the folder whose contents it holds.
head=$(/usr/bin/head -c 6 "$1")
[ "$head" = "IMAGE:" ] || exit 1
src=$(/usr/bin/tail -c +7 "$1")
# Only the test's own image folders: a cut image must never name something else to copy.
case "$src" in "$STANDIN_IMAGES"/?*) ;; *) exit 1 ;; esac
[ -d "$src" ] && [ -z "$(/bin/ls -A "$2")" ] || exit 1
/bin/cp -a "$src"/. "$2"/ || exit 1
/usr/bin/touch "$2/.standin-mounted"
)SH";

const QByteArray detachTool = "#!/bin/sh\n" + recordLine + R"SH(
[ "$1" = -u ] && [ "$2" = -q ] || exit 2
[ -e "$3/.standin-mounted" ] || exit 1
/usr/bin/find "$3" -mindepth 1 -delete
)SH";

const QByteArray copyTool = "#!/bin/sh\n" + recordLine + R"SH(
if [ -n "$STANDIN_CP_FAIL" ]; then
    # Half a copy, then a failure.
    /bin/mkdir -p "$4" && /usr/bin/touch "$4/partial"
    exit 1
fi
exec /bin/cp "$@"
)SH";

// The hand-off is detached: it records the script in a file of its own, whenever it gets to run, and
// what its standard streams and the test's extra descriptor are.
const QByteArray shellTool = R"SH(#!/bin/sh
streams=$(for fd in 0 1 2 $STANDIN_EXTRA_FD; do printf '%s=%s ' "$fd" "$(/bin/readlink /proc/$$/fd/$fd)"; done)
printf '%s' "$streams" > "$STANDIN_LOG.streams"
printf '%s' "$2" > "$STANDIN_LOG.script.tmp" && /bin/mv "$STANDIN_LOG.script.tmp" "$STANDIN_LOG.script"
)SH";

// A descriptor this process leaves open across exec, as a caller's pipe would be.
constexpr int extraFd = 100;

// An https server on loopback: each path answers with a file or a redirect, then the connection closes.
class TlsServer {
public:
    QMap<QByteArray, QByteArray> replies; // path -> the whole HTTP reply

    bool start(const QString& certFile, const QString& keyFile) {
        QFile cert(certFile);
        QFile key(keyFile);
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) return false;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificate(QSslCertificate(&cert));
        conf.setPrivateKey(QSslKey(&key, QSsl::Ec));
        m_server.setSslConfiguration(conf);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] { accept(); });
        return m_server.listen(QHostAddress::LocalHost);
    }
    QString origin() const { return QStringLiteral("https://127.0.0.1:%1").arg(m_server.serverPort()); }

    static QByteArray file(const QByteArray& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    static QByteArray redirect(const QString& to) {
        return "HTTP/1.1 302 Found\r\nLocation: " + to.toUtf8() + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }

private:
    QSslServer m_server;

    void accept() {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            auto* buffer = new QByteArray;
            QObject::connect(s, &QObject::destroyed, [buffer] { delete buffer; });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                *buffer += s->readAll();
                if (!buffer->contains("\r\n\r\n")) return;
                const QByteArray path = buffer->split(' ').value(1);
                s->write(replies.value(path, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"));
                s->disconnectFromHost();
            });
        }
    }
};

} // namespace

class InstallerTest : public QObject {
    Q_OBJECT
    DevService m_service;
    TlsServer m_tls;
    QTemporaryDir m_dir;
    QString m_log;
    int m_terminations = 0;

    QString path(const QString& rel) const { return m_dir.path() + QLatin1Char('/') + rel; }

    Updater::InstallPlan plan() {
        Updater::InstallPlan p;
        p.imageDir = path(QStringLiteral("tmp"));
        p.mountPoint = path(QStringLiteral("run/kestrava-update-mount"));
        p.installedApp = path(QStringLiteral("home/Applications/Kestrava.app"));
        p.processId = 4242;
        p.terminate = [this] { ++m_terminations; };
        return p;
    }

    // A folder standing for an image's contents; the image file names it.
    QString makeImage(const QString& name, const QStringList& entries) {
        const QString root = path(QStringLiteral("images/") + name);
        QDir(root).removeRecursively();
        QDir().mkpath(root);
        for (const QString& e : entries) {
            if (e.endsWith(QLatin1String(".app"))) {
                writeBundle(root + QLatin1Char('/') + e, name.toUtf8());
            } else {
                writeFile(root + QLatin1Char('/') + e, "text");
            }
        }
        const QString image = path(QStringLiteral("served/") + name);
        writeFile(image, "IMAGE:" + root.toUtf8());
        return image;
    }

    void serve(const QString& urlPath, const QString& file) {
        QJsonObject scenario = basicScenario();
        if (!file.isEmpty()) scenario.insert(QStringLiteral("files"), QJsonObject{{urlPath, file}});
        QVERIFY(m_service.setScenario(scenario));
        m_service.clearRequests();
    }

    QList<QStringList> toolRuns() {
        QList<QStringList> runs;
        for (const QByteArray& line : readFile(m_log).split('\n'))
            if (!line.isEmpty()) runs.append(QString::fromUtf8(line).split(QLatin1Char('\t')));
        return runs;
    }
    QStringList toolNames() {
        QStringList names;
        for (const QStringList& r : toolRuns()) names.append(r.first());
        return names;
    }

    Result<void> install(const QString& version, const QString& url) { return install(version, url, plan()); }
    Result<void> install(const QString& version, const QString& url, Updater::InstallPlan p) {
        return awaitTask(Updater::downloadAndInstall(Updater::Info{version, url, std::nullopt}, std::move(p)));
    }

    QStringList leftInTmp() const {
        return QDir(path(QStringLiteral("tmp"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(startServiceForProcess(m_service));
        QVERIFY(m_dir.isValid());
        const QString bin = path(QStringLiteral("bin"));
        writeFile(bin + QStringLiteral("/squashfuse"), attachTool, true);
        writeFile(bin + QStringLiteral("/fusermount3"), detachTool, true);
        writeFile(bin + QStringLiteral("/cp"), copyTool, true);
        writeFile(bin + QStringLiteral("/sh"), shellTool, true);
        qputenv("PATH", (bin + QLatin1Char(':')).toUtf8() + qgetenv("PATH"));
        m_log = path(QStringLiteral("tools.log"));
        qputenv("STANDIN_LOG", m_log.toUtf8());
        qputenv("STANDIN_IMAGES", path(QStringLiteral("images")).toUtf8());
        int pipeFds[2];
        QVERIFY(::pipe(pipeFds) == 0);
        QCOMPARE(::dup2(pipeFds[1], extraFd), extraFd);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        qputenv("STANDIN_EXTRA_FD", QByteArray::number(extraFd));

        // A certificate of our own for the https server, trusted by this process only.
        const QString cert = path(QStringLiteral("tls/cert.pem"));
        const QString key = path(QStringLiteral("tls/key.pem"));
        QDir().mkpath(path(QStringLiteral("tls")));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                       QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                       QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"), key,
                       QStringLiteral("-out"), cert});
        QVERIFY2(openssl.waitForFinished(30'000) && openssl.exitCode() == 0, openssl.readAllStandardError().constData());
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(cert);
        QSslConfiguration::setDefaultConfiguration(trusted);
        QVERIFY(m_tls.start(cert, key));
    }

    void init() {
        QFile::remove(m_log);
        QFile::remove(m_log + QStringLiteral(".script"));
        QFile::remove(m_log + QStringLiteral(".streams"));
        qunsetenv("STANDIN_CP_FAIL");
        m_terminations = 0;
        QDir(path(QStringLiteral("home"))).removeRecursively();
        QDir(path(QStringLiteral("tmp"))).removeRecursively();
        QDir().mkpath(path(QStringLiteral("tmp")));
        QDir(path(QStringLiteral("run"))).removeRecursively();
    }

    void installsTheImagesBundleUnderOurName() {
        const QString image = makeImage(QStringLiteral("2.0.0"), {QStringLiteral("README.txt"), QStringLiteral("Other.app")});
        serve(QStringLiteral("/desktop/Kestrava-2.0.0.sqfs"), image);
        writeFile(path(QStringLiteral("home/Applications/Kestrava.app/Info.json")), "{\"version\": \"1.0.0\"}");
        const Result<void> r = install(QStringLiteral("2.0.0"), m_service.origin() + QStringLiteral("/desktop/Kestrava-2.0.0.sqfs"));
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message));
        QCOMPARE(m_terminations, 1);
        QCOMPARE(readFile(path(QStringLiteral("home/Applications/Kestrava.app/Info.json"))), QByteArray("{\"version\": \"2.0.0\"}"));
        QVERIFY(QFileInfo(path(QStringLiteral("home/Applications/Kestrava.app/bin/kestrava"))).isExecutable());
        // Nothing left beside it: no staging copy, no old bundle.
        QCOMPARE(QDir(path(QStringLiteral("home/Applications"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Kestrava.app")});
        // The image stays under its versioned name.
        QCOMPARE(readFile(path(QStringLiteral("tmp/Kestrava-update-2.0.0.squashfs"))), readFile(image));

        const QString mp = plan().mountPoint;
        const QList<QStringList> runs = toolRuns();
        QCOMPARE(toolNames(), (QStringList{QStringLiteral("fusermount3"), QStringLiteral("squashfuse"), QStringLiteral("cp"),
                                           QStringLiteral("fusermount3")}));
        QCOMPARE(runs[0], (QStringList{QStringLiteral("fusermount3"), QStringLiteral("-u"), QStringLiteral("-q"), mp}));
        QCOMPARE(runs[1], (QStringList{QStringLiteral("squashfuse"), path(QStringLiteral("tmp/Kestrava-update-2.0.0.squashfs")), mp}));
        QCOMPARE(runs[2].mid(0, 3), (QStringList{QStringLiteral("cp"), QStringLiteral("-a"), QStringLiteral("--")}));
        QCOMPARE(runs[2][3], mp + QStringLiteral("/Other.app"));
        QCOMPARE(runs[3], runs[0]); // the clean-up detach
        const QString script = m_log + QStringLiteral(".script");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(script), 10'000);
        QCOMPARE(QString::fromUtf8(readFile(script)),
                 Updater::handOffScript(4242, QStringLiteral("fusermount3"), mp, plan().installedApp));
        // Nothing of ours: whoever reads our output sees its end when we quit, not when the new copy does.
        QCOMPARE(readFile(m_log + QStringLiteral(".streams")),
                 QByteArray("0=/dev/null 1=/dev/null 2=/dev/null ") + QByteArray::number(extraFd) + "= ");
        QVERIFY(!QFileInfo::exists(mp));
    }

    void handOffScript() {
        const QString script = Updater::handOffScript(31337, QStringLiteral("fusermount3"), QStringLiteral("/run/user/1000/m"),
                                                      QStringLiteral("/home/o'neil/Applications/Kestrava.app"));
        const QStringList lines = script.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("while kill -0 31337 2>/dev/null; do sleep 0.5; done"));
        QCOMPARE(lines[1], QStringLiteral("'fusermount3' -u -q '/run/user/1000/m' 2>/dev/null"));
        // A quote in the home folder's name cannot end the quoting.
        QCOMPARE(lines[2], QStringLiteral("'/home/o'\\''neil/Applications/Kestrava.app/bin/kestrava'"));
    }

    void failures_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url");      // "SERVICE" is replaced by the stand-in's origin
        QTest::addColumn<QStringList>("image"); // entries; empty: nothing served at the path
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("tools");
        const QStringList attachedRun{QStringLiteral("fusermount3"), QStringLiteral("squashfuse"), QStringLiteral("fusermount3")};
        QTest::newRow("empty url") << QStringLiteral("2.0") << QString() << QStringList() << QStringLiteral("Güncelleme indirilemedi")
                                   << QStringList();
        QTest::newRow("malformed url") << QStringLiteral("2.0") << QStringLiteral("ht tp://x y") << QStringList()
                                       << QStringLiteral("Güncelleme indirilemedi") << QStringList();
        QTest::newRow("file url") << QStringLiteral("2.0") << QStringLiteral("file:///etc/passwd") << QStringList()
                                  << QStringLiteral("Güncelleme indirilemedi") << QStringList();
        QTest::newRow("version climbing out") << QStringLiteral("../../x") << QStringLiteral("SERVICE/img") << QStringList()
                                              << QStringLiteral("Güncelleme indirilemedi") << QStringList();
        QTest::newRow("version with a slash") << QStringLiteral("2.0/evil") << QStringLiteral("SERVICE/img") << QStringList()
                                              << QStringLiteral("Güncelleme indirilemedi") << QStringList();
        QTest::newRow("version with nothing usable") << QStringLiteral("***") << QStringLiteral("SERVICE/img") << QStringList()
                                                     << QStringLiteral("Güncelleme indirilemedi") << QStringList();
        QTest::newRow("404 page saved, attach fails")
            << QStringLiteral("2.0") << QStringLiteral("SERVICE/missing") << QStringList() << QStringLiteral("Güncelleme görüntüsü açılamadı")
            << QStringList{QStringLiteral("fusermount3"), QStringLiteral("squashfuse")};
        QTest::newRow("no bundle, still detached")
            << QStringLiteral("2.0") << QStringLiteral("SERVICE/img") << QStringList{QStringLiteral("notes.txt")}
            << QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı") << attachedRun;
        QTest::newRow("a file named .app is no bundle")
            << QStringLiteral("2.0") << QStringLiteral("SERVICE/img") << QStringList{QStringLiteral("fake.app.txt")}
            << QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı") << attachedRun;
        QTest::newRow("service unreachable") << QStringLiteral("2.0") << QStringLiteral("http://127.0.0.1:9/img") << QStringList()
                                             << QStringLiteral("Connection refused") << QStringList();
    }
    void failures() {
        QFETCH(QString, version);
        QFETCH(QString, url);
        QFETCH(QStringList, image);
        QFETCH(QString, text);
        QFETCH(QStringList, tools);
        serve(QStringLiteral("/img"), image.isEmpty() ? QString() : makeImage(QStringLiteral("f"), image));
        url.replace(QLatin1String("SERVICE"), m_service.origin());
        const Result<void> r = install(version, url);
        QVERIFY(!r.ok());
        QCOMPARE(r.error().message, text);
        QCOMPARE(toolNames(), tools);
        QCOMPARE(m_terminations, 0);
        QVERIFY(!QFileInfo::exists(m_log + QStringLiteral(".script"))); // no hand-off
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("home/Applications"))));
        QCOMPARE(leftInTmp(), QStringList());
        if (text == QLatin1String("Güncelleme indirilemedi") && !url.contains(QLatin1String("127.0.0.1:9")))
            QCOMPARE(m_service.requests().size(), 0); // refused before any traffic
        // Nothing was written outside the image folder.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("x"))));
    }

    // Whatever part of the image came is neither attached nor kept.
    void brokenTransfer_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("why"); // the platform's text, or the detail of our own refusal
        QTest::addColumn<bool>("platform");
        QTest::newRow("closed after the headers") << QJsonObject{{QStringLiteral("dropConnection"), true}}
                                                  << QStringLiteral("Connection closed") << true;
        QTest::newRow("closed after 10 bytes") << QJsonObject{{QStringLiteral("dropAfterBytes"), 10}}
                                               << QStringLiteral("Connection closed") << true;
        QTest::newRow("stalls past the time-out")
            << QJsonObject{{QStringLiteral("trickle"), QJsonObject{{QStringLiteral("chunk"), QStringLiteral("IMAGE:")},
                                                                   {QStringLiteral("intervalMs"), 3000},
                                                                   {QStringLiteral("count"), 2}}}}
            << QStringLiteral("Operation canceled") << true;
        QTest::newRow("chunked, promising more than it sends")
            << QJsonObject{{QStringLiteral("headers"), QJsonObject{{QStringLiteral("Content-Length"), QStringLiteral("100")}}},
                           {QStringLiteral("trickle"), QJsonObject{{QStringLiteral("chunk"), QStringLiteral("IMAGE:")},
                                                                   {QStringLiteral("intervalMs"), 1},
                                                                   {QStringLiteral("count"), 1}}}}
            << QStringLiteral("100 bayttan 6 bayt geldi") << false;
    }
    void brokenTransfer() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, why);
        QFETCH(bool, platform);
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("files"),
                        QJsonObject{{QStringLiteral("/img"), makeImage(QStringLiteral("6.0"), {QStringLiteral("Kestrava.app")})}});
        reply.insert(QStringLiteral("path"), QStringLiteral("/img"));
        scenario.insert(QStringLiteral("overrides"), QJsonArray{reply});
        QVERIFY(m_service.setScenario(scenario));
        Updater::InstallPlan p = plan();
        p.transferStall = std::chrono::milliseconds(1000);
        const Result<void> r = install(QStringLiteral("6.0"), m_service.origin() + QStringLiteral("/img"), p);
        QVERIFY(!r.ok());
        // A transport failure is the platform's own; a reply short of its length is ours to refuse.
        if (platform) {
            QCOMPARE(r.error().message, why);
            QCOMPARE(r.error().kind, Error::Kind::Transport);
        } else {
            QCOMPARE(r.error().message, QStringLiteral("Güncelleme indirilemedi"));
            QCOMPARE(r.error().code, int(Updater::UpdateError::download));
            QCOMPARE(r.error().detail, why);
        }
        QVERIFY(!toolNames().contains(QStringLiteral("squashfuse")));
        QCOMPARE(leftInTmp(), QStringList());
        QCOMPARE(m_terminations, 0);
    }

    // An https website only sends us to https images, except on this machine; no redirect lands on http
    // from https. Refused before the image is asked for.
    void imageSource_data() {
        QTest::addColumn<QString>("origin"); // "SERVICE" and "TLS" stand for the two servers' origins
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("text"); // empty: installed
        const QString site = QStringLiteral("https://kestrava.example");
        const QString insecure = QStringLiteral("Güncelleme indirilemedi");
        QTest::newRow("https site, http image") << site << QStringLiteral("http://cdn.kestrava.invalid/img") << insecure;
        QTest::newRow("https site, https image") << site << QStringLiteral("TLS/img") << QString();
        QTest::newRow("https site, http image on loopback") << site << QStringLiteral("SERVICE/img") << QString();
        QTest::newRow("https site, http image on IPv6 loopback")
            << site << QStringLiteral("http://[::1]:9/img") << QStringLiteral("Connection refused");
        QTest::newRow("http site, http image elsewhere")
            << QStringLiteral("SERVICE") << QStringLiteral("http://cdn.kestrava.invalid/img")
            << QStringLiteral("Host cdn.kestrava.invalid not found");
        QTest::newRow("https site, https image redirected to http on loopback") << site << QStringLiteral("TLS/down") << insecure;
        QTest::newRow("http site, https image redirected to http on loopback")
            << QStringLiteral("SERVICE") << QStringLiteral("TLS/down") << insecure;
        QTest::newRow("https site, http image on loopback redirected elsewhere")
            << site << QStringLiteral("SERVICE/away") << insecure;
    }
    void imageSource() {
        QFETCH(QString, origin);
        QFETCH(QString, url);
        QFETCH(QString, text);
        const QString image = makeImage(QStringLiteral("7.0"), {QStringLiteral("Kestrava.app")});
        QJsonObject scenario = basicScenario();
        scenario.insert(QStringLiteral("files"), QJsonObject{{QStringLiteral("/img"), image}});
        scenario.insert(QStringLiteral("overrides"),
                        QJsonArray{QJsonObject{{QStringLiteral("path"), QStringLiteral("/away")},
                                               {QStringLiteral("status"), 302},
                                               {QStringLiteral("headers"), QJsonObject{{QStringLiteral("Location"),
                                                                                        QStringLiteral("http://cdn.kestrava.invalid/img")}}}}});
        QVERIFY(m_service.setScenario(scenario));
        QVERIFY(m_service.clearRequests());
        m_tls.replies = {{"/img", TlsServer::file(readFile(image))},
                         {"/down", TlsServer::redirect(m_service.origin() + QStringLiteral("/img"))}};
        for (QString* s : {&origin, &url}) {
            s->replace(QLatin1String("SERVICE"), m_service.origin());
            s->replace(QLatin1String("TLS"), m_tls.origin());
        }
        Updater::InstallPlan p = plan();
        p.webOrigin = QUrl(origin);
        const Result<void> r = install(QStringLiteral("7.0"), url, p);
        QCOMPARE(r.ok() ? QString() : r.error().message, text);
        if (text.isEmpty()) {
            QCOMPARE(readFile(path(QStringLiteral("home/Applications/Kestrava.app/Info.json"))), QByteArray("{\"version\": \"7.0\"}"));
        } else {
            // Refused by us, as a download failure; what the network said, unchanged.
            if (r.error().kind == Error::Kind::Update) QCOMPARE(r.error().code, int(Updater::UpdateError::download));
            else QCOMPARE(r.error().kind, Error::Kind::Transport);
            QCOMPARE(m_service.requests(QStringLiteral("GET"), QStringLiteral("/img")).size(), 0);
            QCOMPARE(leftInTmp(), QStringList());
        }
    }

    // An image whose bundle cannot be trusted or cannot run is refused before anything is swapped or
    // anyone quits: the installed copy stays as it was, and nothing of the new one or the image is left.
    void hostileBundle_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("text"); // empty: installed
        QTest::addColumn<QString>("why");  // in the detail
        QTest::addColumn<int>("homeKb");   // a tmpfs home of this size (root only); 0: none
        const QString notFound = QStringLiteral("Güncelleme görüntüsü içinde uygulama bulunamadı");
        QTest::newRow("bundle is an absolute link") << QStringLiteral("bundle-link-absolute") << notFound << QString() << 0;
        QTest::newRow("bundle is a ../ link") << QStringLiteral("bundle-link-relative") << notFound << QString() << 0;
        QTest::newRow("absolute link inside") << QStringLiteral("inner-absolute") << notFound << QStringLiteral("lib/evil") << 0;
        QTest::newRow("relative link climbing out") << QStringLiteral("inner-relative") << notFound << QStringLiteral("lib/evil") << 0;
        QTest::newRow("link out through another link") << QStringLiteral("inner-through") << notFound << QStringLiteral("a/b/e") << 0;
        QTest::newRow("link that stays inside") << QStringLiteral("inner-ok") << QString() << QString() << 0;
        QTest::newRow("FIFO inside") << QStringLiteral("fifo-info") << notFound << QStringLiteral("Info.json") << 0;
        QTest::newRow("no program") << QStringLiteral("program-missing") << notFound << QStringLiteral("kestrava") << 0;
        QTest::newRow("program is a script") << QStringLiteral("program-script") << notFound << QStringLiteral("program değil") << 0;
        QTest::newRow("program cut short") << QStringLiteral("program-cut") << notFound << QStringLiteral("eksik") << 0;
        QTest::newRow("program of another machine") << QStringLiteral("program-other-arch") << notFound << QStringLiteral("mimari") << 0;
        QTest::newRow("program not executable") << QStringLiteral("program-not-executable") << notFound << QStringLiteral("çalıştırılabilir") << 0;
        QTest::newRow("Info.json names 9.9.9") << QStringLiteral("info-other") << notFound << QStringLiteral("9.9.9") << 0;
        QTest::newRow("no Info.json") << QStringLiteral("info-missing") << notFound << QStringLiteral("Info.json") << 0;
        QTest::newRow("Info.json with two versions") << QStringLiteral("info-twice") << notFound << QStringLiteral("birden çok") << 0;
        QTest::newRow("unpacks past the cap") << QStringLiteral("bomb") << QStringLiteral("Güncelleme görüntüsü açılamadı")
                                              << QStringLiteral("MB'tan büyük") << 0;
        QTest::newRow("bigger than the room at home")
            << QStringLiteral("big") << QStringLiteral("Güncelleme için yeterli yer yok") << QString() << 8192;
    }
    void hostileBundle() {
        QFETCH(QString, shape);
        QFETCH(QString, text);
        QFETCH(QString, why);
        QFETCH(int, homeKb);
        Updater::InstallPlan p = plan();
        struct Unmount {
            QByteArray where;
            ~Unmount() {
                if (!where.isEmpty()) ::umount(where.constData());
            }
        } unmount;
        if (homeKb > 0) {
            if (::geteuid() != 0) QSKIP("needs root to mount a small home");
            QDir().mkpath(path(QStringLiteral("small")));
            unmount.where = QFile::encodeName(path(QStringLiteral("small")));
            if (::mount("tmpfs", unmount.where.constData(), "tmpfs", 0, QByteArray("size=" + QByteArray::number(homeKb) + "k").constData()) != 0) {
                unmount.where.clear();
                QSKIP("cannot mount tmpfs here");
            }
            p.installedApp = path(QStringLiteral("small/Applications/Kestrava.app"));
        }
        writeBundle(p.installedApp, "1.0.0");
        const QString root = path(QStringLiteral("images/h"));
        QDir(root).removeRecursively();
        const QString app = root + QStringLiteral("/Kestrava.app");
        const QString planted = path(QStringLiteral("run/planted"));
        writeBundle(planted, "9.0");
        const QString version = QStringLiteral("9.0");
        if (shape.startsWith(QLatin1String("bundle-link"))) {
            QDir().mkpath(root);
            QVERIFY(QFile::link(shape.endsWith(QLatin1String("absolute")) ? planted : QStringLiteral("../planted"), app));
        } else {
            writeBundle(app, shape == QLatin1String("info-other") ? "9.9.9" : "9.0");
        }
        const auto link = [&](const QString& at, const QString& target) {
            QDir().mkpath(QFileInfo(app + QLatin1Char('/') + at).absolutePath());
            QVERIFY(QFile::link(target, app + QLatin1Char('/') + at));
        };
        if (shape == QLatin1String("inner-absolute")) link(QStringLiteral("lib/evil"), planted + QStringLiteral("/bin/kestrava"));
        if (shape == QLatin1String("inner-relative")) link(QStringLiteral("lib/evil"), QStringLiteral("../../planted"));
        if (shape == QLatin1String("inner-through")) {
            QDir().mkpath(app + QStringLiteral("/top"));
            link(QStringLiteral("a/b/d"), QStringLiteral("../../top"));
            link(QStringLiteral("a/b/e"), QStringLiteral("d/../../..")); // inside by name, outside in fact
        }
        if (shape == QLatin1String("inner-ok")) link(QStringLiteral("lib/libk.so"), QStringLiteral("../bin/kestrava"));
        if (shape == QLatin1String("fifo-info")) {
            QFile::remove(app + QStringLiteral("/Info.json"));
            QCOMPARE(::mkfifo(QFile::encodeName(app + QStringLiteral("/Info.json")).constData(), 0644), 0);
        }
        if (shape.startsWith(QLatin1String("program-"))) writeProgram(app + QStringLiteral("/bin/kestrava"), shape.mid(8));
        if (shape == QLatin1String("info-missing")) QFile::remove(app + QStringLiteral("/Info.json"));
        if (shape == QLatin1String("info-twice")) writeFile(app + QStringLiteral("/Info.json"), R"({"version": "9.0", "version": "9.0"})");
        if (shape == QLatin1String("bomb")) { // holes: nothing is written, the size is what the tables say
            QFile f(app + QStringLiteral("/share/zeros"));
            QDir().mkpath(QFileInfo(f).absolutePath());
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(Updater::maxBundleBytes + 1));
        }
        if (shape == QLatin1String("big")) {
            QRandomGenerator random(7);
            QByteArray data(12 * 1024 * 1024, '\0');
            random.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
            writeFile(app + QStringLiteral("/share/data"), data);
        }
        const QString image = path(QStringLiteral("served/h"));
        writeFile(image, "IMAGE:" + root.toUtf8());
        serve(QStringLiteral("/img"), image);
        struct statvfs before {};
        if (homeKb > 0) QCOMPARE(::statvfs(QFile::encodeName(path(QStringLiteral("small"))).constData(), &before), 0);

        const Result<void> r = install(version, m_service.origin() + QStringLiteral("/img"), p);
        const QString home = QFileInfo(p.installedApp).absolutePath();
        if (text.isEmpty()) {
            QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message + QLatin1Char(' ') + r.error().detail));
            QCOMPARE(QFile::symLinkTarget(p.installedApp + QStringLiteral("/lib/libk.so")), p.installedApp + QStringLiteral("/bin/kestrava"));
            // The detached hand-off has written what it ran before the next row looks for it.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_log + QStringLiteral(".script")), 10'000);
            return;
        }
        QVERIFY(!r.ok());
        QVERIFY2(r.error().message.startsWith(text), qPrintable(r.error().message));
        QVERIFY2(r.error().detail.contains(why), qPrintable(r.error().detail));
        QCOMPARE(m_terminations, 0);
        QVERIFY(!QFileInfo::exists(m_log + QStringLiteral(".script")));
        QVERIFY(!QFileInfo(p.installedApp).isSymLink());
        QCOMPARE(readFile(p.installedApp + QStringLiteral("/Info.json")), QByteArray("{\"version\": \"1.0.0\"}"));
        QCOMPARE(QDir(home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{QStringLiteral("Kestrava.app")});
        QCOMPARE(leftInTmp(), QStringList());
        QCOMPARE(toolNames().last(), QStringLiteral("fusermount3")); // detached
        if (homeKb > 0) { // refused before a byte went there
            struct statvfs after {};
            QCOMPARE(::statvfs(QFile::encodeName(path(QStringLiteral("small"))).constData(), &after), 0);
            QCOMPARE(after.f_bfree, before.f_bfree);
        }
    }

    // The packaged program's choice between itself and the per-user copy: the updater's own version
    // rule on each Info.json read as JSON, and only a per-user program that can run here.
    void launcherChoice_data() {
        QTest::addColumn<QByteArray>("packaged"); // its version
        QTest::addColumn<QByteArray>("info");     // the per-user Info.json; "FIFO", or empty for none
        QTest::addColumn<QString>("program");     // writeProgram's shape; "bundle-link": the bundle is a link
        QTest::addColumn<bool>("perUser");
        const QByteArray pretty = "{\n  \"name\": \"Kestrava\",\n  \"version\": \"2.0.0\"\n}\n";
        QTest::newRow("one-line JSON, newer") << QByteArray("1.0.0") << QByteArray(R"({"version":"1.0.1"})") << QStringLiteral("elf") << true;
        QTest::newRow("newer") << QByteArray("1.0.0") << pretty << QStringLiteral("elf") << true;
        QTest::newRow("equal") << QByteArray("2.0.0") << pretty << QStringLiteral("elf") << false;
        QTest::newRow("older (a package upgrade went past it)") << QByteArray("2.0.1") << pretty << QStringLiteral("elf") << false;
        QTest::newRow("ten in a part") << QByteArray("1.9.0") << QByteArray(R"({"version":"1.10.0"})") << QStringLiteral("elf") << true;
        QTest::newRow("2.0.0-rc1 is [2, 0]") << QByteArray("1.9") << QByteArray(R"({"version":"2.0.0-rc1"})") << QStringLiteral("elf") << true;
        QTest::newRow("v2 is []") << QByteArray("1.0.0") << QByteArray(R"({"version":"v2"})") << QStringLiteral("elf") << false;
        QTest::newRow("1..1 is [1, 1]") << QByteArray("1.0.5") << QByteArray(R"({"version":"1..1"})") << QStringLiteral("elf") << true;
        QTest::newRow("half-written JSON") << QByteArray("1.0.0") << QByteArray("{\"version\": \"2.0.0\"") << QStringLiteral("elf") << false;
        QTest::newRow("two version keys") << QByteArray("1.0.0") << QByteArray(R"({"version":"2.0.0","version":"0.1"})") << QStringLiteral("elf") << false;
        QTest::newRow("two version keys, one escaped")
            << QByteArray("1.0.0") << QByteArray(R"({"version":"0.1","\u0076ersion":"2.0.0"})") << QStringLiteral("elf") << false;
        QTest::newRow("a nested version only") << QByteArray("1.0.0") << QByteArray(R"({"x":{"version":"2.0.0"}})") << QStringLiteral("elf") << false;
        QTest::newRow("no Info.json") << QByteArray("1.0.0") << QByteArray() << QStringLiteral("elf") << false;
        QTest::newRow("FIFO as Info.json") << QByteArray("1.0.0") << QByteArray("FIFO") << QStringLiteral("elf") << false;
        for (const char* broken : {"missing", "empty", "random", "cut", "other-arch", "not-executable", "script"})
            QTest::addRow("newer, program %s", broken) << QByteArray("1.0.0") << pretty << QString::fromLatin1(broken) << false;
        QTest::newRow("newer, the bundle a link") << QByteArray("1.0.0") << pretty << QStringLiteral("bundle-link") << false;
    }
    void launcherChoice() {
        QFETCH(QByteArray, packaged);
        QFETCH(QByteArray, info);
        QFETCH(QString, program);
        QFETCH(bool, perUser);
        const QString own = path(QStringLiteral("choice/Kestrava.app"));
        const QString elsewhere = path(QStringLiteral("choice/elsewhere.app"));
        const QString user = path(QStringLiteral("home/Applications/Kestrava.app"));
        writeBundle(own, packaged);
        const QString bundle = program == QLatin1String("bundle-link") ? elsewhere : user;
        QFile::remove(user); // a link left by the row before
        QDir(user).removeRecursively();
        QDir(elsewhere).removeRecursively();
        writeProgram(bundle + QStringLiteral("/bin/kestrava"), program == QLatin1String("bundle-link") ? QStringLiteral("elf") : program);
        if (info == "FIFO") QCOMPARE(::mkfifo(QFile::encodeName(bundle + QStringLiteral("/Info.json")).constData(), 0644), 0);
        else if (!info.isEmpty()) writeFile(bundle + QStringLiteral("/Info.json"), info);
        if (bundle != user) QVERIFY(QDir().mkpath(QFileInfo(user).absolutePath()) && QFile::link(bundle, user));
        const std::optional<QString> chosen = Updater::newerCopyThan(own, user);
        QCOMPARE(chosen.has_value(), perUser);
        if (perUser) QCOMPARE(*chosen, user + QStringLiteral("/bin/kestrava"));
        // The per-user copy, started, does not choose again.
        QVERIFY(!Updater::newerCopyThan(user, user));
    }

    void handOffThatCannotStart() {
        serve(QStringLiteral("/img"), makeImage(QStringLiteral("8.0"), {QStringLiteral("Kestrava.app")}));
        Updater::InstallPlan p = plan();
        p.shell = path(QStringLiteral("not-a-shell"));
        writeFile(p.shell, "#!/bin/sh\n");
        const Result<void> r = install(QStringLiteral("8.0"), m_service.origin() + QStringLiteral("/img"), p);
        QVERIFY(!r.ok());
        QCOMPARE(r.error().message, p.shell + QStringLiteral(" başlatılamadı: Permission denied"));
        QCOMPARE(toolNames().last(), QStringLiteral("fusermount3")); // detached on the way out
        QCOMPARE(m_terminations, 0);
    }

    void failedCopyLeavesTheInstalledBundle() {
        const QString image = makeImage(QStringLiteral("3.0"), {QStringLiteral("Kestrava.app")});
        serve(QStringLiteral("/img"), image);
        writeFile(path(QStringLiteral("home/Applications/Kestrava.app/Info.json")), "{\"version\": \"1.0.0\"}");
        qputenv("STANDIN_CP_FAIL", "1");
        const Result<void> r = install(QStringLiteral("3.0"), m_service.origin() + QStringLiteral("/img"));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().message, QStringLiteral("Güncelleme görüntüsü açılamadı"));
        QCOMPARE(readFile(path(QStringLiteral("home/Applications/Kestrava.app/Info.json"))), QByteArray("{\"version\": \"1.0.0\"}"));
        QCOMPARE(QDir(path(QStringLiteral("home/Applications"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{QStringLiteral("Kestrava.app")});
        QCOMPARE(toolNames().last(), QStringLiteral("fusermount3"));
        QCOMPARE(m_terminations, 0);
    }

    void staleMountIsDetachedFirst() {
        // An earlier run died with the image attached.
        const QString mp = plan().mountPoint;
        QDir().mkpath(mp);
        writeFile(mp + QStringLiteral("/.standin-mounted"), "");
        writeFile(mp + QStringLiteral("/Old.app/kestrava"), "", true);
        const QString image = makeImage(QStringLiteral("4.0"), {QStringLiteral("Kestrava.app")});
        serve(QStringLiteral("/img"), image);
        const Result<void> r = install(QStringLiteral("4.0"), m_service.origin() + QStringLiteral("/img"));
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message));
        QCOMPARE(toolNames().first(), QStringLiteral("fusermount3"));
        QCOMPARE(readFile(path(QStringLiteral("home/Applications/Kestrava.app/Info.json"))), QByteArray("{\"version\": \"4.0\"}"));
    }

    void mountPointIsPrivateAndFresh() {
        // Someone prepared the mount point with files of their own: it is not reused.
        const QString mp = plan().mountPoint;
        writeFile(mp + QStringLiteral("/Evil.app/kestrava"), "", true);
        const QString image = makeImage(QStringLiteral("5.0"), {QStringLiteral("Kestrava.app")});
        serve(QStringLiteral("/img"), image);
        const Result<void> r = install(QStringLiteral("5.0"), m_service.origin() + QStringLiteral("/img"));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().message, QStringLiteral("Güncelleme görüntüsü açılamadı"));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("home/Applications/Kestrava.app"))));
        QVERIFY(!toolNames().contains(QStringLiteral("squashfuse")));
    }

    void toolExitStatus_data() {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("ok");
        QTest::newRow("exit 0") << QStringLiteral("/bin/true") << QStringList() << true;
        QTest::newRow("exit 1") << QStringLiteral("/bin/false") << QStringList() << false;
        QTest::newRow("killed") << QStringLiteral("/bin/sh") << QStringList{QStringLiteral("-c"), QStringLiteral("kill -9 $$")}
                                << false;
        QTest::newRow("missing") << QStringLiteral("/nonexistent/tool") << QStringList() << false;
        QTest::newRow("arguments are not shell text")
            << QStringLiteral("/bin/test") << QStringList{QStringLiteral("a;b"), QStringLiteral("="), QStringLiteral("a;b")} << true;
    }
    void toolExitStatus() {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        // The failure is the returned value; the program writes no log.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        const Result<int> r = awaitTask(Updater::runProcess(tool, args, std::chrono::milliseconds(20'000)));
        QCOMPARE(r.ok(), ok);
        if (!ok && !tool.startsWith(QLatin1String("/nonexistent"))) QCOMPARE(r.error().message, QStringLiteral("Güncelleme görüntüsü açılamadı"));
        if (tool.startsWith(QLatin1String("/nonexistent"))) QCOMPARE(r.error().kind, Error::Kind::Io);
    }

    void imageNames_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("1.2.3") << QStringLiteral("Kestrava-update-1.2.3.squashfs");
        QTest::newRow("pre-release") << QStringLiteral("2.0.0-rc1") << QStringLiteral("Kestrava-update-2.0.0-rc1.squashfs");
        QTest::newRow("spaces dropped") << QStringLiteral("2 .0") << QStringLiteral("Kestrava-update-2.0.squashfs");
        QTest::newRow("dot dot") << QStringLiteral("1..2") << QString();
        QTest::newRow("backslash") << QStringLiteral("1\\2") << QString();
        QTest::newRow("newline") << QStringLiteral("1\n2") << QString();
        QTest::newRow("only a dot") << QStringLiteral(".") << QString();
        QTest::newRow("empty") << QString() << QString();
    }
    void imageNames() {
        QFETCH(QString, version);
        QFETCH(QString, name);
        QCOMPARE(Updater::imageFileName(version).value_or(QString()), name);
    }
};

QTEST_GUILESS_MAIN(InstallerTest)

#include "installer_test.moc"
