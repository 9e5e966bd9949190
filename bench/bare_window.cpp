// The floor for the start-up and memory benchmarks: the smallest Qt Quick window this Qt can show,
// a rectangle with one line of text, measured by the same code as the program and drawn by the
// same renderer.
#include "app/hooks/measure.h"
#include "ui/panel_content.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    PanelContent::chooseRenderer();
    QGuiApplication app(argc, argv);
    QGuiApplication::setQuitOnLastWindowClosed(false);
    const Measure::Plan plan = Measure::fromArguments(QCoreApplication::arguments());

    QQmlEngine engine;
    QQuickWindow window;
    QQmlComponent component(&engine);
    component.setData("import QtQuick\n"
                      "Rectangle { width: 400; height: 560; color: \"#0B1220\"\n"
                      "  Text { anchors.centerIn: parent; text: \"Kestrava\"; color: \"white\" } }\n",
                      QUrl());
    auto* root = qobject_cast<QQuickItem*>(component.create());
    if (!root) {
        qWarning("%s", qPrintable(component.errorString()));
        return 1;
    }
    root->setParentItem(window.contentItem());
    window.resize(int(root->width()), int(root->height()));

    Measure measure(
        plan,
        [&window] {
            window.show();
            return &window;
        },
        [&window] { window.hide(); }, sinceStart);
    QObject::connect(&measure, &Measure::done, &app, [] { QCoreApplication::exit(0); });
    if (!plan.active) window.show();
    else measure.begin();
    const int code = QGuiApplication::exec();
    delete root;
    return code;
}
