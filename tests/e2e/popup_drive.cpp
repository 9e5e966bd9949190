// The popup's half of the end-to-end test: the real state on the system's facility, keychain and
// clock, shown in the real panel under X, driven by pointer clicks only. Run by tunnel_e2e.sh in the
// client namespace of a user who signed in before.
//
//   kestrava-e2e-popup REAL_IP EXIT_IP
//
// Prints "ok"/"FAIL" lines like the script and exits with the number of failures.
#include "platform/defaults_store.h"
#include "state/app_state.h"
#include "tests/ui/popup_fixture.h"
#include "ui/popup_model.h"

#include <QGuiApplication>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

int failures = 0;

void check(const char* name, const QString& got, const QString& expected) {
    if (got == expected) {
        std::printf("ok   popup: %s\n", name);
    } else {
        std::printf("FAIL popup: %s: got '%s', expected '%s'\n", name, qPrintable(got), qPrintable(expected));
        ++failures;
    }
    std::fflush(stdout);
}


QString cardValue(PopupFixture& ui, const char* card) {
    ui.grab();
    QQuickItem* value = PopupFixture::findChild(ui.find(QString::fromUtf8(card)), QStringLiteral("cardValue"));
    return value ? value->property("text").toString() : QStringLiteral("(no card)");
}

QString text(PopupFixture& ui, const char* name) {
    ui.grab();
    QQuickItem* item = ui.find(QString::fromUtf8(name));
    return item ? item->property("text").toString() : QStringLiteral("(none)");
}

QString status(const AppState& s) {
    switch (s.status()) {
    case ConnectionStatus::idle: return QStringLiteral("idle");
    case ConnectionStatus::connected: return QStringLiteral("connected");
    default: return QStringLiteral("other");
    }
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s REAL_IP EXIT_IP\n", argv[0]);
        return 2;
    }
    const QString realIp = QString::fromUtf8(argv[1]);
    const QString exitIp = QString::fromUtf8(argv[2]);

    AppState state(DefaultsStore::shared());
    PopupModel model(state);
    PopupFixture ui;
    if (!ui.load(model)) {
        std::printf("FAIL popup: the panel did not load\n");
        return 1;
    }
    // Bounded by real time: the tunnel, the service and the lookup are all real.
    (void)QTest::qWaitFor([&] { return !state.startingUp() && !state.servers().isEmpty() && state.originalIp(); }, 60'000);
    check("signed in from before: the main view", text(ui, "headline"), QStringLiteral("Dokun, kalkışa geç"));
    check("the list arrived", QString::number(!state.servers().isEmpty()), QStringLiteral("1"));
    check("idle: the real address card", cardValue(ui, "originalCard"), realIp);

    ui.click(ui.find(QStringLiteral("powerButton")));
    (void)QTest::qWaitFor([&] { return state.status() == ConnectionStatus::connected && !state.busy(); }, 40'000);
    check("power button: connected", status(state), QStringLiteral("connected"));
    check("connected: the headline", text(ui, "headline"), QStringLiteral("Korumadasın"));
    // The lookup through the tunnel answers the exit address; the real card keeps the recorded one.
    (void)QTest::qWaitFor([&] { return state.exitIp() == exitIp; }, 40'000);
    check("connected: the exit card shows the lookup through the tunnel", cardValue(ui, "exitCard"), exitIp);
    check("connected: the real address card keeps the recorded one", cardValue(ui, "originalCard"), realIp);
    ui.save(ui.grab(), QStringLiteral("e2e-connected"));

    ui.click(ui.find(QStringLiteral("powerButton")));
    (void)QTest::qWaitFor([&] { return state.status() == ConnectionStatus::idle && !state.busy(); }, 40'000);
    check("pressed again: idle", status(state), QStringLiteral("idle"));
    check("pressed again: the headline", text(ui, "headline"), QStringLiteral("Dokun, kalkışa geç"));
    check("pressed again: the real address card", cardValue(ui, "originalCard"), realIp);
    check("pressed again: no exit address", state.exitIp().value_or(QStringLiteral("none")), QStringLiteral("none"));
    ui.save(ui.grab(), QStringLiteral("e2e-disconnected"));
    return failures;
}
