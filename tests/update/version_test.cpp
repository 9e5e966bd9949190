#include "update/updater.h"

#include <QTest>

using namespace Qt::StringLiterals;

class VersionTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
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
        row("trailing zero equal reversed", "1.2.0", "1.2", false);
        row("extra part", "1.2.0.1", "1.2", true);
        row("suffix part dropped", "2.0-beta", "1.9", true);
        row("letters dropped, later parts move up", "1.x.3", "1.2", true);
        row("nothing converts", "beta", "0.0.0", false);
        row("empty parts skipped", "1..3", "1.2", true);
        row("equal", "3.4.5", "3.4.5", false);
        row("leading plus", "+2", "1", true);
        row("negative part", "1.-1", "1.0", false);
        row("bare sign dropped", "1.+.5", "1.4", true);
        row("blank part dropped", "1. 2", "1.1", false);
        row("out of range dropped", "1.99999999999999999999.2", "1.1", true);
        row("max int64", "9223372036854775807", "9223372036854775806", true);
        row("leading zeros", "1.02", "1.1", true);
        row("empty vs zero", "", "0", false);
        row("older major", "0.9.9", "1.0.0", false);
        row("non-ascii digits are not digits", "1.٣", "1.2", false);
    }
    void isNewer() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, newer);
        QCOMPARE(Updater::isNewer(a, b), newer);
    }

    void currentVersionFallback() {
        QCOMPARE(Updater::currentVersionFrom(std::nullopt), u"0.0.0"_s);
        QCOMPARE(Updater::currentVersionFrom(u"2.1"_s), u"2.1"_s);
        QVERIFY(!Updater::currentVersion().isEmpty());
    }

    // Over the wire, update_check_test holds the same version, null, url-less and non-JSON manifests.
    void offer_data() {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("offered");
        QTest::addColumn<bool>("hasNotes");
        const auto row = [](const char* name, const QByteArray& manifest, bool offered, bool notes = false,
                            const char* current = "1.0.0") {
            QTest::newRow(name) << manifest << QString::fromLatin1(current) << offered << notes;
        };
        row("newer with notes", R"({"mac":{"version":"1.1.0","url":"https:\/\/x\/a.sqfs","notes":"Yenilikler"}})", true, true);
        row("newer without notes", R"({"mac":{"version":"2","url":"u"},"other":1})", true);
        row("notes null", R"({"mac":{"version":"2","url":"u","notes":null}})", true);
        row("empty object", "{}", false);
        row("version of wrong type", R"({"mac":{"version":9,"url":"u"}})", false);
        row("notes of wrong type", R"({"mac":{"version":"9","url":"u","notes":1}})", false);
        row("from no version", R"({"mac":{"version":"0.0.1","url":"u"}})", true, false, "0.0.0");
    }
    void offer() {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, current);
        QFETCH(bool, offered);
        QFETCH(bool, hasNotes);
        const std::optional<Updater::Info> info = Updater::offerFrom(manifest, current);
        QCOMPARE(info.has_value(), offered);
        if (info) QCOMPARE(info->notes.has_value(), hasNotes);
    }
};

QTEST_GUILESS_MAIN(VersionTest)
#include "version_test.moc"
