#include "app/headless.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Kestrava"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTRAVA_VERSION));
    const QStringList args = QCoreApplication::arguments();
    // The popup is not built yet; every run is headless for now.
    return runHeadless(args);
}
