// The update check, the version rule, and downloadAndInstall over the stand-in service with recording
// stand-ins for the image tools on PATH: the "image" is a text file naming a folder that the stand-in
// mount copies to the mount point.
#include "update/bundle.h"
#include "update/installer.h"
#include "update/updater.h"

#include "support/await.h"
#include "support/files.h"
#include "support/service_fixture.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void put(const QString& path, const QByteArray& data, bool executable = false) {
    QVERIFY(writeFile(path, data));
    if (executable) QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner));
}

// A program of a row's shape, from a real one of this machine: "elf", "missing", "empty", "random",
// "cut" in half, "other-arch", "not-executable" or a "script".
void writeProgram(const QString& path, const QString& shape) {
    QFile::remove(path);
    if (shape == "missing"_L1) return;
    const QByteArray elf = readFile(u"/bin/true"_s);
    QVERIFY(elf.startsWith("\x7f" "ELF"));
    QByteArray data = shape == "empty"_L1 ? QByteArray() : shape == "cut"_L1 ? elf.left(elf.size() / 2) : elf;
    if (shape == "script"_L1) data = "#!/bin/sh\necho ran\n";
    if (shape == "random"_L1) {
        data.resize(4096);
        QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    }
    if (shape == "other-arch"_L1) {
        quint16 machine = 0;
        std::memcpy(&machine, data.constData() + 18, 2);
        machine = machine == 183 ? 62 : 183; // AArch64, or x86-64 where we are AArch64
        std::memcpy(data.data() + 18, &machine, 2);
    }
    put(path, data, shape != "not-executable"_L1);
}

void writeBundle(const QString& root, const QByteArray& version) {
    writeProgram(root + u"/bin/kestrava"_s, u"elf"_s);
    put(root + u"/Info.json"_s, "{\"version\": \"" + version + "\"}");
}

QStringList entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

// Each stand-in appends "name<TAB>arg<TAB>arg..." to $STANDIN_LOG.
const QByteArray recordLine = R"SH(printf '%s' "$(basename "$0")" >> "$STANDIN_LOG"; for a in "$@"; do printf '\t%s' "$a" >> "$STANDIN_LOG"; done; printf '\n' >> "$STANDIN_LOG"
)SH";

// An image is "IMAGE:" and the folder it holds, one of the test's own so a cut one names nothing else.
const QByteArray mountTool = "#!/bin/sh\n" + recordLine + R"SH(
[ "$(/usr/bin/head -c 6 "$1")" = "IMAGE:" ] || exit 1
src=$(/usr/bin/tail -c +7 "$1")
case "$src" in "$STANDIN_IMAGES"/?*) ;; *) exit 1 ;; esac
[ -d "$src" ] && [ -z "$(/bin/ls -A "$2")" ] && /bin/cp -a "$src"/. "$2"/ && /usr/bin/touch "$2/.standin-mounted"
)SH";

const QByteArray unmountTool = "#!/bin/sh\n" + recordLine + R"SH(
[ "$1" = -u ] && [ "$2" = -q ] || exit 2
[ -e "$3/.standin-mounted" ] && /usr/bin/find "$3" -mindepth 1 -delete
)SH";

// With $STANDIN_CP_FAIL: half a copy, then a failure.
const QByteArray copyTool = "#!/bin/sh\n" + recordLine + R"SH(
[ -z "$STANDIN_CP_FAIL" ] || { /bin/mkdir -p "$4" && /usr/bin/touch "$4/partial"; exit 1; }
exec /bin/cp "$@"
)SH";

// The detached hand-off records its script and what its standard streams and our extra descriptor are.
const QByteArray shellTool = R"SH(#!/bin/sh
streams=$(for fd in 0 1 2 $STANDIN_EXTRA_FD; do printf '%s=%s ' "$fd" "$(/bin/readlink /proc/$$/fd/$fd)"; done)
printf '%s' "$streams" > "$STANDIN_LOG.streams"
printf '%s' "$2" > "$STANDIN_LOG.script.tmp" && /bin/mv "$STANDIN_LOG.script.tmp" "$STANDIN_LOG.script"
)SH";

constexpr int extraFd = 100; // left open across exec, as a caller's pipe would be

const QString download = u"Güncelleme indirilemedi"_s;

struct Install {
    QString shape = u"good"_s;     // the image's bundle (makeBundleImage)
    QString url = u"SERVICE/img"_s; // "SERVICE" and "TLS" stand for the two servers' origins
    QString origin;                 // the website's; empty: none
    QString version = u"9.0"_s;
    QString text;                   // the message starts so; empty: installed
    QString why;                    // in the detail
    QStringList tools{u"*"_s};      // the tools run by name; "*": any, the last an unmount
    bool asked = true;              // the image was asked of the stand-in
    bool transport = false;         // the network's failure, not our refusal
    QJsonObject reply;              // in place of the image
    int homeKb = 0;                 // a tmpfs home of this size (root only)
};

// An https server on loopback: each path answers with its whole reply, then the connection closes.
struct TlsServer {
    QSslServer server;
    QMap<QByteArray, QByteArray> replies;

    bool start(const QString& certFile, const QString& keyFile) {
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificate(QSslCertificate(readFile(certFile)));
        conf.setPrivateKey(QSslKey(readFile(keyFile), QSsl::Ec));
        server.setSslConfiguration(conf);
        QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, &server, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, buffer = std::make_shared<QByteArray>()] {
                    *buffer += s->readAll();
                    if (!buffer->contains("\r\n\r\n")) return;
                    s->write(replies.value(buffer->split(' ').value(1), reply("404 Not Found", {})));
                    s->disconnectFromHost();
                });
            }
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QString origin() const { return u"https://127.0.0.1:%1"_s.arg(server.serverPort()); }
    static QByteArray reply(const QByteArray& status, const QByteArray& headers, const QByteArray& body = {}) {
        return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }
};

} // namespace

Q_DECLARE_METATYPE(Install)

class UpdateTest : public QObject {
    Q_OBJECT
    DevService m_service;
    TlsServer m_tls;
    QTemporaryDir m_dir;
    QString m_log;
    int m_terminations = 0;

    QString path(const QString& rel) const { return m_dir.path() + u'/' + rel; }
    // A quote in the home folder's name, so that the hand-off's quoting is tried on every install.
    QString home() const { return path(u"home/o'neil/Applications"_s); }

    Updater::InstallPlan plan() {
        Updater::InstallPlan p;
        p.imageDir = path(u"tmp"_s);
        p.mountPoint = path(u"run/kestrava-update-mount"_s);
        p.installedApp = home() + u"/Kestrava.app"_s;
        p.processId = 4242;
        p.terminate = [this] { ++m_terminations; };
        return p;
    }

    // A folder standing for an image's contents, and the image file naming it.
    QString makeImage(const QString& name, const QStringList& names) {
        const QString root = path(u"images/"_s + name);
        QDir(root).removeRecursively();
        QDir().mkpath(root);
        for (const QString& e : names) {
            if (e.endsWith(".app"_L1)) writeBundle(root + u'/' + e, name.toUtf8());
            else put(root + u'/' + e, "text");
        }
        put(path(u"served/"_s + name), "IMAGE:" + root.toUtf8());
        return path(u"served/"_s + name);
    }

    // The stand-in service and the https server, started for the first function that needs them.
    bool startServers() {
        if (m_service.origin().size() > 0) return true;
        if (!startServiceForProcess(m_service)) return false;
        // A certificate of our own for the https server, trusted by this process only.
        const QString cert = path(u"cert.pem"_s), key = path(u"key.pem"_s);
        QProcess openssl;
        openssl.start(u"openssl"_s, u"req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                    "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"_s.split(u' ') +
                                        QStringList{u"-keyout"_s, key, u"-out"_s, cert});
        if (!openssl.waitForFinished(30'000) || openssl.exitCode() != 0) return false;
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(cert);
        QSslConfiguration::setDefaultConfiguration(trusted);
        return m_tls.start(cert, key);
    }

    void serve(const QString& file, const QJsonArray& overrides = {}) {
        QVERIFY(startServers());
        QJsonObject scenario = basicScenario();
        if (!file.isEmpty()) scenario.insert(u"files"_s, QJsonObject{{u"/img"_s, file}});
        scenario.insert(u"overrides"_s, overrides);
        QVERIFY(m_service.setScenario(scenario));
        QVERIFY(m_service.clearRequests());
    }

    QList<QStringList> toolRuns() {
        QList<QStringList> runs;
        for (const QByteArray& line : QFileInfo::exists(m_log) ? readFile(m_log).split('\n') : QByteArrayList())
            if (!line.isEmpty()) runs.append(QString::fromUtf8(line).split(u'\t'));
        return runs;
    }
    QStringList toolNames() {
        QStringList names;
        for (const QStringList& r : toolRuns()) names.append(r.first());
        return names;
    }
    // Refused: no one asked to quit, nothing handed off, no image kept.
    void nothingDone() {
        QCOMPARE(m_terminations, 0);
        QVERIFY(!QFileInfo::exists(m_log + u".script"_s));
        QCOMPARE(entries(path(u"tmp"_s)), QStringList());
    }
    // A detached hand-off writes what it ran after the install returns; the next case must not see it.
    void handedOff() { QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_log + u".script"_s), 10'000); }

    Result<void> install(const QString& version, const QString& url, Updater::InstallPlan p) {
        return awaitTask(Updater::downloadAndInstall(Updater::Info{version, url, std::nullopt}, std::move(p)));
    }
    Result<void> install(const QString& version) {
        return install(version, m_service.origin() + u"/img"_s, plan());
    }

    // The served image of a bundle of the row's shape (a good one unless named), with what else the
    // shape sets up.
    void makeBundleImage(const QString& shape, Updater::InstallPlan& p) {
        const QString root = path(u"images/h"_s);
        QDir(root).removeRecursively();
        QDir().mkpath(root);
        const QString app = root + u"/Kestrava.app"_s;
        const QString planted = path(u"run/planted"_s);
        writeBundle(planted, "9.0");
        const auto link = [&](const QString& at, const QString& target) {
            QDir().mkpath(QFileInfo(app + u'/' + at).absolutePath());
            QVERIFY(QFile::link(target, app + u'/' + at));
        };
        if (shape == "no-bundle"_L1) put(root + u"/notes.txt"_s, "text");
        else if (shape == "file-named-app"_L1) put(root + u"/fake.app.txt"_s, "text");
        else if (shape == "bundle-link-absolute"_L1) QVERIFY(QFile::link(planted, app));
        else if (shape == "bundle-link-relative"_L1) QVERIFY(QFile::link(u"../planted"_s, app));
        else writeBundle(app, shape == "info-other"_L1 ? "9.9.9" : "9.0");
        if (shape == "inner-absolute"_L1) link(u"lib/evil"_s, planted + u"/bin/kestrava"_s);
        if (shape == "inner-relative"_L1) link(u"lib/evil"_s, u"../../planted"_s);
        if (shape == "inner-through"_L1) {
            QDir().mkpath(app + u"/top"_s);
            link(u"a/b/d"_s, u"../../top"_s);
            link(u"a/b/e"_s, u"d/../../.."_s); // inside by name, outside in fact
        }
        if (shape == "inner-ok"_L1) link(u"lib/libk.so"_s, u"../bin/kestrava"_s);
        if (shape == "fifo-info"_L1) {
            QFile::remove(app + u"/Info.json"_s);
            QCOMPARE(::mkfifo(QFile::encodeName(app + u"/Info.json"_s).constData(), 0644), 0);
        }
        if (shape.startsWith("program-"_L1)) writeProgram(app + u"/bin/kestrava"_s, shape.mid(8));
        if (shape == "info-missing"_L1) QFile::remove(app + u"/Info.json"_s);
        if (shape == "info-twice"_L1) put(app + u"/Info.json"_s, R"({"version": "9.0", "version": "9.0"})");
        if (shape == "bomb"_L1) { // holes: nothing is written, the size is what the tables say
            QFile f(app + u"/share/zeros"_s);
            QDir().mkpath(QFileInfo(f).absolutePath());
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(Updater::maxBundleBytes + 1));
        }
        if (shape == "big"_L1) {
            QByteArray data(12 * 1024 * 1024, '\0');
            QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
            put(app + u"/share/data"_s, data);
        }
        if (shape == "copy-fails"_L1) qputenv("STANDIN_CP_FAIL", "1");
        if (shape == "planted-mount"_L1) put(p.mountPoint + u"/Evil.app/kestrava"_s, "", true);
        put(path(u"served/h"_s), "IMAGE:" + root.toUtf8());
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        const QString bin = path(u"bin"_s);
        put(bin + u"/squashfuse"_s, mountTool, true);
        put(bin + u"/fusermount3"_s, unmountTool, true);
        put(bin + u"/cp"_s, copyTool, true);
        put(bin + u"/sh"_s, shellTool, true);
        qputenv("PATH", (bin + u':').toUtf8() + qgetenv("PATH"));
        m_log = path(u"tools.log"_s);
        qputenv("STANDIN_LOG", m_log.toUtf8());
        qputenv("STANDIN_IMAGES", path(u"images"_s).toUtf8());
        int pipeFds[2];
        QVERIFY(::pipe(pipeFds) == 0);
        QCOMPARE(::dup2(pipeFds[1], extraFd), extraFd);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        qputenv("STANDIN_EXTRA_FD", QByteArray::number(extraFd));
    }

    void init() {
        for (const QString& f : {m_log, m_log + u".script"_s, m_log + u".streams"_s}) QFile::remove(f);
        qunsetenv("STANDIN_CP_FAIL");
        m_terminations = 0;
        for (const char* d : {"home", "tmp", "run"}) QDir(path(QString::fromLatin1(d))).removeRecursively();
        QDir().mkpath(path(u"tmp"_s));
    }

    void installsTheImagesBundleUnderOurName() {
        // An earlier run died with an image mounted: it is unmounted first.
        const QString mp = plan().mountPoint;
        put(mp + u"/.standin-mounted"_s, "");
        put(mp + u"/Old.app/kestrava"_s, "", true);
        const QString image = makeImage(u"2.0.0"_s, {u"README.txt"_s, u"Other.app"_s});
        serve(image);
        put(home() + u"/Kestrava.app/Info.json"_s, "{\"version\": \"1.0.0\"}");
        const Result<void> r = install(u"2.0.0"_s);
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message));
        QCOMPARE(m_terminations, 1);
        QCOMPARE(readFile(home() + u"/Kestrava.app/Info.json"_s), "{\"version\": \"2.0.0\"}"_ba);
        QVERIFY(QFileInfo(home() + u"/Kestrava.app/bin/kestrava"_s).isExecutable());
        // Nothing left beside it (no staging copy, no old bundle); the image stays under its versioned name.
        QCOMPARE(entries(home()), QStringList{u"Kestrava.app"_s});
        QCOMPARE(readFile(path(u"tmp/Kestrava-update-2.0.0.squashfs"_s)), readFile(image));

        const QList<QStringList> runs = toolRuns();
        QCOMPARE(toolNames(), (QStringList{u"fusermount3"_s, u"squashfuse"_s, u"cp"_s, u"fusermount3"_s}));
        QCOMPARE(runs[0], (QStringList{u"fusermount3"_s, u"-u"_s, u"-q"_s, mp}));
        QCOMPARE(runs[1], (QStringList{u"squashfuse"_s, path(u"tmp/Kestrava-update-2.0.0.squashfs"_s), mp}));
        QCOMPARE(runs[2].mid(0, 4), (QStringList{u"cp"_s, u"-a"_s, u"--"_s, mp + u"/Other.app"_s}));
        QCOMPARE(runs[3], runs[0]); // the clean-up unmount
        handedOff();
        // A quote in the home folder's name cannot end the quoting.
        QCOMPARE(QString::fromUtf8(readFile(m_log + u".script"_s)).split(u'\n'),
                 (QStringList{u"while kill -0 4242 2>/dev/null; do sleep 0.5; done"_s,
                              u"'fusermount3' -u -q '%1' 2>/dev/null"_s.arg(mp),
                              u"'%1'"_s.arg(path(u"home/o'\\''neil/Applications/Kestrava.app/bin/kestrava"_s))}));
        // Nothing of ours: whoever reads our output sees its end when we quit, not when the new copy does.
        QCOMPARE(readFile(m_log + u".streams"_s), "0=/dev/null 1=/dev/null 2=/dev/null " + QByteArray::number(extraFd) + "= ");
        QVERIFY(!QFileInfo::exists(mp));
    }

    void handOffThatCannotStart() {
        serve(makeImage(u"8.0"_s, {u"Kestrava.app"_s}));
        Updater::InstallPlan p = plan();
        p.shell = path(u"not-a-shell"_s);
        put(p.shell, "#!/bin/sh\n");
        const Result<void> r = install(u"8.0"_s, m_service.origin() + u"/img"_s, p);
        QVERIFY(!r.ok());
        QCOMPARE(r.error().message, p.shell + u" başlatılamadı: Permission denied"_s);
        QCOMPARE(toolNames().last(), u"fusermount3"_s); // unmounted on the way out
        QCOMPARE(m_terminations, 0);
    }

    // Every other install: refused (what the user reads and, in the detail, why) with the installed copy
    // as it was, nothing handed off and nothing of the image left, or installed. An image is refused
    // before it is mounted when it cannot be fetched whole from where it may come from (an https website
    // only sends us to https images, except on this machine, and no redirect lands on http from https),
    // and before anything is swapped when its bundle cannot be found, trusted, copied or run.
    void install_data() {
        QTest::addColumn<Install>("r");
        const QString unopened = u"Güncelleme görüntüsü açılamadı"_s;
        const QString notFound = u"Güncelleme görüntüsü içinde uygulama bulunamadı"_s;
        const QString site = u"https://kestrava.example"_s, cdn = u"http://cdn.kestrava.invalid/img"_s;
        const QStringList none;
        const auto trickle = [](int intervalMs, int count) {
            return QJsonObject{{u"trickle"_s, QJsonObject{{u"chunk"_s, u"IMAGE:"_s}, {u"intervalMs"_s, intervalMs}, {u"count"_s, count}}}};
        };
        const auto row = [](const char* name, const Install& r) { QTest::newRow(name) << r; };
        row("empty url", {.url = {}, .text = download, .tools = none, .asked = false});
        row("malformed url", {.url = u"ht tp://x y"_s, .text = download, .tools = none, .asked = false});
        row("file url", {.url = u"file:///etc/passwd"_s, .text = download, .tools = none, .asked = false});
        row("version climbing out", {.version = u"../../x"_s, .text = download, .tools = none, .asked = false});
        row("version with a slash", {.version = u"2.0/evil"_s, .text = download, .tools = none, .asked = false});
        row("version with nothing usable", {.version = u"***"_s, .text = download, .tools = none, .asked = false});
        row("404 page saved, mount fails", {.url = u"SERVICE/missing"_s, .text = unopened,
                                            .tools = {u"fusermount3"_s, u"squashfuse"_s}, .asked = false});
        row("service unreachable", {.url = u"http://127.0.0.1:9/img"_s, .text = u"Connection refused"_s, .tools = none,
                                    .asked = false, .transport = true});
        // Whatever part of the image came is neither mounted nor kept.
        row("closed after the headers", {.text = u"Connection closed"_s, .tools = none, .transport = true,
                                         .reply = {{u"dropConnection"_s, true}}});
        row("closed after 10 bytes", {.text = u"Connection closed"_s, .tools = none, .transport = true,
                                      .reply = {{u"dropAfterBytes"_s, 10}}});
        row("stalls past the time-out", {.text = u"Operation canceled"_s, .tools = none, .transport = true,
                                         .reply = trickle(3000, 2)});
        QJsonObject shortChunked = trickle(1, 1);
        shortChunked.insert(u"headers"_s, QJsonObject{{u"Content-Length"_s, u"100"_s}});
        row("chunked, promising more than it sends",
            {.text = download, .why = u"100 bayttan 6 bayt geldi"_s, .tools = none, .reply = shortChunked});
        row("https site, http image", {.url = cdn, .origin = site, .text = download, .tools = none, .asked = false});
        row("https site, https image", {.url = u"TLS/img"_s, .origin = site, .asked = false});
        row("https site, http image on loopback", {.origin = site});
        row("https site, http image on IPv6 loopback", {.url = u"http://[::1]:9/img"_s, .origin = site,
            .text = u"Connection refused"_s, .tools = none, .asked = false, .transport = true});
        row("http site, http image elsewhere", {.url = cdn, .origin = u"SERVICE"_s, .text = u"Host cdn.kestrava.invalid not found"_s,
                                                .tools = none, .asked = false, .transport = true});
        row("https site, https image redirected to http on loopback",
            {.url = u"TLS/down"_s, .origin = site, .text = download, .tools = none, .asked = false});
        row("http site, https image redirected to http on loopback",
            {.url = u"TLS/down"_s, .origin = u"SERVICE"_s, .text = download, .tools = none, .asked = false});
        row("https site, http image on loopback redirected elsewhere",
            {.url = u"SERVICE/away"_s, .origin = site, .text = download, .tools = none, .asked = false});
        row("no bundle", {.shape = u"no-bundle"_s, .text = notFound});
        row("a file named .app is no bundle", {.shape = u"file-named-app"_s, .text = notFound});
        row("bundle is an absolute link", {.shape = u"bundle-link-absolute"_s, .text = notFound});
        row("bundle is a ../ link", {.shape = u"bundle-link-relative"_s, .text = notFound});
        row("absolute link inside", {.shape = u"inner-absolute"_s, .text = notFound, .why = u"lib/evil"_s});
        row("relative link climbing out", {.shape = u"inner-relative"_s, .text = notFound, .why = u"lib/evil"_s});
        row("link out through another link", {.shape = u"inner-through"_s, .text = notFound, .why = u"a/b/e"_s});
        row("link that stays inside", {.shape = u"inner-ok"_s});
        row("FIFO inside", {.shape = u"fifo-info"_s, .text = notFound, .why = u"Info.json"_s});
        row("no program", {.shape = u"program-missing"_s, .text = notFound, .why = u"kestrava"_s});
        row("program is a script", {.shape = u"program-script"_s, .text = notFound, .why = u"program değil"_s});
        row("program cut short", {.shape = u"program-cut"_s, .text = notFound, .why = u"eksik"_s});
        row("program of another machine", {.shape = u"program-other-arch"_s, .text = notFound, .why = u"mimari"_s});
        row("program not executable", {.shape = u"program-not-executable"_s, .text = notFound, .why = u"çalıştırılabilir"_s});
        row("Info.json names 9.9.9", {.shape = u"info-other"_s, .text = notFound, .why = u"9.9.9"_s});
        row("no Info.json", {.shape = u"info-missing"_s, .text = notFound, .why = u"Info.json"_s});
        row("Info.json with two versions", {.shape = u"info-twice"_s, .text = notFound, .why = u"birden çok"_s});
        row("unpacks past the cap", {.shape = u"bomb"_s, .text = unopened, .why = u"MB'tan büyük"_s});
        row("copy fails half-way", {.shape = u"copy-fails"_s, .text = unopened, .why = u"cp exited with 1"_s});
        // Someone prepared the mount point with files of their own: it is not reused, nothing mounted.
        row("mount point prepared by someone", {.shape = u"planted-mount"_s, .text = unopened});
        row("bigger than the room at home", {.shape = u"big"_s, .text = u"Güncelleme için yeterli yer yok"_s, .homeKb = 8192});
    }
    void install() {
        QFETCH(Install, r);
        Updater::InstallPlan p = plan();
        struct Unmount {
            QByteArray where;
            ~Unmount() {
                if (!where.isEmpty()) ::umount(where.constData());
            }
        } unmount;
        if (r.homeKb > 0) {
            if (::geteuid() != 0) QSKIP("needs root to mount a small home");
            QDir().mkpath(path(u"small"_s));
            unmount.where = QFile::encodeName(path(u"small"_s));
            if (::mount("tmpfs", unmount.where.constData(), "tmpfs", 0, ("size=" + QByteArray::number(r.homeKb) + "k").constData()) != 0) {
                unmount.where.clear();
                QSKIP("cannot mount tmpfs here");
            }
            p.installedApp = path(u"small/Applications/Kestrava.app"_s);
        }
        writeBundle(p.installedApp, "1.0.0");
        makeBundleImage(r.shape, p);
        if (QTest::currentTestFailed()) return;
        const QString image = path(u"served/h"_s);
        QJsonArray overrides{QJsonObject{{u"path"_s, u"/away"_s}, {u"status"_s, 302},
                                         {u"headers"_s, QJsonObject{{u"Location"_s, u"http://cdn.kestrava.invalid/img"_s}}}}};
        if (!r.reply.isEmpty()) {
            r.reply.insert(u"path"_s, u"/img"_s);
            overrides.append(r.reply);
            p.transferStall = std::chrono::milliseconds(1000);
        }
        serve(image, overrides);
        m_tls.replies = {{"/img", TlsServer::reply("200 OK", {}, readFile(image))},
                         {"/down", TlsServer::reply("302 Found", "Location: " + m_service.origin().toUtf8() + "/img\r\n")}};
        for (QString* s : {&r.origin, &r.url}) s->replace("SERVICE"_L1, m_service.origin()).replace("TLS"_L1, m_tls.origin());
        if (!r.origin.isEmpty()) p.webOrigin = QUrl(r.origin);
        struct statvfs before {};
        const QByteArray small = QFile::encodeName(path(u"small"_s));
        if (r.homeKb > 0) QCOMPARE(::statvfs(small.constData(), &before), 0);

        const Result<void> res = install(r.version, r.url, p);
        if (r.text.isEmpty()) {
            QVERIFY2(res.ok(), qPrintable(res.ok() ? QString() : res.error().message + u' ' + res.error().detail));
            QCOMPARE(readFile(p.installedApp + u"/Info.json"_s), "{\"version\": \"" + r.version.toUtf8() + "\"}");
            if (r.shape == "inner-ok"_L1)
                QCOMPARE(QFile::symLinkTarget(p.installedApp + u"/lib/libk.so"_s), p.installedApp + u"/bin/kestrava"_s);
            return handedOff();
        }
        QVERIFY(!res.ok());
        QVERIFY2(res.error().message.startsWith(r.text), qPrintable(res.error().message));
        QVERIFY2(res.error().detail.contains(r.why), qPrintable(res.error().detail));
        // What the network said comes unchanged; our own refusal to download says so.
        QCOMPARE(res.error().kind == Error::Kind::Transport, r.transport);
        if (res.error().message == download) QCOMPARE(res.error().code, int(Updater::UpdateError::download));
        const QStringList ran = toolNames();
        if (r.tools.value(0) == "*"_L1) QCOMPARE(ran.value(ran.size() - 1), u"fusermount3"_s); // unmounted, or never mounted
        else QCOMPARE(ran, r.tools);
        QCOMPARE(m_service.requests(u"GET"_s, u"/img"_s).size() > 0, r.asked);
        nothingDone();
        QVERIFY(!QFileInfo(p.installedApp).isSymLink());
        QCOMPARE(readFile(p.installedApp + u"/Info.json"_s), "{\"version\": \"1.0.0\"}"_ba);
        QCOMPARE(entries(QFileInfo(p.installedApp).absolutePath()), QStringList{u"Kestrava.app"_s});
        QVERIFY(!QFileInfo::exists(path(u"x"_s))); // nothing written outside the image folder
        if (r.homeKb > 0) { // refused before a byte went there
            struct statvfs after {};
            QCOMPARE(::statvfs(small.constData(), &after), 0);
            QCOMPARE(after.f_bfree, before.f_bfree);
        }
    }

    // The packaged program's choice between itself and the per-user copy: the updater's own version
    // rule (isNewer's table) on each Info.json read as JSON, and only a per-user program that can run here.
    void launcherChoice_data() {
        QTest::addColumn<QByteArray>("packaged"); // its version
        QTest::addColumn<QByteArray>("info");     // the per-user Info.json; "FIFO", or empty for none
        QTest::addColumn<QString>("program");     // writeProgram's shape; "bundle-link": the bundle is a link
        QTest::addColumn<bool>("perUser");
        const QByteArray pretty = "{\n  \"name\": \"Kestrava\",\n  \"version\": \"2.0.0\"\n}\n";
        const auto row = [](const char* name, const char* packaged, const QByteArray& info, bool perUser,
                            const char* program = "elf") {
            QTest::newRow(name) << QByteArray(packaged) << info << QString::fromLatin1(program) << perUser;
        };
        row("one-line JSON, newer", "1.0.0", R"({"version":"1.0.1"})", true);
        row("newer", "1.0.0", pretty, true);
        row("equal", "2.0.0", pretty, false);
        row("older (a package upgrade went past it)", "2.0.1", pretty, false);
        row("half-written JSON", "1.0.0", "{\"version\": \"2.0.0\"", false);
        row("two version keys", "1.0.0", R"({"version":"2.0.0","version":"0.1"})", false);
        row("two version keys, one escaped", "1.0.0", R"({"version":"0.1","\u0076ersion":"2.0.0"})", false);
        row("a nested version only", "1.0.0", R"({"x":{"version":"2.0.0"}})", false);
        row("no Info.json", "1.0.0", {}, false);
        row("FIFO as Info.json", "1.0.0", "FIFO", false);
        for (const char* broken : {"missing", "empty", "random", "cut", "other-arch", "not-executable", "script"})
            QTest::addRow("newer, program %s", broken) << "1.0.0"_ba << pretty << QString::fromLatin1(broken) << false;
        row("newer, the bundle a link", "1.0.0", pretty, false, "bundle-link");
    }
    void launcherChoice() {
        QFETCH(QByteArray, packaged);
        QFETCH(QByteArray, info);
        QFETCH(QString, program);
        QFETCH(bool, perUser);
        const QString own = path(u"choice/Kestrava.app"_s);
        const QString elsewhere = path(u"choice/elsewhere.app"_s);
        const QString user = home() + u"/Kestrava.app"_s;
        writeBundle(own, packaged);
        const bool linked = program == "bundle-link"_L1;
        const QString bundle = linked ? elsewhere : user;
        QDir(elsewhere).removeRecursively();
        writeProgram(bundle + u"/bin/kestrava"_s, linked ? u"elf"_s : program);
        if (info == "FIFO") QCOMPARE(::mkfifo(QFile::encodeName(bundle + u"/Info.json"_s).constData(), 0644), 0);
        else if (!info.isEmpty()) put(bundle + u"/Info.json"_s, info);
        if (linked) QVERIFY(QDir().mkpath(home()) && QFile::link(bundle, user));
        const std::optional<QString> chosen = Updater::newerCopyThan(own, user);
        QCOMPARE(chosen.has_value(), perUser);
        if (perUser) QCOMPARE(*chosen, user + u"/bin/kestrava"_s);
        // The per-user copy, started, does not choose again.
        QVERIFY(!Updater::newerCopyThan(user, user));
    }

    void toolExitStatus_data() {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("ok");
        QTest::newRow("exit 0") << u"/bin/true"_s << QStringList() << true;
        QTest::newRow("exit 1") << u"/bin/false"_s << QStringList() << false;
        QTest::newRow("killed") << u"/bin/sh"_s << QStringList{u"-c"_s, u"kill -9 $$"_s} << false;
        QTest::newRow("missing") << u"/nonexistent/tool"_s << QStringList() << false;
        QTest::newRow("arguments are not shell text") << u"/bin/test"_s << QStringList{u"a;b"_s, u"="_s, u"a;b"_s} << true;
    }
    void toolExitStatus() {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        // The failure is the returned value; the program writes no log.
        QTest::failOnWarning(QRegularExpression(u"."_s));
        const Result<int> r = awaitTask(Updater::runProcess(tool, args, std::chrono::milliseconds(20'000)));
        QCOMPARE(r.ok(), ok);
        if (tool.startsWith("/nonexistent"_L1)) QCOMPARE(r.error().kind, Error::Kind::Io);
        else if (!ok) QCOMPARE(r.error().message, u"Güncelleme görüntüsü açılamadı"_s);
    }

    void imageNames_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("name");
        QTest::newRow("pre-release") << u"2.0.0-rc1"_s << u"Kestrava-update-2.0.0-rc1.squashfs"_s;
        QTest::newRow("spaces dropped") << u"2 .0"_s << u"Kestrava-update-2.0.squashfs"_s;
        for (const char* refused : {"1..2", "1\\2", "1\n2", ".", ""})
            QTest::addRow("%s refused", refused) << QString::fromUtf8(refused) << QString();
    }
    void imageNames() {
        QFETCH(QString, version);
        QFETCH(QString, name);
        QCOMPARE(Updater::imageFileName(version).value_or(QString()), name);
    }

    void isNewer_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("newer");
        const auto row = [](const char* name, const char* a, const char* b, bool newer) {
            QTest::newRow(name) << QString::fromUtf8(a) << QString::fromUtf8(b) << newer;
        };
        row("minor 10 beats 9", "1.10", "1.9", true);
        row("minor 9 loses to 10", "1.9", "1.10", false);
        row("trailing zero equal", "1.2", "1.2.0", false);
        row("extra part", "1.2.0.1", "1.2", true);
        row("suffix part dropped", "2.0-beta", "1.9", true);
        row("letters dropped, later parts move up", "1.x.3", "1.2", true);
        row("nothing converts", "beta", "0.0.0", false);
        row("empty parts skipped", "1..3", "1.2", true);
        row("leading plus", "+2", "1", true);
        row("negative part", "1.-1", "1.0", false);
        row("bare sign dropped", "1.+.5", "1.4", true);
        row("blank part dropped", "1. 2", "1.1", false);
        row("out of range dropped", "1.99999999999999999999.2", "1.1", true);
        row("max int64", "9223372036854775807", "9223372036854775806", true);
        row("leading zeros", "1.02", "1.1", true);
        row("empty vs zero", "", "0", false);
        row("non-ascii digits are not digits", "1.٣", "1.2", false);
    }
    void isNewer() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, newer);
        QCOMPARE(Updater::isNewer(a, b), newer);
    }

    // The manifest read alone; over the wire, check() holds the same version, null, url-less and HTML ones.
    void offer_data() {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QString>("current");
        QTest::addColumn<int>("offered"); // 0: none, 1: without notes, 2: with notes
        QTest::newRow("newer with notes") << R"({"mac":{"version":"1.1.0","url":"https:\/\/x\/a.sqfs","notes":"Yenilikler"}})"_ba << u"1.0.0"_s << 2;
        QTest::newRow("newer without notes") << R"({"mac":{"version":"2","url":"u"},"other":1})"_ba << u"1.0.0"_s << 1;
        QTest::newRow("notes null") << R"({"mac":{"version":"2","url":"u","notes":null}})"_ba << u"1.0.0"_s << 1;
        QTest::newRow("empty object") << "{}"_ba << u"1.0.0"_s << 0;
        QTest::newRow("version of wrong type") << R"({"mac":{"version":9,"url":"u"}})"_ba << u"1.0.0"_s << 0;
        QTest::newRow("notes of wrong type") << R"({"mac":{"version":"9","url":"u","notes":1}})"_ba << u"1.0.0"_s << 0;
        QTest::newRow("from no version") << R"({"mac":{"version":"0.0.1","url":"u"}})"_ba << Updater::currentVersionFrom(std::nullopt) << 1;
    }
    void offer() {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, current);
        QFETCH(int, offered);
        const std::optional<Updater::Info> info = Updater::offerFrom(manifest, current);
        QCOMPARE(info ? 1 + info->notes.has_value() : 0, offered);
    }

    void check_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("offered");
        const auto manifest = [](int status, const char* version, const char* challenge = nullptr) {
            const QJsonValue mac = version ? QJsonValue(QJsonObject{{u"version"_s, QString::fromUtf8(version)},
                                                                    {u"url"_s, u"https://kestrava.app/desktop/k.sqfs"_s}})
                                           : QJsonValue(QJsonValue::Null);
            QJsonObject o{{u"status"_s, status}, {u"body"_s, QJsonObject{{u"mac"_s, mac}}}};
            if (challenge) o.insert(u"headers"_s, QJsonObject{{QString::fromUtf8(challenge), u"Basic realm=\"k\""_s}});
            return o;
        };
        QTest::newRow("newer") << manifest(200, "1.0.1") << u"1.0.1"_s;
        // Statuses that Qt reports as errors of its own name still bring their body.
        QTest::newRow("404 page with a valid manifest is used") << manifest(404, "2.0") << u"2.0"_s;
        QTest::newRow("407 with a valid manifest is used") << manifest(407, "2.1") << u"2.1"_s;
        QTest::newRow("407 challenge with a valid manifest is used") << manifest(407, "2.2", "Proxy-Authenticate") << u"2.2"_s;
        QTest::newRow("401 challenge with a valid manifest is used") << manifest(401, "2.3", "WWW-Authenticate") << u"2.3"_s;
        QTest::newRow("same") << manifest(200, "1.0") << QString();
        QTest::newRow("older") << manifest(200, "0.9.9") << QString();
        QTest::newRow("mac null") << manifest(200, nullptr) << QString();
        QTest::newRow("broken mac") << QJsonObject{{u"status"_s, 200}, {u"body"_s, QJsonObject{{u"mac"_s, QJsonObject{{u"version"_s, u"3"_s}}}}}}
                                    << QString();
        QTest::newRow("html") << QJsonObject{{u"status"_s, 500}, {u"rawBody"_s, u"<b>x</b>"_s}} << QString();
        QTest::newRow("no network") << QJsonObject{{u"dropConnection"_s, true}} << QString();
    }
    // Never from a cache, and without the account's token or the device.
    void check() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, offered);
        TestEnv env;
        QVERIFY(env.defaults().setString(u"kestrava-token"_s, u"tok-1"_s).ok());
        reply.insert(u"method"_s, u"GET"_s);
        reply.insert(u"path"_s, QString::fromLatin1(Updater::manifestPath));
        QJsonObject headers = reply[u"headers"_s].toObject();
        headers.insert(u"Cache-Control"_s, u"max-age=3600"_s);
        reply.insert(u"headers"_s, headers);
        serve({}, {reply});
        for (int i = 0; i < 2; ++i) {
            const std::optional<Updater::Info> info = awaitTask(Updater::check());
            QCOMPARE(info ? info->version : QString(), offered);
        }
        const QJsonArray reqs = m_service.requests();
        QCOMPARE(reqs.size(), 2);
        QCOMPARE(reqs.first()[u"path"_s].toString(), QString::fromLatin1(Updater::manifestPath));
        for (const char* h : {"Authorization", "X-Kestrava-Device", "Content-Type"})
            QVERIFY2(!hasRecordedHeader(reqs.first().toObject(), QString::fromUtf8(h)), h);
    }
};

QTEST_GUILESS_MAIN(UpdateTest)

#include "update_test.moc"
