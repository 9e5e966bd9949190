// Several copies of the program on one settings file: each process's writes must survive the others'.
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
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>

namespace {

using namespace DefaultsKeys;
const QString& dismissed = dismissedCampaigns;

QJsonObject fileObject(const QString& path) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(readFile(path), &err);
    if (err.error != QJsonParseError::NoError) return QJsonObject{{QStringLiteral("<unparsable>"), true}};
    return doc.object();
}

QStringList words(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* w : list) out << QString::fromUtf8(w);
    return out;
}

// What a store shows for the keys of expected, in the file's own form.
QJsonObject viewOf(const DefaultsStore& s, const QStringList& keys) {
    QJsonObject out;
    for (const QString& k : keys) {
        if (const auto list = s.stringList(k)) out.insert(k, QJsonArray::fromStringList(*list));
        else if (const auto text = s.string(k)) out.insert(k, *text);
    }
    return out;
}

// Ops: "set KEY VALUE", "list KEY A,B", "remove KEY"; words are separated by single spaces.
Result<void> applyOp(DefaultsStore& s, const QString& op) {
    const QStringList w = op.split(QLatin1Char(' '));
    if (w[0] == QLatin1String("set")) return s.setString(w[1], w[2]);
    if (w[0] == QLatin1String("list")) return s.setStringList(w[1], w[2].split(QLatin1Char(',')));
    return s.remove(w[1]);
}

// The child side, run as "TEST --peer PATH MODE [ARGS]". It opens its store first, says "ready",
// and acts only after the parent sends a line: its view is older than the file by then.
int runPeer(const QStringList& args) {
    const QString path = args.value(2);
    const QString mode = args.value(3);
    auto waitForGo = [] {
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        char line[16];
        return std::fgets(line, sizeof line, stdin) != nullptr;
    };
    if (mode == QLatin1String("hold")) {
        // Holds the lock as any copy of the program takes it, until killed.
        QDir().mkpath(QFileInfo(path).absolutePath());
        const int fd = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(),
                              O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 2;
        waitForGo(); // or until the parent is gone
        return 0;
    }
    DefaultsStore s(path);
    if (!waitForGo()) return 2;
    if (mode == QLatin1String("ops")) {
        for (const QString& op : args.mid(4))
            if (!applyOp(s, op).ok()) return 1;
    } else if (mode == QLatin1String("count")) {
        // "count NAME N": NAME-i = i for every i, and NAME = the last i.
        const QString name = args.value(4);
        const int n = args.value(5).toInt();
        for (int i = 1; i <= n; ++i) {
            if (!s.setString(QStringLiteral("%1-%2").arg(name).arg(i), QString::number(i)).ok()) return 1;
            if (!s.setString(name, QString::number(i)).ok()) return 1;
        }
    }
    return 0;
}

class Peer {
public:
    explicit Peer(const QStringList& args) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(),
                        QStringList{QStringLiteral("--peer")} + args);
    }
    ~Peer() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    bool ready() {
        for (int i = 0; i < 6 && !m_process.canReadLine(); ++i)
            if (!m_process.waitForReadyRead(30'000)) return false;
        return m_process.readLine() == "ready\n";
    }
    void go() { m_process.write("go\n"); }
    bool finishedOk() {
        return m_process.waitForFinished(120'000) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }
    void kill() {
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
};

} // namespace

class DefaultsStoreSharedTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path() const { return m_dir.path() + QStringLiteral("/kestrava/defaults.json"); }

private Q_SLOTS:
    void init() { QDir(m_dir.path() + QStringLiteral("/kestrava")).removeRecursively(); }

    void viewFollowsOtherWriters_data() {
        QTest::addColumn<QStringList>("ops"); // by another store on the same file, in turn
        QTest::newRow("sign-in") << words({"set kestrava-token t", "set kestrava-email e@x.tr"});
        QTest::newRow("sign-out") << words({"set kestrava-token t", "remove kestrava-token"});
        QTest::newRow("list") << words(
            {"list kestrava-dismissed-campaigns a,b", "list kestrava-dismissed-campaigns a,b,c"});
        // Same size, back to back: the replaced file may not be told apart by size and time.
        QStringList sameSize;
        for (int i = 10; i < 60; ++i) sameSize << QStringLiteral("set kestrava-original-ip 10.0.0.%1").arg(i);
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
            << words({"set kestrava-token t", "set kestrava-email e@x.tr", "set kestrava-plan PREMIUM"})
            << QStringLiteral("set kestrava-original-ip 1.2.3.4")
            << QByteArray(R"({"kestrava-server":"de-1","kestrava-token":"t","kestrava-email":"e@x.tr",
                             "kestrava-plan":"PREMIUM","kestrava-original-ip":"1.2.3.4"})");
        QTest::newRow("sign-out elsewhere")
            << QByteArray(R"({"kestrava-token":"t","kestrava-email":"e@x.tr"})")
            << words({"remove kestrava-token"}) << QStringLiteral("set kestrava-original-ip 1.2.3.4")
            << QByteArray(R"({"kestrava-email":"e@x.tr","kestrava-original-ip":"1.2.3.4"})");
        QTest::newRow("server and notices elsewhere, sign-out here")
            << QByteArray(R"({"kestrava-token":"t"})")
            << words({"set kestrava-server nl-2", "list kestrava-dismissed-campaigns c1,c2"})
            << QStringLiteral("remove kestrava-token")
            << QByteArray(R"({"kestrava-server":"nl-2","kestrava-dismissed-campaigns":["c1","c2"]})");
    }
    void writesOfAnotherProcessSurvive() {
        QFETCH(QByteArray, before);
        QFETCH(QStringList, peerOps);
        QFETCH(QString, ourOp);
        QFETCH(QByteArray, after);
        QVERIFY(writeFile(path(), before));
        DefaultsStore ours(path());
        Peer peer(QStringList{path(), QStringLiteral("ops")} + peerOps);
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
        Peer a(QStringList{path(), QStringLiteral("count"), QStringLiteral("a"), QString::number(writes)});
        Peer b(QStringList{path(), QStringLiteral("count"), QStringLiteral("b"), QString::number(writes)});
        QVERIFY(a.ready() && b.ready());
        a.go();
        b.go();
        QVERIFY(a.finishedOk());
        QVERIFY(b.finishedOk());

        const QJsonObject file = fileObject(path());
        QCOMPARE(file.size(), 2 * (writes + 1));
        for (const QString& name : {QStringLiteral("a"), QStringLiteral("b")}) {
            QCOMPARE(file.value(name).toString(), QString::number(writes));
            for (int i = 1; i <= writes; ++i)
                QCOMPARE(file.value(QStringLiteral("%1-%2").arg(name).arg(i)).toString(), QString::number(i));
        }
    }

    void damagedFileFoundByAWrite_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("folder"); // a folder stands at the path instead
        QTest::newRow("truncated") << QByteArray("{\"kestrava-token\":\"ab") << false;
        QTest::newRow("array") << QByteArray(R"(["kestrava-token"])") << false;
        QTest::newRow("folder") << QByteArray() << true;
    }
    void damagedFileFoundByAWrite() {
        QFETCH(QByteArray, content);
        QFETCH(bool, folder);
        DefaultsStore s(path());
        QVERIFY(s.setString(token, QStringLiteral("t")).ok());
        // Damaged behind the store's back, after it has read the file.
        QVERIFY(QFile::remove(path()));
        if (folder) QVERIFY(QDir().mkpath(path()));
        else QVERIFY(writeFile(path(), content));

        QVERIFY(s.setString(originalIp, QStringLiteral("1.2.3.4")).ok());
        // Set aside whole; the write goes on from nothing rather than from what this copy remembered.
        QCOMPARE(s.setAsidePath(), path() + QStringLiteral(".corrupt"));
        QCOMPARE(QFileInfo(s.setAsidePath()).isDir(), folder);
        if (!folder) QCOMPARE(readFile(s.setAsidePath()), content);
        QCOMPARE(fileObject(path()), (QJsonObject{{originalIp, QStringLiteral("1.2.3.4")}}));
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
        QVERIFY(s.setString(email, QStringLiteral("e@x.tr")).ok());
        const QByteArray before = readFile(path());
        Peer holder(QStringList{path(), QStringLiteral("hold")});
        QVERIFY(holder.ready());
        if (!holderAlive) holder.kill();

        const Result<void> r = s.setString(token, QStringLiteral("t"));
        QCOMPARE(r.ok(), !holderAlive);
        if (holderAlive) {
            QCOMPARE(r.error().kind, Error::Kind::Io);
            QVERIFY2(r.error().message.startsWith(QStringLiteral("Ayarlar kaydedilemedi: ")),
                     qPrintable(r.error().message));
            QCOMPARE(readFile(path()), before);
            holder.kill();
        }
        QCOMPARE(s.string(token), std::optional<QString>(QStringLiteral("t")));
        const QString last = overtaken ? QStringLiteral("t2") : QStringLiteral("t");
        if (overtaken) {
            QVERIFY(DefaultsStore(path()).setString(token, last).ok());
            QCOMPARE(s.string(token), std::optional<QString>(last));
        }
        // The next write carries the one that could not be made, unless it was overtaken.
        QVERIFY(s.setString(plan, QStringLiteral("FREE")).ok());
        const QJsonObject expected{{email, QStringLiteral("e@x.tr")}, {token, last}, {plan, QStringLiteral("FREE")}};
        QCOMPARE(fileObject(path()), expected);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--peer") == 0) return runPeer(app.arguments());
    DefaultsStoreSharedTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "defaults_store_shared_test.moc"
