#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One running copy per user. Each copy listens on its own socket, named by its process id, in the
// user's runtime folder. A new copy asks every older one to quit through its normal quit path and
// kills one that does not answer; it does not wait for them to exit.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString folder = defaultFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Ends older copies, then listens. Returns how many older copies were asked or killed.
    int claim();
    QString socketPath() const;

    static QString defaultFolder();

Q_SIGNALS:
    // Another copy started and asked this one to quit.
    void quitRequested();

private:
    void endOlderCopy(qint64 pid, const QString& path);
    QString m_folder;
    QLocalServer m_server;
};
