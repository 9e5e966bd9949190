#pragma once

#include "platform/result.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// Per-user key-value store of texts and lists of texts, kept in one JSON file (mode 0600).
// Every change rewrites the file atomically: a crash or a full disk mid-write leaves the
// previous file in place. A file that cannot be read as a store is set aside, not lost.
//
// Several copies of the program share the file (the tray, a headless sign-in), so a change is
// made to the file as it is now, under a lock, and touches no other key; and what a getter hands
// out is re-read whenever another copy has replaced the file since.
class DefaultsStore {
public:
    explicit DefaultsStore(QString filePath);
    ~DefaultsStore();

    // $XDG_CONFIG_HOME/kestrava/defaults.json, or ~/.config/kestrava/defaults.json.
    static QString defaultPath();

    // The process-wide store; created at the default path on first use unless one was installed.
    static DefaultsStore& shared();
    static void setShared(DefaultsStore* store); // not owned; nullptr restores the default

    // A value of the other kind under the key reads as absent, as the platform store does.
    std::optional<QString> string(const QString& key) const;
    std::optional<QStringList> stringList(const QString& key) const;
    bool contains(const QString& key) const;

    // The in-memory value changes even when the file cannot be written; the error says so. Such a
    // change is tried again with the next write, unless another copy has written the key since.
    Result<void> setString(const QString& key, const QString& value);
    Result<void> setStringList(const QString& key, const QStringList& value);
    Result<void> remove(const QString& key);

    QString path() const { return m_path; }
    // Where an unreadable file was last moved, at load or by a write, if that happened.
    QString setAsidePath() const { return m_setAside; }

    static constexpr qint64 maxFileSize = 16 * 1024 * 1024;
    // How long a write waits for another copy's write before it gives up.
    static constexpr int lockWaitMs = 3000;

private:
    struct Unsaved {
        std::optional<QJsonValue> value; // nullopt: removed
        QJsonValue base;                 // the file's value it replaces; Undefined when absent
    };
    struct Seen;

    void load();
    void refresh() const;
    void adopt(QJsonObject file, const QString& writing = {}) const;
    Result<void> change(const QString& key, std::optional<QJsonValue> value);

    QString m_path;
    QString m_setAside;
    std::unique_ptr<Seen> m_seen;              // the file m_file was read from
    mutable QJsonObject m_file;                // as last read or written
    mutable QHash<QString, Unsaved> m_unsaved; // changes of ours the file lacks
    mutable QJsonObject m_values;              // m_file with m_unsaved applied
};
