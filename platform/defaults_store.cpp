#include "platform/defaults_store.h"

#include "platform/private_file.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

DefaultsStore* g_installed = nullptr;

} // namespace

DefaultsStore::DefaultsStore(QString filePath) : m_path(std::move(filePath)) { load(); }

QString DefaultsStore::defaultPath() { return PrivateFile::configPath(QStringLiteral("defaults.json")); }

DefaultsStore& DefaultsStore::shared() {
    if (g_installed) return *g_installed;
    static DefaultsStore store(defaultPath());
    return store;
}

void DefaultsStore::setShared(DefaultsStore* store) { g_installed = store; }

void DefaultsStore::load() {
    // Any object is a store; the kinds of its values are checked as they are read.
    PrivateFile::Loaded<QJsonObject> loaded =
        PrivateFile::readJson<QJsonObject>(m_path, maxFileSize, QStringLiteral("Ayarlar okunamadı"),
                                           [](JsonDecoder&, const QJsonObject& o) { return o; });
    if (loaded.value) {
        m_values = std::move(*loaded.value);
    } else if (loaded.damaged()) {
        m_setAside = loaded.setAsidePath;
    } else if (loaded.error) {
        // One that cannot be opened goes aside too: kept to inspect, and the path is free for the next save.
        m_setAside = PrivateFile::setAside(m_path);
    }
}

std::optional<QString> DefaultsStore::string(const QString& key) const {
    const QJsonValue v = m_values.value(key);
    if (!v.isString()) return std::nullopt;
    return v.toString();
}

std::optional<QStringList> DefaultsStore::stringList(const QString& key) const {
    const QJsonValue v = m_values.value(key);
    if (!v.isArray()) return std::nullopt;
    QStringList out;
    for (const QJsonValue& item : v.toArray()) {
        if (!item.isString()) return std::nullopt;
        out.append(item.toString());
    }
    return out;
}

Result<void> DefaultsStore::setString(const QString& key, const QString& value) {
    m_values.insert(key, value);
    return save();
}

Result<void> DefaultsStore::setStringList(const QString& key, const QStringList& value) {
    m_values.insert(key, QJsonArray::fromStringList(value));
    return save();
}

Result<void> DefaultsStore::remove(const QString& key) {
    if (!m_values.contains(key)) return {};
    m_values.remove(key);
    return save();
}

Result<void> DefaultsStore::save() {
    const QByteArray data = QJsonDocument(m_values).toJson(QJsonDocument::Indented);
    const Result<void> written = PrivateFile::write(m_path, data);
    if (written) return written;
    Error error = written.error();
    error.message = QStringLiteral("Ayarlar kaydedilemedi: %1").arg(error.message);
    return error;
}
