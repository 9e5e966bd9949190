// The update check, the version rule, and downloadAndInstall over the stand-in service with recording
// stand-ins for the image tools on PATH: the "image" is a text file naming a folder that the stand-in
// mount copies to the mount point. CTest runs it in groups of functions (CMakeLists.txt).
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

// An https server on loopback: each path answers with its whole reply, then the connection closes.
struct TlsServer {
    QSslServer server;
    QMap<QByteArray, QByteArray> replies;

    bool start(const QString& certFile, const QString& keyFile) {
        QFile cert(certFile), key(keyFile);
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) return false;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificate(QSslCertificate(&cert));
        conf.setPrivateKey(QSslKey(&key, QSsl::Ec));
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

    Result<void> install(const QString& version, const QString& url, Updater::InstallPlan p) {
        return awaitTask(Updater::downloadAndInstall(Updater::Info{version, url, std::nullopt}, std::move(p)));
    }
    Result<void> install(const QString& version) {
        return install(version, m_service.origin() + u"/img"_s, plan());
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
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_log + u".script"_s), 10'000);
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

    // Refused before the image is mounted; nothing written, nothing handed off.
    void failures_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url"); // "SERVICE" is the stand-in's origin
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("tools");
        const auto row = [](const char* name, const char* version, const char* url, const QString& text,
                            const QStringList& tools = {}) {
            QTest::newRow(name) << QString::fromUtf8(version) << QString::fromUtf8(url) << text << tools;
        };
        const QString download = u"Güncelleme indirilemedi"_s;
        row("empty url", "2.0", "", download);
        row("malformed url", "2.0", "ht tp://x y", download);
        row("file url", "2.0", "file:///etc/passwd", download);
        row("version climbing out", "../../x", "SERVICE/img", download);
        row("version with a slash", "2.0/evil", "SERVICE/img", download);
        row("version with nothing usable", "***", "SERVICE/img", download);
        row("404 page saved, mount fails", "2.0", "SERVICE/missing", u"Güncelleme görüntüsü açılamadı"_s,
            {u"fusermount3"_s, u"squashfuse"_s});
        row("service unreachable", "2.0", "http://127.0.0.1:9/img", u"Connection refused"_s);
    }
    void failures() {
        QFETCH(QString, version);
        QFETCH(QString, url);
        QFETCH(QString, text);
        QFETCH(QStringList, tools);
        serve({});
        const Result<void> r = install(version, url.replace("SERVICE"_L1, m_service.origin()), plan());
        QVERIFY(!r.ok());
        QCOMPARE(r.error().message, text);
        QCOMPARE(toolNames(), tools);
        QCOMPARE(m_terminations, 0);
        QVERIFY(!QFileInfo::exists(m_log + u".script"_s));
        QVERIFY(!QFileInfo::exists(path(u"home"_s)));
        QCOMPARE(entries(path(u"tmp"_s)), QStringList());
        if (text == "Güncelleme indirilemedi"_L1) QCOMPARE(m_service.requests().size(), 0); // before any traffic
        QVERIFY(!QFileInfo::exists(path(u"x"_s))); // nothing written outside the image folder
    }

    // Whatever part of the image came is neither mounted nor kept.
    void brokenTransfer_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("why"); // the platform's text, or the detail of our own refusal
        QTest::addColumn<bool>("platform");
        const auto trickle = [](int intervalMs, int count) {
            return QJsonObject{{u"chunk"_s, u"IMAGE:"_s}, {u"intervalMs"_s, intervalMs}, {u"count"_s, count}};
        };
        QTest::newRow("closed after the headers") << QJsonObject{{u"dropConnection"_s, true}} << u"Connection closed"_s << true;
        QTest::newRow("closed after 10 bytes") << QJsonObject{{u"dropAfterBytes"_s, 10}} << u"Connection closed"_s << true;
        QTest::newRow("stalls past the time-out") << QJsonObject{{u"trickle"_s, trickle(3000, 2)}} << u"Operation canceled"_s << true;
        QTest::newRow("chunked, promising more than it sends")
            << QJsonObject{{u"headers"_s, QJsonObject{{u"Content-Length"_s, u"100"_s}}}, {u"trickle"_s, trickle(1, 1)}}
            << u"100 bayttan 6 bayt geldi"_s << false;
    }
    void brokenTransfer() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, why);
        QFETCH(bool, platform);
        reply.insert(u"path"_s, u"/img"_s);
        serve(makeImage(u"6.0"_s, {u"Kestrava.app"_s}), {reply});
        Updater::InstallPlan p = plan();
        p.transferStall = std::chrono::milliseconds(1000);
        const Result<void> r = install(u"6.0"_s, m_service.origin() + u"/img"_s, p);
        QVERIFY(!r.ok());
        // A transport failure is the platform's own; a reply short of its length is ours to refuse.
        QCOMPARE(r.error().kind, platform ? Error::Kind::Transport : Error::Kind::Update);
        QCOMPARE(platform ? r.error().message : r.error().detail, why);
        if (!platform) QCOMPARE(r.error().message, u"Güncelleme indirilemedi"_s);
        if (!platform) QCOMPARE(r.error().code, int(Updater::UpdateError::download));
        QVERIFY(!toolNames().contains(u"squashfuse"_s));
        QCOMPARE(entries(path(u"tmp"_s)), QStringList());
        QCOMPARE(m_terminations, 0);
    }

    // An https website only sends us to https images, except on this machine; no redirect lands on http
    // from https. Refused before the image is asked for.
    void imageSource_data() {
        QTest::addColumn<QString>("origin"); // "SERVICE" and "TLS" stand for the two servers' origins
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("text"); // empty: installed
        const auto row = [](const char* name, const char* origin, const char* url, const QString& text) {
            QTest::newRow(name) << QString::fromUtf8(origin) << QString::fromUtf8(url) << text;
        };
        const char* site = "https://kestrava.example";
        const QString insecure = u"Güncelleme indirilemedi"_s;
        row("https site, http image", site, "http://cdn.kestrava.invalid/img", insecure);
        row("https site, https image", site, "TLS/img", {});
        row("https site, http image on loopback", site, "SERVICE/img", {});
        row("https site, http image on IPv6 loopback", site, "http://[::1]:9/img", u"Connection refused"_s);
        row("http site, http image elsewhere", "SERVICE", "http://cdn.kestrava.invalid/img",
            u"Host cdn.kestrava.invalid not found"_s);
        row("https site, https image redirected to http on loopback", site, "TLS/down", insecure);
        row("http site, https image redirected to http on loopback", "SERVICE", "TLS/down", insecure);
        row("https site, http image on loopback redirected elsewhere", site, "SERVICE/away", insecure);
    }
    void imageSource() {
        QFETCH(QString, origin);
        QFETCH(QString, url);
        QFETCH(QString, text);
        const QString image = makeImage(u"7.0"_s, {u"Kestrava.app"_s});
        serve(image, {QJsonObject{{u"path"_s, u"/away"_s},
                                  {u"status"_s, 302},
                                  {u"headers"_s, QJsonObject{{u"Location"_s, u"http://cdn.kestrava.invalid/img"_s}}}}});
        m_tls.replies = {{"/img", TlsServer::reply("200 OK", {}, readFile(image))},
                         {"/down", TlsServer::reply("302 Found", "Location: " + m_service.origin().toUtf8() + "/img\r\n")}};
        for (QString* s : {&origin, &url}) s->replace("SERVICE"_L1, m_service.origin()).replace("TLS"_L1, m_tls.origin());
        Updater::InstallPlan p = plan();
        p.webOrigin = QUrl(origin);
        const Result<void> r = install(u"7.0"_s, url, p);
        QCOMPARE(r.ok() ? QString() : r.error().message, text);
        if (text.isEmpty()) {
            QCOMPARE(readFile(home() + u"/Kestrava.app/Info.json"_s), "{\"version\": \"7.0\"}"_ba);
            // Its detached hand-off has written what it ran before the next case looks for it.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_log + u".script"_s), 10'000);
            return;
        }
        // Refused by us, as a download failure; what the network said, unchanged.
        if (r.error().kind == Error::Kind::Update) QCOMPARE(r.error().code, int(Updater::UpdateError::download));
        else QCOMPARE(r.error().kind, Error::Kind::Transport);
        QCOMPARE(m_service.requests(u"GET"_s, u"/img"_s).size(), 0);
        QCOMPARE(entries(path(u"tmp"_s)), QStringList());
    }

    // An image whose bundle cannot be found, trusted, copied or run is refused before anything is
    // swapped or anyone quits: the installed copy stays as it was, nothing of the new one or the image
    // is left, and the image is unmounted.
    void hostileBundle_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("text"); // empty: installed
        QTest::addColumn<QString>("why");  // in the detail
        QTest::addColumn<int>("homeKb");   // a tmpfs home of this size (root only); 0: none
        const auto row = [](const char* name, const char* shape, const QString& text, const char* why = "", int kb = 0) {
            QTest::newRow(name) << QString::fromUtf8(shape) << text << QString::fromUtf8(why) << kb;
        };
        const QString notFound = u"Güncelleme görüntüsü içinde uygulama bulunamadı"_s;
        const QString unopened = u"Güncelleme görüntüsü açılamadı"_s;
        row("no bundle", "no-bundle", notFound);
        row("a file named .app is no bundle", "file-named-app", notFound);
        row("bundle is an absolute link", "bundle-link-absolute", notFound);
        row("bundle is a ../ link", "bundle-link-relative", notFound);
        row("absolute link inside", "inner-absolute", notFound, "lib/evil");
        row("relative link climbing out", "inner-relative", notFound, "lib/evil");
        row("link out through another link", "inner-through", notFound, "a/b/e");
        row("link that stays inside", "inner-ok", {});
        row("FIFO inside", "fifo-info", notFound, "Info.json");
        row("no program", "program-missing", notFound, "kestrava");
        row("program is a script", "program-script", notFound, "program değil");
        row("program cut short", "program-cut", notFound, "eksik");
        row("program of another machine", "program-other-arch", notFound, "mimari");
        row("program not executable", "program-not-executable", notFound, "çalıştırılabilir");
        row("Info.json names 9.9.9", "info-other", notFound, "9.9.9");
        row("no Info.json", "info-missing", notFound, "Info.json");
        row("Info.json with two versions", "info-twice", notFound, "birden çok");
        row("unpacks past the cap", "bomb", unopened, "MB'tan büyük");
        row("copy fails half-way", "copy-fails", unopened, "cp exited with 1");
        // Someone prepared the mount point with files of their own: it is not reused, nothing mounted.
        row("mount point prepared by someone", "planted-mount", unopened);
        row("bigger than the room at home", "big", u"Güncelleme için yeterli yer yok"_s, "", 8192);
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
            QDir().mkpath(path(u"small"_s));
            unmount.where = QFile::encodeName(path(u"small"_s));
            if (::mount("tmpfs", unmount.where.constData(), "tmpfs", 0, ("size=" + QByteArray::number(homeKb) + "k").constData()) != 0) {
                unmount.where.clear();
                QSKIP("cannot mount tmpfs here");
            }
            p.installedApp = path(u"small/Applications/Kestrava.app"_s);
        }
        writeBundle(p.installedApp, "1.0.0");
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
        const QString image = path(u"served/h"_s);
        put(image, "IMAGE:" + root.toUtf8());
        serve(image);
        const QByteArray small = QFile::encodeName(path(u"small"_s));
        struct statvfs before {};
        if (homeKb > 0) QCOMPARE(::statvfs(small.constData(), &before), 0);

        const Result<void> r = install(u"9.0"_s, m_service.origin() + u"/img"_s, p);
        if (text.isEmpty()) {
            QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message + u' ' + r.error().detail));
            QCOMPARE(QFile::symLinkTarget(p.installedApp + u"/lib/libk.so"_s), p.installedApp + u"/bin/kestrava"_s);
            // The detached hand-off has written what it ran before the next row looks for it.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_log + u".script"_s), 10'000);
            return;
        }
        QVERIFY(!r.ok());
        QVERIFY2(r.error().message.startsWith(text), qPrintable(r.error().message));
        QVERIFY2(r.error().detail.contains(why), qPrintable(r.error().detail));
        QCOMPARE(m_terminations, 0);
        QVERIFY(!QFileInfo::exists(m_log + u".script"_s));
        QVERIFY(!QFileInfo(p.installedApp).isSymLink());
        QCOMPARE(readFile(p.installedApp + u"/Info.json"_s), "{\"version\": \"1.0.0\"}"_ba);
        QCOMPARE(entries(QFileInfo(p.installedApp).absolutePath()), QStringList{u"Kestrava.app"_s});
        QCOMPARE(entries(path(u"tmp"_s)), QStringList());
        QCOMPARE(toolNames().last(), u"fusermount3"_s); // unmounted, or never mounted
        if (homeKb > 0) { // refused before a byte went there
            struct statvfs after {};
            QCOMPARE(::statvfs(small.constData(), &after), 0);
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
        const auto row = [](const char* name, const char* packaged, const QByteArray& info, bool perUser,
                            const char* program = "elf") {
            QTest::newRow(name) << QByteArray(packaged) << info << QString::fromLatin1(program) << perUser;
        };
        row("one-line JSON, newer", "1.0.0", R"({"version":"1.0.1"})", true);
        row("newer", "1.0.0", pretty, true);
        row("equal", "2.0.0", pretty, false);
        row("older (a package upgrade went past it)", "2.0.1", pretty, false);
        row("ten in a part", "1.9.0", R"({"version":"1.10.0"})", true);
        row("2.0.0-rc1 is [2, 0]", "1.9", R"({"version":"2.0.0-rc1"})", true);
        row("v2 is []", "1.0.0", R"({"version":"v2"})", false);
        row("1..1 is [1, 1]", "1.0.5", R"({"version":"1..1"})", true);
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
        QTest::newRow("410 with a valid manifest is used") << manifest(410, "2.4") << u"2.4"_s;
        QTest::newRow("503 with a valid manifest is used") << manifest(503, "2.5") << u"2.5"_s;
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
