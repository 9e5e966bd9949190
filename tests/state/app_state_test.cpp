#include "state/app_state.h"

#include "platform/defaults_keys.h"
#include "state/app_state_fields.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// These cases look at the fields alone; the start-up work has tests of its own.
AppState::Environment noWork() {
    AppState::Environment e;
    e.startWork = false;
    return e;
}

// A value as it appears in a printed line.
QByteArray printed(const QJsonValue& v) {
    const QByteArray wrapped = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

using Assign = std::function<void(AppState&)>;
using Read = std::function<std::optional<QString>(const AppState&)>;

// For each field: its value on a first start, an assignment through its setter, the value after it.
struct Case {
    const char* name;
    QByteArray fresh;
    Assign assign;
    QByteArray assigned;
};

const QList<Case>& cases() {
    static const QList<Case> all{
        {"token", "false", [](AppState& s) { s.setToken(u"tok-secret"_s); }, "true"},
        {"email", "\"\"", [](AppState& s) { s.setEmail(u"a@b.c"_s); }, "\"a@b.c\""},
        {"plan", "\"FREE\"", [](AppState& s) { s.setPlan(u"PLUS"_s); }, "\"PLUS\""},
        {"servers", "[]",
         [](AppState& s) { s.setServers({Server{u"tr-1"_s, u"Istanbul 1"_s, u"TR"_s, u"TR"_s, u"Istanbul"_s, 40, 20, u"FREE"_s}}); },
         R"([{"city":"Istanbul","country":"TR","countryCode":"TR","id":"tr-1","load":40,"name":"Istanbul 1","pingMs":20,"tier":"FREE"}])"},
        {"status", "\"idle\"", [](AppState& s) { s.setStatus(ConnectionStatus::connected); }, "\"connected\""},
        {"errorMessage", "null", [](AppState& s) { s.setErrorMessage(u"e"_s); }, "\"e\""},
        {"originalIp", "null", [](AppState& s) { s.setOriginalIp(u"192.0.2.1"_s); }, "\"192.0.2.1\""},
        {"originalPlace", "null", [](AppState& s) { s.setOriginalPlace(u"Ankara, TR"_s); }, "\"Ankara, TR\""},
        {"exitIp", "null", [](AppState& s) { s.setExitIp(u"203.0.113.7"_s); }, "\"203.0.113.7\""},
        {"activeServerId", "null", [](AppState& s) { s.setActiveServerId(u"tr-1"_s); }, "\"tr-1\""},
        {"busy", "false", [](AppState& s) { s.setBusy(true); }, "true"},
        {"updateInfo", "null", [](AppState& s) { s.setUpdateInfo(Updater::Info{u"9.0.0"_s, u"https://x.test/u.sqfs"_s, {}}); },
         R"({"url":"https://x.test/u.sqfs","version":"9.0.0"})"},
        {"updating", "false", [](AppState& s) { s.setUpdating(true); }, "true"},
        {"notice", "null",
         [](AppState& s) { s.setNotice(Campaign{u"c1"_s, u"T"_s, u"B"_s, std::nullopt, u"Go"_s, u"2024-01-01"_s}); },
         R"({"body":"B","createdAt":"2024-01-01","cta":"Go","id":"c1","title":"T"})"},
        {"waitingForKeychain", "false", [](AppState& s) { s.setWaitingForKeychain(true); }, "true"},
    };
    return all;
}

} // namespace

class AppStateTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A field added to AppState without a row would be missing from the headless output and would
    // not refresh the popup.
    void everyChangeSignalHasOneRow() {
        const QMetaObject& mo = AppState::staticMetaObject;
        qsizetype changeSignals = 0;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
            const QMetaMethod m = mo.method(i);
            if (m.methodType() != QMetaMethod::Signal || !m.name().endsWith("Changed")) continue;
            ++changeSignals;
            qsizetype rows = 0;
            for (const AppStateField& f : appStateFields()) rows += QMetaMethod::fromSignal(f.changed) == m;
            QVERIFY2(rows == 1, m.name().constData());
        }
        QCOMPARE(qsizetype(appStateFields().size()), changeSignals);
    }

    void field_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("testCase");
        for (int row = 0; row < int(appStateFields().size()); ++row) {
            const AppStateField& f = appStateFields()[size_t(row)];
            int found = -1;
            for (int c = 0; c < cases().size(); ++c)
                if (f.name == QLatin1String(cases().at(c).name)) found = c;
            QTest::newRow(f.name.data()) << row << found;
        }
    }
    // A first start shows the fresh value. Every assignment notifies, equal value or not:
    // objectWillChange() while the old value still shows, then the field's own signal and no other's.
    void field() {
        QFETCH(int, row);
        QFETCH(int, testCase);
        QVERIFY2(testCase >= 0, "every field needs a case above");
        const AppStateField& f = appStateFields()[size_t(row)];
        const Case& c = cases().at(testCase);
        QCOMPARE(QMetaMethod::fromSignal(f.changed).name(), QByteArray(c.name) + "Changed");
        TestEnv env;
        AppState s(env.defaults(), noWork());
        QCOMPARE(printed(f.value(s)), c.fresh);
        QStringList seen;
        connect(&s, &AppState::objectWillChange, this, [&] { seen << u"will "_s + QString::fromUtf8(printed(f.value(s))); });
        for (const AppStateField& other : appStateFields())
            connect(&s, other.changed, this, [&, other] { seen << QString(other.name) + u' ' + QString::fromUtf8(printed(f.value(s))); });
        c.assign(s);
        c.assign(s);
        const QString field = QString(f.name) + u' ' + QString::fromUtf8(c.assigned);
        QCOMPARE(seen, (QStringList{u"will "_s + QString::fromUtf8(c.fresh), field, u"will "_s + QString::fromUtf8(c.assigned), field}));
    }

    // A stored empty text is kept, not replaced by the default; the own address is looked up anew.
    void restore_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<Read>("read");
        QTest::addColumn<bool>("restored");
        const Read token = [](const AppState& s) { return s.token(); };
        const Read plan = [](const AppState& s) { return std::optional(s.plan()); };
        QTest::newRow("token") << DefaultsKeys::token << u"t1"_s << token << true;
        QTest::newRow("empty token is signed in") << DefaultsKeys::token << QString() << token << true;
        QTest::newRow("email") << DefaultsKeys::email << u"a@b.c"_s << Read([](const AppState& s) { return std::optional(s.email()); }) << true;
        QTest::newRow("plan") << DefaultsKeys::plan << u"PLUS"_s << plan << true;
        QTest::newRow("empty plan stays empty") << DefaultsKeys::plan << QString() << plan << true;
        QTest::newRow("server") << DefaultsKeys::server << u"tr-1"_s << Read([](const AppState& s) { return s.activeServerId(); }) << true;
        QTest::newRow("own address is not") << DefaultsKeys::originalIp << u"192.0.2.1"_s
                                            << Read([](const AppState& s) { return s.originalIp(); }) << false;
        QTest::newRow("own place is not") << DefaultsKeys::originalPlace << u"Ankara, TR"_s
                                          << Read([](const AppState& s) { return s.originalPlace(); }) << false;
    }
    void restore() {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(Read, read);
        QFETCH(bool, restored);
        TestEnv env;
        QVERIFY(env.defaults().setString(key, stored).ok());
        AppState s(env.restartDefaults(), noWork());
        QCOMPARE(read(s), restored ? std::optional(stored) : std::nullopt);
        // Only a stored token signs in, an empty one too.
        QCOMPARE(s.signedIn(), key == DefaultsKeys::token);
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "app_state_test.moc"
