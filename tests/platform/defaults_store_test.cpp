// The settings file: damaged or planted files, a full disk, a killed writer, and copies of the program
// sharing one file, where each process's writes must survive the others'.
#include "platform/defaults_store.h"

#include "platform/defaults_keys.h"
#include "support/files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using namespace DefaultsKeys;
const QString& dismissed = dismissedCampaigns;

int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QJsonObject fileObject(const QString& path) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(readFile(path), &err);
    if (err.error != QJsonParseError::NoError) return QJsonObject{{u"<unparsable>"_s, true}};
    return doc.object();
}

QStringList words(const char* ops) { return QString::fromUtf8(ops).split(u"; "_s); }

// What a store shows for keys, in the file's own form.
QJsonObject viewOf(const DefaultsStore& s, const QStringList& keys) {
    QJsonObject out;
    for (const QString& k : keys) {
        if (const auto list = s.stringList(k)) out.insert(k, QJsonArray::fromStringList(*list));
        else if (const auto text = s.string(k)) out.insert(k, *text);
    }
    return out;
}

// "set KEY VALUE", "list KEY A,B" or "remove KEY".
Result<void> applyOp(DefaultsStore& s, const QString& op) {
    const QStringList w = op.split(u' ');
    if (w[0] == "set"_L1) return s.setString(w[1], w[2]);
    if (w[0] == "list"_L1) return s.setStringList(w[1], w[2].split(u','));
    return s.remove(w[1]);
}

// The child, "TEST --peer PATH MODE [ARGS]": it opens its store, says "ready" and acts only once the
// parent sends a line, so its view is older than the file by then.
int runPeer(const QStringList& args) {
    const QString path = args.value(2), mode = args.value(3);
    auto waitForGo = [] {
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        char line[16];
        return std::fgets(line, sizeof line, stdin) != nullptr;
    };
    if (mode == "hold"_L1) { // the lock as any copy of the program takes it, until killed
        QDir().mkpath(QFileInfo(path).absolutePath());
        const int fd = ::open(QFile::encodeName(path + u".lock"_s).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 2;
        waitForGo(); // or until the parent is gone
        return 0;
    }
    DefaultsStore s(path);
    if (!waitForGo()) return 2;
    for (const QString& op : args.mid(4)) // "ops"
        if (mode == "ops"_L1 && !applyOp(s, op).ok()) return 1;
    // "count NAME N": NAME-i = i for every i, and NAME = the last i.
    for (int i = 1; mode == "count"_L1 && i <= args.value(5).toInt(); ++i) {
        if (!s.setString(u"%1-%2"_s.arg(args.value(4)).arg(i), QString::number(i)).ok()) return 1;
        if (!s.setString(args.value(4), QString::number(i)).ok()) return 1;
    }
    return 0;
}

class Peer {
public:
    explicit Peer(const QStringList& args) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(), QStringList{u"--peer"_s} + args);
    }
    ~Peer() { kill(); }
    bool ready() {
        for (int i = 0; i < 6 && !m_process.canReadLine(); ++i)
            if (!m_process.waitForReadyRead(30'000)) return false;
        return m_process.readLine() == "ready\n";
    }
    void go() { m_process.write("go\n"); }
    bool finishedOk() {
        return m_process.waitForFinished(120'000) && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    void kill() {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
};

} // namespace

class DefaultsStoreTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path() const { return m_dir.path() + u"/kestrava/defaults.json"_s; }
    QString folder() const { return m_dir.path() + u"/kestrava"_s; }

private Q_SLOTS:
    void init() { QDir(folder()).removeRecursively(); }

    void valuesSurviveRestart() {
        {
            DefaultsStore s(path());
            QVERIFY(!s.string(token));
            QVERIFY(!QFile::exists(path())); // reading makes no file
            QVERIFY(s.setString(token, u"tök€n"_s).ok());
            QVERIFY(s.setString(plan, QString()).ok());
            QVERIFY(s.setStringList(dismissed, {u"a"_s, u"b"_s}).ok());
            QVERIFY(s.setString(u"gone"_s, u"x"_s).ok());
            QVERIFY(s.remove(u"gone"_s).ok());
            // What the file holds already is not written again; a new value is.
            const auto stamp = [&] {
                struct stat st {};
                return ::stat(QFile::encodeName(path()).constData(), &st) == 0
                           ? std::tuple(st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec) : std::tuple(ino_t(0), 0L, 0L);
            };
            const auto before = stamp();
            QVERIFY(s.setString(token, u"tök€n"_s).ok());
            QVERIFY(s.setStringList(dismissed, {u"a"_s, u"b"_s}).ok());
            QVERIFY(s.remove(u"gone"_s).ok());
            QCOMPARE(stamp(), before);
            QVERIFY(s.setString(u"gone"_s, u"x"_s).ok());
            QVERIFY(stamp() != before);
            QVERIFY(s.remove(u"gone"_s).ok());
        }
        DefaultsStore s(path());
        QCOMPARE(s.string(token), std::optional<QString>(u"tök€n"_s));
        // An empty text is a value, not a missing key.
        QCOMPARE(s.string(plan), std::optional<QString>(QString()));
        QCOMPARE(s.stringList(dismissed), std::optional<QStringList>({u"a"_s, u"b"_s}));
        QVERIFY(!s.contains(u"gone"_s));
        QCOMPARE(modeOf(path()), 0600); // the rest of a private file's writing is checked on its own
    }

    void otherKindReadsAbsent() {
        QVERIFY(writeFile(path(), R"({"kestrava-token":["x"],"kestrava-dismissed-campaigns":"a","n":5,"l":["a",1]})"));
        DefaultsStore s(path());
        QVERIFY(!s.string(token));
        QVERIFY(!s.stringList(dismissed));
        QVERIFY(!s.string(u"n"_s));
        QVERIFY(!s.stringList(u"l"_s));
        // Unknown values are kept through a rewrite.
        QVERIFY(s.setString(email, u"e"_s).ok());
        QCOMPARE(QJsonDocument::fromJson(readFile(path()))[u"n"_s].toInt(), 5);
    }

    // Damaged before the store read it, or behind its back after: set aside whole (over an older one),
    // and the write goes on from nothing rather than from what this copy remembered.
    void damagedFileIsSetAside_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("folder"); // a folder stands at the path: it cannot be opened, even by root
        QTest::addColumn<bool>("afterOpen");
        for (bool after : {false, true}) {
            const char* when = after ? "after open" : "at open";
            QTest::addRow("truncated, %s", when) << "{\"kestrava-token\":\"abc"_ba << false << after;
            QTest::addRow("array, %s", when) << R"(["kestrava-token"])"_ba << false << after;
            QTest::addRow("folder, %s", when) << QByteArray() << true << after;
        }
        QTest::newRow("empty, at open") << QByteArray() << false << false;
    }
    void damagedFileIsSetAside() {
        QFETCH(QByteArray, content);
        QFETCH(bool, folder);
        QFETCH(bool, afterOpen);
        QVERIFY(writeFile(path() + u".corrupt"_s, "older"));
        std::optional<DefaultsStore> s;
        if (afterOpen) {
            s.emplace(path());
            QVERIFY(s->setString(token, u"t"_s).ok());
            QVERIFY(QFile::remove(path()));
        }
        QVERIFY(folder ? QDir().mkpath(path()) : writeFile(path(), content));
        if (!afterOpen) s.emplace(path());
        if (!afterOpen) QVERIFY(!s->string(token));
        QVERIFY(s->setString(originalIp, u"1.2.3.4"_s).ok());
        QCOMPARE(s->setAsidePath(), path() + u".corrupt"_s);
        QCOMPARE(QFileInfo(s->setAsidePath()).isDir(), folder);
        if (!folder) QCOMPARE(readFile(s->setAsidePath()), content);
        QCOMPARE(fileObject(path()), (QJsonObject{{originalIp, u"1.2.3.4"_s}}));
    }

    // A link or a folder planted at the lock's path is never followed and never stops a save: it is set
    // aside, and whatever a link names is left as it was.
    void plantedLockIsSetAside_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a file elsewhere") << u"link"_s;
        QTest::newRow("dangling link") << u"dangling"_s;
        QTest::newRow("folder") << u"folder"_s;
    }
    void plantedLockIsSetAside() {
        QFETCH(QString, kind);
        const QString lock = path() + u".lock"_s;
        const QString elsewhere = m_dir.path() + u"/elsewhere"_s;
        QFile::remove(elsewhere);
        QVERIFY(QDir().mkpath(folder()));
        if (kind == "link"_L1) QVERIFY(writeFile(elsewhere, "theirs"));
        if (kind != "folder"_L1) QVERIFY(QFile::link(elsewhere, lock));
        else QVERIFY(QDir().mkpath(lock));
        DefaultsStore s(path());
        for (const char* value : {"one", "two"}) { // the first save repairs it for every later one
            const Result<void> r = s.setString(token, QString::fromLatin1(value));
            QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message));
        }
        QCOMPARE(DefaultsStore(path()).string(token), std::optional<QString>(u"two"_s));
        QVERIFY(!QFileInfo::exists(lock) && !QFileInfo(lock).isSymLink());
        QVERIFY(QFileInfo::exists(lock + u".corrupt"_s) || QFileInfo(lock + u".corrupt"_s).isSymLink());
        if (kind == "link"_L1) QCOMPARE(readFile(elsewhere), "theirs"_ba);
        if (kind == "dangling"_L1) QVERIFY(!QFileInfo::exists(elsewhere));
    }

    // A path under a regular file can never be created, even by root.
    void unwritableFolderReportsAndKeepsMemory() {
        const QString blocker = m_dir.path() + u"/blocker"_s;
        QVERIFY(writeFile(blocker, "x"));
        DefaultsStore s(blocker + u"/kestrava/defaults.json"_s);
        const Result<void> r = s.setString(token, u"t"_s);
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Io);
        QCOMPARE(r.error().message,
                 u"Ayarlar kaydedilemedi: %1/kestrava (%2)"_s.arg(blocker, QString::fromLocal8Bit(strerror(ENOTDIR))));
        QCOMPARE(s.string(token), std::optional<QString>(u"t"_s));
    }

    void fullDiskKeepsOldFile() {
        if (::geteuid() != 0) QSKIP("needs root to mount a small tmpfs");
        QTemporaryDir mnt;
        if (::mount("tmpfs", QFile::encodeName(mnt.path()).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount tmpfs here");
        struct Unmount {
            QByteArray where;
            ~Unmount() { ::umount(where.constData()); }
        } unmount{QFile::encodeName(mnt.path())};
        const QString p = mnt.path() + u"/defaults.json"_s;
        {
            DefaultsStore s(p);
            QVERIFY(s.setString(token, u"old"_s).ok());
            const QByteArray before = readFile(p);
            QVERIFY(!s.setString(u"big"_s, QString(200 * 1024, u'x')).ok());
            QCOMPARE(readFile(p), before);
            QCOMPARE(QDir(mnt.path()).entryList(QDir::Files).size(), 1);
        }
        QCOMPARE(DefaultsStore(p).string(token), std::optional<QString>(u"old"_s));
    }

    void killDuringWriteLeavesOldOrNew() {
        // A child rewrites the store as fast as it can; once it has got on, we kill it at a random moment.
        const QString p = path();
        QVERIFY(DefaultsStore(p).setString(u"n"_s, u"0"_s).ok());
        const QString filler(256 * 1024, u'y');
        QString last = u"0"_s;
        for (int round = 0; round < 20; ++round) {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                DefaultsStore s(p);
                for (int i = 1; i < 1'000'000; ++i) {
                    (void)s.setString(u"filler"_s, filler);
                    (void)s.setString(u"n"_s, u"%1-%2"_s.arg(round).arg(i));
                }
                ::_exit(0);
            }
            const auto n = [&] { return QJsonDocument::fromJson(readFile(p))[u"n"_s].toString(); };
            const bool wrote = QTest::qWaitFor([&] { return n() != last; }, 30'000);
            ::usleep(useconds_t(QRandomGenerator::global()->bounded(20000)));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            QVERIFY(wrote);
            QJsonParseError err{};
            const QJsonDocument doc = QJsonDocument::fromJson(readFile(p), &err);
            QVERIFY2(err.error == QJsonParseError::NoError, qPrintable(err.errorString()));
            QVERIFY(doc[u"n"_s].isString());
            QVERIFY(DefaultsStore(p).setAsidePath().isEmpty());
            last = n();
        }
    }

    void viewFollowsOtherWriters_data() {
        QTest::addColumn<QStringList>("ops"); // by another store on the same file, in turn
        QTest::newRow("sign-in") << words("set kestrava-token t; set kestrava-email e@x.tr");
        QTest::newRow("sign-out") << words("set kestrava-token t; remove kestrava-token");
        QTest::newRow("list") << words("list kestrava-dismissed-campaigns a,b; list kestrava-dismissed-campaigns a,b,c");
        // Same size, back to back: the replaced file may not be told apart by size and time.
        QStringList sameSize;
        for (int i = 10; i < 60; ++i) sameSize << u"set kestrava-original-ip 10.0.0.%1"_s.arg(i);
        QTest::newRow("same size, quickly") << sameSize;
    }
    void viewFollowsOtherWriters() {
        QFETCH(QStringList, ops);
        const QStringList keys{token, email, originalIp, dismissed};
        QVERIFY(writeFile(path(), R"({"kestrava-email":"old@x.tr"})"));
        const DefaultsStore reader(path());
        DefaultsStore writer(path());
        for (const QString& op : ops) {
            QVERIFY(applyOp(writer, op).ok());
            QCOMPARE(viewOf(reader, keys), viewOf(writer, keys));
            QCOMPARE(reader.contains(token), writer.contains(token));
        }
        // Deleted by hand: nothing is left to show.
        QVERIFY(QFile::remove(path()));
        QCOMPARE(viewOf(reader, keys), QJsonObject());
    }

    void writesOfAnotherProcessSurvive_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QStringList>("peerOps"); // done while our store stays open
        QTest::addColumn<QString>("ourOp");       // done after them, from our older view
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("sign-in elsewhere")
            << QByteArray(R"({"kestrava-server":"de-1"})")
            << words("set kestrava-token t; set kestrava-email e@x.tr; set kestrava-plan PREMIUM")
            << u"set kestrava-original-ip 1.2.3.4"_s
            << QByteArray(R"({"kestrava-server":"de-1","kestrava-token":"t","kestrava-email":"e@x.tr",
                             "kestrava-plan":"PREMIUM","kestrava-original-ip":"1.2.3.4"})");
        QTest::newRow("sign-out elsewhere")
            << QByteArray(R"({"kestrava-token":"t","kestrava-email":"e@x.tr"})")
            << words("remove kestrava-token") << u"set kestrava-original-ip 1.2.3.4"_s
            << QByteArray(R"({"kestrava-email":"e@x.tr","kestrava-original-ip":"1.2.3.4"})");
        QTest::newRow("server and notices elsewhere, sign-out here")
            << QByteArray(R"({"kestrava-token":"t"})")
            << words("set kestrava-server nl-2; list kestrava-dismissed-campaigns c1,c2")
            << u"remove kestrava-token"_s
            << QByteArray(R"({"kestrava-server":"nl-2","kestrava-dismissed-campaigns":["c1","c2"]})");
    }
    void writesOfAnotherProcessSurvive() {
        QFETCH(QByteArray, before);
        QFETCH(QStringList, peerOps);
        QFETCH(QString, ourOp);
        QFETCH(QByteArray, after);
        QVERIFY(writeFile(path(), before));
        DefaultsStore ours(path());
        Peer peer(QStringList{path(), u"ops"_s} + peerOps);
        QVERIFY(peer.ready());
        peer.go();
        QVERIFY(peer.finishedOk());
        QVERIFY(applyOp(ours, ourOp).ok());

        const QJsonObject expected = QJsonDocument::fromJson(after).object();
        QCOMPARE(fileObject(path()), expected);
        QCOMPARE(viewOf(ours, expected.keys() + QStringList{token}), expected);
        QCOMPARE(viewOf(DefaultsStore(path()), expected.keys() + QStringList{token}), expected);
    }

    void concurrentWritersLoseNothing() {
        constexpr int writes = 200;
        Peer a(QStringList{path(), u"count"_s, u"a"_s, QString::number(writes)});
        Peer b(QStringList{path(), u"count"_s, u"b"_s, QString::number(writes)});
        QVERIFY(a.ready() && b.ready());
        a.go();
        b.go();
        QVERIFY(a.finishedOk());
        QVERIFY(b.finishedOk());

        const QJsonObject file = fileObject(path());
        QCOMPARE(file.size(), 2 * (writes + 1));
        for (const QString& name : {u"a"_s, u"b"_s}) {
            QCOMPARE(file.value(name).toString(), QString::number(writes));
            for (int i = 1; i <= writes; ++i)
                QCOMPARE(file.value(u"%1-%2"_s.arg(name).arg(i)).toString(), QString::number(i));
        }
    }

    void lockHeldElsewhere_data() {
        QTest::addColumn<bool>("holderAlive"); // else it was killed while holding it
        QTest::addColumn<bool>("overtaken");   // another copy writes the key once the lock is free
        QTest::newRow("held, the write gives up") << true << false;
        QTest::newRow("held, then written elsewhere") << true << true;
        QTest::newRow("left by a killed copy") << false << false;
    }
    void lockHeldElsewhere() {
        QFETCH(bool, holderAlive);
        QFETCH(bool, overtaken);
        DefaultsStore s(path());
        QVERIFY(s.setString(email, u"e@x.tr"_s).ok());
        const QByteArray before = readFile(path());
        Peer holder(QStringList{path(), u"hold"_s});
        QVERIFY(holder.ready());
        if (!holderAlive) holder.kill();

        const Result<void> r = s.setString(token, u"t"_s);
        QCOMPARE(r.ok(), !holderAlive);
        if (holderAlive) {
            QCOMPARE(r.error().kind, Error::Kind::Io);
            QVERIFY2(r.error().message.startsWith(u"Ayarlar kaydedilemedi: "_s), qPrintable(r.error().message));
            QCOMPARE(readFile(path()), before);
            holder.kill();
        }
        QCOMPARE(s.string(token), std::optional<QString>(u"t"_s));
        const QString last = overtaken ? u"t2"_s : u"t"_s;
        if (overtaken) {
            QVERIFY(DefaultsStore(path()).setString(token, last).ok());
            QCOMPARE(s.string(token), std::optional<QString>(last));
        }
        // The next write carries the one that could not be made, unless it was overtaken.
        QVERIFY(s.setString(plan, u"FREE"_s).ok());
        const QJsonObject expected{{email, u"e@x.tr"_s}, {token, last}, {plan, u"FREE"_s}};
        QCOMPARE(fileObject(path()), expected);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--peer") == 0) return runPeer(app.arguments());
    DefaultsStoreTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "defaults_store_test.moc"
