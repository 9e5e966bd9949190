#include "platform/private_file.h"

#include "support/files.h"

#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

// Linked with --wrap=open and --wrap=mkostemp: each descriptor the module opens is checked for
// FD_CLOEXEC as it is made, since any program the client starts meanwhile would inherit it.
namespace {
int g_opened = 0;
int g_inheritable = 0;
int note(int fd) {
    if (fd >= 0) ++g_opened;
    if (fd >= 0 && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC)) ++g_inheritable;
    return fd;
}
} // namespace

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_mkostemp(char* pattern, int flags);
int __wrap_mkostemp(char* pattern, int flags) {
    return note(__real_mkostemp(pattern, flags));
}
int __wrap_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return note(__real_open(path, flags, mode));
}
}

namespace {

enum At { Nothing, File, Folder, FileAsFolder, OpenFolder };
enum Expect { Value, Missing, Io, Damaged };

struct Profile {
    QString name;
    int port = 0;
};

Profile decodeProfile(JsonDecoder& d, const QJsonObject& o) {
    Profile p{d.string(o, "name")};
    const QJsonObject server = d.object(o, "server");
    JsonDecoder::Scope scope(d, "server");
    p.port = d.int32(server, "port");
    return p;
}

constexpr qint64 maxSize = 256;
const QString leadIn = u"VPN profili okunamadı"_s;

mode_t currentUmask() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QString osText(const QString& what, int err) { return u"%1 (%2)"_s.arg(what, QString::fromLocal8Bit(strerror(err))); }

QStringList openFds() { return QDir(u"/proc/self/fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot); }

// A valid profile of exactly `size` bytes, padded inside the name.
QByteArray profileOfSize(qint64 size) {
    QByteArray shell = R"({"name":"","server":{"port":1}})";
    return shell.insert(9, QByteArray(size - shell.size(), 'x'));
}

} // namespace

class PrivateFileTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    int m_row = 0;

    QString rowDir() { return m_dir.path() + u"/row%1"_s.arg(++m_row); }

private Q_SLOTS:
    void write_data() {
        QTest::addColumn<int>("at"); // what stands where the file goes
        QTest::addColumn<int>("err");
        QTest::newRow("new, in missing folders") << int(Nothing) << 0;
        QTest::newRow("replaces the old file") << int(File) << 0;
        QTest::newRow("folder made open by hand") << int(OpenFolder) << 0;
        QTest::newRow("folder is a regular file") << int(FileAsFolder) << ENOTDIR;
        QTest::newRow("target is a folder") << int(Folder) << EISDIR;
    }
    void write() {
        QFETCH(int, at);
        QFETCH(int, err);
        const QString root = rowDir();
        const QString folder = root + (at == FileAsFolder ? u"/blocker"_s : u"/a/k"_s);
        const QString path = folder + u"/f.json"_s;
        if (at == FileAsFolder) QVERIFY(writeFile(folder, "old"));
        if (at == File) QVERIFY(PrivateFile::write(path, "old").ok());
        if (at == OpenFolder) QVERIFY(QDir().mkpath(folder) && ::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        if (at == Folder) QVERIFY(QDir().mkpath(path));

        const QStringList fds = openFds();
        g_opened = g_inheritable = 0;
        const Result<void> r = PrivateFile::write(path, "new");
        QCOMPARE(g_inheritable, 0);
        QCOMPARE(openFds(), fds);
        QCOMPARE(r.ok(), err == 0);
        if (err) {
            QCOMPARE(r.error().kind, Error::Kind::Io);
            QCOMPARE(r.error().code, err);
            QCOMPARE(r.error().message, osText(err == ENOTDIR ? folder : path, err));
            QVERIFY(at == Folder ? QFileInfo(path).isDir() : readFile(folder) == "old");
        } else {
            QVERIFY(g_opened >= 2); // the wrap is live: temp file and folder
            QCOMPARE(readFile(path), "new"_ba);
            QCOMPARE(modeOf(path), 0600);
            QCOMPARE(modeOf(folder), 0700);
            // The folders above are the desktop's, made as any program makes them.
            QCOMPARE(modeOf(root + u"/a"_s), int(0777 & ~currentUmask()));
        }
        // No temporary file is left beside the target, whichever way it went.
        if (at != FileAsFolder) QCOMPARE(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{u"f.json"_s});
    }

    void readJson_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("at");
        QTest::addColumn<int>("expect");
        QTest::addColumn<QString>("detail");    // a damaged file's key path
        QTest::addColumn<bool>("asideBlocked"); // a non-empty folder already at path.corrupt
        auto row = [](const char* name, const QByteArray& content, Expect expect, const char* detail = "", At at = File,
                      bool asideBlocked = false) {
            QTest::newRow(name) << content << int(at) << int(expect) << QString::fromLatin1(detail) << asideBlocked;
        };
        row("missing", {}, Missing, "", Nothing);
        row("cannot be opened", {}, Io, "", Folder);
        row("valid", R"({"name":"n","server":{"port":4500},"extra":1})", Value);
        row("largest int", R"({"name":"n","server":{"port":2147483647}})", Value);
        row("smallest int", R"({"name":"n","server":{"port":-2147483648}})", Value);
        row("exactly the size limit", profileOfSize(maxSize), Value);
        row("too large", profileOfSize(maxSize + 1), Damaged);
        row("empty", {}, Damaged);
        row("not JSON", R"({"name":)", Damaged);
        row("array", R"([{"name":"n"}])", Damaged);
        row("field missing", R"({"server":{"port":1}})", Damaged, "name");
        row("int above range", R"({"name":"n","server":{"port":2147483648}})", Damaged, "server.port");
        row("int below range", R"({"name":"n","server":{"port":-2147483649}})", Damaged, "server.port");
        row("fraction", R"({"name":"n","server":{"port":1.5}})", Damaged, "server.port");
        row("damaged, cannot be moved", "{", Damaged, "", File, true);
    }
    void readJson() {
        QFETCH(QByteArray, content);
        QFETCH(int, at);
        QFETCH(int, expect);
        QFETCH(QString, detail);
        QFETCH(bool, asideBlocked);
        const QString path = rowDir() + u"/p.json"_s;
        const QString aside = path + u".corrupt"_s;
        QVERIFY(asideBlocked ? writeFile(aside + u"/keep"_s, "x") : writeFile(aside, "older"));
        if (at == File) QVERIFY(writeFile(path, content));
        if (at == Folder) QVERIFY(QDir().mkpath(path));

        const QStringList fds = openFds();
        g_inheritable = 0;
        const auto r = PrivateFile::readJson<Profile>(path, maxSize, leadIn, decodeProfile);
        QCOMPARE(g_inheritable, 0);
        QCOMPARE(openFds(), fds);
        QCOMPARE(r.missing(), expect == Missing);
        QCOMPARE(r.damaged(), expect == Damaged);
        QCOMPARE(r.value.has_value(), expect == Value);
        if (expect == Value)
            QCOMPARE(qint64(r.value->port), QJsonDocument::fromJson(content)[u"server"][u"port"].toInteger());
        if (expect == Io) {
            QCOMPARE(r.error->kind, Error::Kind::Io);
            QCOMPARE(r.error->code, EISDIR);
            QCOMPARE(r.error->message, leadIn + u": "_s + osText(path, EISDIR));
        }
        if (expect == Damaged) {
            QCOMPARE(r.error->detail, detail);
            QVERIFY2(r.error->message.startsWith(leadIn + u": "_s) && r.error->message.contains(detail),
                     qPrintable(r.error->message));
            // Moved whole, over the older damaged file; or left in place when that cannot be done.
            QCOMPARE(r.setAsidePath, asideBlocked ? QString() : aside);
            QCOMPARE(QFileInfo::exists(path), asideBlocked);
            QCOMPARE(readFile(asideBlocked ? path : aside), content);
        } else {
            QCOMPARE(r.setAsidePath, QString());
            QCOMPARE(readFile(aside), "older"_ba);
            QCOMPARE(QFileInfo::exists(path), at != Nothing);
        }
    }

    void configPath_data() {
        QTest::addColumn<QByteArray>("xdg"); // empty: unset
        QTest::addColumn<QString>("expected");
        const QString fallback = u"/home/tester/.config/kestrava/f.json"_s;
        QTest::newRow("XDG_CONFIG_HOME set") << "/srv/cfg"_ba << u"/srv/cfg/kestrava/f.json"_s;
        QTest::newRow("relative XDG_CONFIG_HOME") << "cfg"_ba << fallback;
        QTest::newRow("unset") << QByteArray() << fallback;
    }
    void configPath() {
        QFETCH(QByteArray, xdg);
        QFETCH(QString, expected);
        qputenv("HOME", "/home/tester");
        if (xdg.isEmpty()) qunsetenv("XDG_CONFIG_HOME");
        else qputenv("XDG_CONFIG_HOME", xdg);
        QCOMPARE(PrivateFile::configPath(u"f.json"_s), expected);
    }
};

QTEST_GUILESS_MAIN(PrivateFileTest)
#include "private_file_test.moc"
