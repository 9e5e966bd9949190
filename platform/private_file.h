#pragma once

#include "platform/json_decoder.h"
#include "platform/result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <utility>

// Files that hold the user's own data (settings, the VPN profile): under the per-user config
// folder, readable by the user alone, replaced whole or not at all, and set aside rather than
// lost when found damaged.
namespace PrivateFile {

// How every failure of these files reads: Io, code = errno, "PATH (reason)", for the caller to put its
// own lead-in before.
Error ioError(const QString& path, int err);

// $XDG_CONFIG_HOME/kestrava/<fileName>, or ~/.config/kestrava/<fileName> when that is unset or relative.
QString configPath(const QString& fileName);

// Replaces the file with data, mode 0600, so that a crash or a full disk leaves the old file whole;
// a missing folder is made with mode 0700. The error (Io, code = errno) reads "PATH (reason)" for
// the caller to put its own lead-in before.
Result<void> write(const QString& path, const QByteArray& data);

// Makes the folder that path goes in as write() does: mode 0700, and the folders above as any program
// makes them. The error (Io, code = errno) reads "FOLDER (reason)".
Result<void> makeFolder(const QString& path);

// Removes the file; one that is not there counts as removed.
Result<void> remove(const QString& path);

// Moves a damaged file to path + ".corrupt", replacing an older one: the new path, or empty if it
// could not be moved.
QString setAside(const QString& path);

// What reading a file that must hold one JSON object found. Nothing set: there is no file.
template <class T> struct Loaded {
    std::optional<T> value;
    // Io: the file could not be read and was left where it is. Decode: it was damaged (too large,
    // not a JSON object, or refused by the decoder) and was set aside.
    std::optional<Error> error;
    QString setAsidePath; // where a damaged file went; empty if it could not be moved

    bool missing() const { return !value && !error; }
    bool damaged() const { return error && error->kind == Error::Kind::Decode; }
};

namespace detail {
// At most limit bytes of the file; nullopt when there is none. The error reads "leadIn: PATH (reason)".
Result<std::optional<QByteArray>> readAtMost(const QString& path, qint64 limit, const QString& leadIn);
// The same in two steps, for a caller that must know which file it read: a descriptor opened as
// readAtMost opens it (-1 and errno when it cannot; ENOENT or ENOTDIR: there is none), then its bytes.
int openToRead(const QString& path);
Result<QByteArray> readFrom(int fd, qint64 limit, const QString& path, const QString& leadIn);
} // namespace detail

// Decodes data that must hold one JSON object of at most maxSize bytes, as readJson does; the Decode
// error's text begins with leadIn.
template <class T, class F>
Result<T> decodeJson(const QByteArray& data, qint64 maxSize, const QString& leadIn, F decode) {
    JsonDecoder d(leadIn);
    if (data.size() > maxSize) {
        d.fail(QStringLiteral("dosya %1 bayttan büyük").arg(maxSize));
    } else if (const std::optional<QJsonObject> root = d.parseObject(data)) {
        T value = decode(d, *root);
        if (!d.failed()) return value;
    }
    return d.error();
}

// Reads a file of at most maxSize bytes and decodes its object with decode(JsonDecoder&, const
// QJsonObject&) -> T. Every error text begins with leadIn, e.g. "VPN profili okunamadı".
template <class T, class F>
Loaded<T> readJson(const QString& path, qint64 maxSize, const QString& leadIn, F decode) {
    Loaded<T> out;
    Result<std::optional<QByteArray>> bytes = detail::readAtMost(path, maxSize + 1, leadIn);
    if (!bytes) {
        out.error = bytes.error();
        return out;
    }
    if (!bytes->has_value()) return out;
    Result<T> decoded = decodeJson<T>(**bytes, maxSize, leadIn, decode);
    if (decoded) {
        out.value = std::move(*decoded);
        return out;
    }
    out.error = decoded.error();
    out.setAsidePath = setAside(path);
    return out;
}

} // namespace PrivateFile
