#pragma once

#include "platform/result.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// Per-user key-value store of texts and lists of texts, kept in one JSON file (mode 0600).
// Every change rewrites the file atomically: a crash or a full disk mid-write leaves the
// previous file in place. A file that cannot be read as a store is set aside, not lost.
class DefaultsStore {
public:
    explicit DefaultsStore(QString filePath);

    // $XDG_CONFIG_HOME/kestrava/defaults.json, or ~/.config/kestrava/defaults.json.
    static QString defaultPath();

    // The process-wide store; created at the default path on first use unless one was installed.
    static DefaultsStore& shared();
    static void setShared(DefaultsStore* store); // not owned; nullptr restores the default

    // A value of the other kind under the key reads as absent, as the platform store does.
    std::optional<QString> string(const QString& key) const;
    std::optional<QStringList> stringList(const QString& key) const;
    bool contains(const QString& key) const { return m_values.contains(key); }

    // The in-memory value changes even when the file cannot be written; the error says so.
    Result<void> setString(const QString& key, const QString& value);
    Result<void> setStringList(const QString& key, const QStringList& value);
    Result<void> remove(const QString& key);

    QString path() const { return m_path; }
    // Where an unreadable file was moved at load, if that happened.
    QString setAsidePath() const { return m_setAside; }

    static constexpr qint64 maxFileSize = 16 * 1024 * 1024;

private:
    void load();
    Result<void> save();

    QString m_path;
    QString m_setAside;
    QJsonObject m_values;
};
