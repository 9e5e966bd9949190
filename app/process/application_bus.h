#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QVariantMap>

// Which copy of the program this is: its version and where its executable lies.
struct InstanceIdentity {
    QString version;
    QString location;
    static InstanceIdentity ofThisProgram();
    bool operator==(const InstanceIdentity&) const = default;
};

// The running copy on the session bus. It owns the desktop file's id as its bus name and answers
// org.freedesktop.Application there, so that a launcher click reaches the copy already running
// instead of starting a second one. A second interface tells a newcomer which copy it found.
class ApplicationBus : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    static const QString name;
    static const QString path;
    static const QString identityInterface;

    enum class Found {
        none,       // nobody owns the name (or there is no session bus)
        twin,       // the same version from the same place: hand it the start
        other,      // another version or place: take over through the quit path
        unanswered, // an owner that did not answer in time: hung, take over
    };

    explicit ApplicationBus(InstanceIdentity self, QDBusConnection bus = QDBusConnection::sessionBus(),
                            QObject* parent = nullptr);
    ~ApplicationBus() override;

    bool connected() const { return m_bus.isConnected(); }
    Found findRunning() const;
    // Asks the running copy to show itself; false if it did not answer in time.
    bool activateRunning() const;
    // Exports the interfaces and takes the name, also from an older copy still holding it.
    bool serve();

    // The start's activation token from the launcher, passed on as org.freedesktop.Application asks.
    static QVariantMap platformData();

    // org.freedesktop.Application, reached through its adaptor.
    void activate(const QVariantMap& platformData);
    void open(const QStringList& uris, const QVariantMap& platformData);
    void activateAction(const QString& action, const QVariantList& parameter, const QVariantMap& platformData);
    // app.kestrava.linux.Instance
    InstanceIdentity identity() const { return m_self; }

Q_SIGNALS:
    void activateRequested();
    void quitRequested();

private:
    InstanceIdentity m_self;
    QDBusConnection m_bus;
    bool m_serving = false;
};
