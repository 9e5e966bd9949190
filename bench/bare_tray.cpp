// The floor for the tray start-up benchmark: the smallest program that puts an icon in the tray, a
// QSystemTrayIcon with a plain 22-pixel image. scripts/bench times it from spawn to the tray host's
// embedding of its icon (bench/tray_watch.cpp), as it times the program.
#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap image(22, 22);
    image.fill(Qt::white);
    QSystemTrayIcon tray{QIcon(image)};
    tray.setToolTip(QStringLiteral("bare"));
    tray.show();
    return QApplication::exec();
}
