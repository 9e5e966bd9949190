#pragma once

#include <QDBusConnection>
#include <QObject>

class TrayShell;

// Tells the user through the desktop's notification service when the tunnel went down without
// being asked to: not after a stop the user pressed, not while the popup is open and shows it, and
// not on the way out. A missing bus or service only means no notice.
class DropNotice : public QObject {
    Q_OBJECT
public:
    explicit DropNotice(TrayShell& shell, QDBusConnection bus = QDBusConnection::sessionBus(),
                        QObject* parent = nullptr);

    // The id the service gave the notice on screen; 0 while none is known.
    uint shownId() const { return m_shownId; }

    static const QString summary;
    static const QString body;

private Q_SLOTS:
    void tell();
    void onAction(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:

    TrayShell& m_shell;
    QDBusConnection m_bus;
    bool m_quitting = false;
    uint m_shownId = 0; // the notice on screen, replaced rather than stacked by the next drop
    bool m_asking = false; // a Notify awaits its id
    bool m_again = false;  // another drop came meanwhile: tell it once that id is known
};
