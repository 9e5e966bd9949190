#include "platform/defaults_store.h"

#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

} // namespace

class DefaultsStoreTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path() const { return m_dir.path() + QStringLiteral("/kestrava/defaults.json"); }

private Q_SLOTS:
    void init() {
        for (const QString& p : {path(), path() + QStringLiteral(".corrupt")}) {
            QFile::remove(p);
            QDir(p).removeRecursively();
        }
    }

    void missingFileIsEmpty() {
        DefaultsStore s(path());
        QVERIFY(!s.string(QStringLiteral("kestrava-token")));
        QVERIFY(!QFile::exists(path()));
    }

    void valuesSurviveRestart() {
        {
            DefaultsStore s(path());
            QVERIFY(s.setString(QStringLiteral("kestrava-token"), QStringLiteral("tök€n")).ok());
            QVERIFY(s.setString(QStringLiteral("kestrava-plan"), QString()).ok());
            QVERIFY(s.setStringList(QStringLiteral("kestrava-dismissed-campaigns"),
                                    {QStringLiteral("a"), QStringLiteral("b")})
                        .ok());
            QVERIFY(s.setString(QStringLiteral("gone"), QStringLiteral("x")).ok());
            QVERIFY(s.remove(QStringLiteral("gone")).ok());
        }
        DefaultsStore s(path());
        QCOMPARE(s.string(QStringLiteral("kestrava-token")), std::optional<QString>(QStringLiteral("tök€n")));
        // An empty text is a value, not a missing key.
        QCOMPARE(s.string(QStringLiteral("kestrava-plan")), std::optional<QString>(QString()));
        QCOMPARE(s.stringList(QStringLiteral("kestrava-dismissed-campaigns")),
                 std::optional<QStringList>({QStringLiteral("a"), QStringLiteral("b")}));
        QVERIFY(!s.contains(QStringLiteral("gone")));
    }

    void fileIsPrivate() {
        DefaultsStore s(path());
        QVERIFY(s.setString(QStringLiteral("kestrava-token"), QStringLiteral("t")).ok());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(::stat(QFile::encodeName(QFileInfo(path()).absolutePath()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        // No temporary file is left behind.
        QCOMPARE(QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files).size(), 1);
    }

    void otherKindReadsAbsent() {
        QVERIFY(writeFile(path(), R"({"kestrava-token":["x"],"kestrava-dismissed-campaigns":"a","n":5,"l":["a",1]})"));
        DefaultsStore s(path());
        QVERIFY(!s.string(QStringLiteral("kestrava-token")));
        QVERIFY(!s.stringList(QStringLiteral("kestrava-dismissed-campaigns")));
        QVERIFY(!s.string(QStringLiteral("n")));
        QVERIFY(!s.stringList(QStringLiteral("l")));
        // Unknown values are kept through a rewrite.
        QVERIFY(s.setString(QStringLiteral("kestrava-email"), QStringLiteral("e")).ok());
        QCOMPARE(QJsonDocument::fromJson(readFile(path())).object().value(QStringLiteral("n")).toInt(), 5);
    }

    void corruptFileIsSetAside_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"kestrava-token\":\"abc");
        QTest::newRow("array") << QByteArray(R"(["kestrava-token"])");
        QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfe", 4);
        QTest::newRow("empty") << QByteArray();
    }
    void corruptFileIsSetAside() {
        QFETCH(QByteArray, content);
        QVERIFY(writeFile(path(), content));
        DefaultsStore s(path());
        QVERIFY(!s.string(QStringLiteral("kestrava-token")));
        QCOMPARE(s.setAsidePath(), path() + QStringLiteral(".corrupt"));
        QCOMPARE(readFile(s.setAsidePath()), content);
        QVERIFY(s.setString(QStringLiteral("kestrava-token"), QStringLiteral("new")).ok());
        QCOMPARE(DefaultsStore(path()).string(QStringLiteral("kestrava-token")),
                 std::optional<QString>(QStringLiteral("new")));
    }

    void unopenableFileIsSetAside() {
        // A folder where the file should be cannot be opened, even by root.
        QVERIFY(QDir().mkpath(path()));
        QVERIFY(writeFile(path() + QStringLiteral(".corrupt"), "older"));
        DefaultsStore s(path());
        QCOMPARE(s.setAsidePath(), path() + QStringLiteral(".corrupt"));
        QVERIFY(QFileInfo(s.setAsidePath()).isDir());
        QVERIFY(s.setString(QStringLiteral("kestrava-token"), QStringLiteral("new")).ok());
    }

    // A link or a folder planted at the lock's path is never followed and never stops
    // a save: it is set aside, and whatever a link names is left as it was.
    void plantedLockIsSetAside_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a file elsewhere") << QStringLiteral("link");
        QTest::newRow("dangling link") << QStringLiteral("dangling");
        QTest::newRow("folder") << QStringLiteral("folder");
    }
    void plantedLockIsSetAside() {
        QFETCH(QString, kind);
        const QString lock = path() + QStringLiteral(".lock");
        const QString elsewhere = m_dir.path() + QStringLiteral("/elsewhere");
        for (const QString& p : {elsewhere, lock, lock + QStringLiteral(".corrupt")}) {
            QFile::remove(p);
            QDir(p).removeRecursively();
        }
        QVERIFY(QDir().mkpath(QFileInfo(path()).absolutePath()));
        if (kind == QLatin1String("link")) QVERIFY(writeFile(elsewhere, "theirs"));
        if (kind == QLatin1String("link") || kind == QLatin1String("dangling")) QVERIFY(QFile::link(elsewhere, lock));
        if (kind == QLatin1String("folder")) QVERIFY(QDir().mkpath(lock));
        DefaultsStore s(path());
        for (const char* value : {"one", "two"}) { // the first save repairs it for every later one
            const Result<void> r = s.setString(QStringLiteral("kestrava-token"), QString::fromLatin1(value));
            QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.error().message));
        }
        QCOMPARE(DefaultsStore(path()).string(QStringLiteral("kestrava-token")), std::optional<QString>(QStringLiteral("two")));
        QVERIFY(!QFileInfo::exists(lock) && !QFileInfo(lock).isSymLink());
        QVERIFY(QFileInfo(lock + QStringLiteral(".corrupt")).exists() || QFileInfo(lock + QStringLiteral(".corrupt")).isSymLink());
        if (kind == QLatin1String("link")) QCOMPARE(readFile(elsewhere), QByteArray("theirs"));
        if (kind == QLatin1String("dangling")) QVERIFY(!QFileInfo::exists(elsewhere));
        QDir(lock + QStringLiteral(".corrupt")).removeRecursively();
        QFile::remove(lock + QStringLiteral(".corrupt"));
    }

    void unwritableFolderReportsAndKeepsMemory() {
        // A path under a regular file can never be created, even by root.
        const QString blocker = m_dir.path() + QStringLiteral("/blocker");
        QVERIFY(writeFile(blocker, "x"));
        DefaultsStore s(blocker + QStringLiteral("/kestrava/defaults.json"));
        const Result<void> r = s.setString(QStringLiteral("kestrava-token"), QStringLiteral("t"));
        QVERIFY(!r.ok());
        QCOMPARE(r.error().kind, Error::Kind::Io);
        QCOMPARE(r.error().message, QStringLiteral("Ayarlar kaydedilemedi: %1/kestrava (%2)")
                                        .arg(blocker, QString::fromLocal8Bit(strerror(ENOTDIR))));
        QCOMPARE(s.string(QStringLiteral("kestrava-token")), std::optional<QString>(QStringLiteral("t")));
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
        const QString p = mnt.path() + QStringLiteral("/defaults.json");
        {
            DefaultsStore s(p);
            QVERIFY(s.setString(QStringLiteral("kestrava-token"), QStringLiteral("old")).ok());
            const QByteArray before = readFile(p);
            const Result<void> r = s.setString(QStringLiteral("big"), QString(200 * 1024, QLatin1Char('x')));
            QVERIFY(!r.ok());
            QCOMPARE(readFile(p), before);
            QCOMPARE(QDir(mnt.path()).entryList(QDir::Files).size(), 1);
        }
        QCOMPARE(DefaultsStore(p).string(QStringLiteral("kestrava-token")),
                 std::optional<QString>(QStringLiteral("old")));
    }

    void killDuringWriteLeavesOldOrNew() {
        // A child rewrites the store as fast as it can; we kill it at random moments.
        const QString p = path();
        {
            DefaultsStore s(p);
            QVERIFY(s.setString(QStringLiteral("n"), QStringLiteral("0")).ok());
        }
        const QString filler(256 * 1024, QLatin1Char('y'));
        for (int round = 0; round < 20; ++round) {
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                DefaultsStore s(p);
                for (int i = 1; i < 1'000'000; ++i) {
                    (void)s.setString(QStringLiteral("filler"), filler);
                    (void)s.setString(QStringLiteral("n"), QString::number(i));
                }
                ::_exit(0);
            }
            ::usleep(useconds_t(2000 + QRandomGenerator::global()->bounded(20000)));
            ::kill(child, SIGKILL);
            int status = 0;
            ::waitpid(child, &status, 0);
            QJsonParseError err{};
            const QJsonDocument doc = QJsonDocument::fromJson(readFile(p), &err);
            QVERIFY2(err.error == QJsonParseError::NoError, qPrintable(err.errorString()));
            QVERIFY(doc.object().value(QStringLiteral("n")).isString());
            DefaultsStore reread(p);
            QVERIFY(reread.setAsidePath().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(DefaultsStoreTest)
#include "defaults_store_test.moc"
