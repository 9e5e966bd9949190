#include "state/app_state_fields.h"

#include "state/app_state.h"
#include "support/test_env.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QTest>

namespace {

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

// For each field: its value on a first start, an assignment through its setter, the value after it.
struct Case {
    const char* name;
    QByteArray fresh;
    Assign assign;
    QByteArray assigned;
};

const QList<Case>& cases() {
    static const QList<Case> all{
        {"token", "false", [](AppState& s) { s.setToken(QStringLiteral("tok-secret")); }, "true"},
        {"email", "\"\"", [](AppState& s) { s.setEmail(QStringLiteral("a@b.c")); }, "\"a@b.c\""},
        {"plan", "\"FREE\"", [](AppState& s) { s.setPlan(QStringLiteral("PLUS")); }, "\"PLUS\""},
        {"servers", "[]",
         [](AppState& s) {
             s.setServers({Server{QStringLiteral("tr-1"), QStringLiteral("Istanbul 1"), QStringLiteral("TR"),
                                  QStringLiteral("TR"), QStringLiteral("Istanbul"), 40, 20, QStringLiteral("FREE")}});
         },
         R"([{"city":"Istanbul","country":"TR","countryCode":"TR","id":"tr-1","load":40,"name":"Istanbul 1",)"
         R"("pingMs":20,"tier":"FREE"}])"},
        {"status", "\"idle\"", [](AppState& s) { s.setStatus(ConnectionStatus::connected); }, "\"connected\""},
        {"errorMessage", "null", [](AppState& s) { s.setErrorMessage(QStringLiteral("e")); }, "\"e\""},
        {"originalIp", "null", [](AppState& s) { s.setOriginalIp(QStringLiteral("192.0.2.1")); },
         "\"192.0.2.1\""},
        {"originalPlace", "null", [](AppState& s) { s.setOriginalPlace(QStringLiteral("Ankara, TR")); },
         "\"Ankara, TR\""},
        {"exitIp", "null", [](AppState& s) { s.setExitIp(QStringLiteral("203.0.113.7")); }, "\"203.0.113.7\""},
        {"activeServerId", "null", [](AppState& s) { s.setActiveServerId(QStringLiteral("tr-1")); },
         "\"tr-1\""},
        {"busy", "false", [](AppState& s) { s.setBusy(true); }, "true"},
        {"updateInfo", "null",
         [](AppState& s) {
             s.setUpdateInfo(Updater::Info{QStringLiteral("9.0.0"), QStringLiteral("https://x.test/u.sqfs"), {}});
         },
         R"({"url":"https://x.test/u.sqfs","version":"9.0.0"})"},
        {"updating", "false", [](AppState& s) { s.setUpdating(true); }, "true"},
        {"notice", "null",
         [](AppState& s) {
             s.setNotice(Campaign{QStringLiteral("c1"), QStringLiteral("T"), QStringLiteral("B"), std::nullopt,
                                  QStringLiteral("Go"), QStringLiteral("2024-01-01")});
         },
         R"({"body":"B","createdAt":"2024-01-01","cta":"Go","id":"c1","title":"T"})"},
        {"waitingForKeychain", "false", [](AppState& s) { s.setWaitingForKeychain(true); }, "true"},
    };
    return all;
}

} // namespace

class AppStateFieldsTest : public QObject {
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
    // Every assignment notifies, equal value or not: objectWillChange() while the old value still
    // shows, then the field's own signal and no other field's, with the new value printed.
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
        connect(&s, &AppState::objectWillChange, this,
                [&] { seen << QStringLiteral("will ") + QString::fromUtf8(printed(f.value(s))); });
        for (const AppStateField& other : appStateFields())
            connect(&s, other.changed, this,
                    [&, other] { seen << QString(other.name) + u' ' + QString::fromUtf8(printed(f.value(s))); });
        c.assign(s);
        c.assign(s);
        const QString fresh = QString::fromUtf8(c.fresh);
        const QString assigned = QString::fromUtf8(c.assigned);
        const QString field = QString(f.name) + u' ' + assigned;
        QCOMPARE(seen, (QStringList{u"will "_qs + fresh, field, u"will "_qs + assigned, field}));
    }
};

QTEST_GUILESS_MAIN(AppStateFieldsTest)
#include "app_state_fields_test.moc"
