#include "vpn/strongswan/profile_file.h"

#include "platform/json_decoder.h"
#include "platform/private_file.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace strongswan {

namespace {

constexpr int profileFormat = 1;

QJsonValue optionalText(const std::optional<QString>& s) { return s ? QJsonValue(*s) : QJsonValue(); }

QJsonObject encodeParameters(const IkeSaParameters& p) {
    return QJsonObject{{QStringLiteral("encryptionAlgorithm"), p.encryptionAlgorithm},
                       {QStringLiteral("integrityAlgorithm"), p.integrityAlgorithm},
                       {QStringLiteral("diffieHellmanGroup"), p.diffieHellmanGroup}};
}

QString leadIn() { return QStringLiteral("VPN profili okunamadı"); }

IkeSaParameters readParameters(JsonDecoder& d, const QJsonObject& o, const char* key) {
    const QJsonObject p = d.object(o, key);
    JsonDecoder::Scope scope(d, key);
    IkeSaParameters out;
    out.encryptionAlgorithm = d.int32(p, "encryptionAlgorithm");
    out.integrityAlgorithm = d.int32(p, "integrityAlgorithm");
    out.diffieHellmanGroup = d.int32(p, "diffieHellmanGroup");
    return out;
}

// Strict: a field of the wrong type makes the whole file unreadable rather than half read.
VpnProfile readProfile(JsonDecoder& d, const QJsonObject& root) {
    VpnProfile profile;
    const int format = d.int32(root, "format");
    if (!d.failed() && format != profileFormat) d.fail(QStringLiteral("biçim %1 tanınmıyor").arg(format), "format");
    profile.localizedDescription = d.string(root, "localizedDescription");
    profile.isEnabled = d.boolean(root, "isEnabled");
    profile.isOnDemandEnabled = d.boolean(root, "isOnDemandEnabled");
    const std::optional<QJsonObject> o = d.optionalObject(root, "protocol");
    if (!o || d.failed()) return profile;
    JsonDecoder::Scope scope(d, "protocol");
    IkeV2Protocol p;
    p.serverAddress = d.optionalString(*o, "serverAddress");
    p.remoteIdentifier = d.optionalString(*o, "remoteIdentifier");
    p.localIdentifier = d.optionalString(*o, "localIdentifier");
    p.authenticationMethod = d.int32(*o, "authenticationMethod");
    if (const auto reference = d.optionalString(*o, "sharedSecretReference")) {
        auto decoded = QByteArray::fromBase64Encoding(reference->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (decoded) p.sharedSecretReference = *decoded;
        else d.fail(QStringLiteral("base64 değil"), "sharedSecretReference");
    }
    p.useExtendedAuthentication = d.boolean(*o, "useExtendedAuthentication");
    p.disconnectOnSleep = d.boolean(*o, "disconnectOnSleep");
    p.deadPeerDetectionRate = d.int32(*o, "deadPeerDetectionRate");
    p.ikeSecurityAssociationParameters = readParameters(d, *o, "ikeSecurityAssociationParameters");
    p.childSecurityAssociationParameters = readParameters(d, *o, "childSecurityAssociationParameters");
    profile.protocolConfiguration = std::move(p);
    return profile;
}

} // namespace

QByteArray encodeProfile(const VpnProfile& profile) {
    QJsonObject root{{QStringLiteral("format"), profileFormat},
                     {QStringLiteral("localizedDescription"), profile.localizedDescription},
                     {QStringLiteral("isEnabled"), profile.isEnabled},
                     {QStringLiteral("isOnDemandEnabled"), profile.isOnDemandEnabled}};
    if (const auto& p = profile.protocolConfiguration) {
        root.insert(QStringLiteral("protocol"),
                    QJsonObject{
                        {QStringLiteral("serverAddress"), optionalText(p->serverAddress)},
                        {QStringLiteral("remoteIdentifier"), optionalText(p->remoteIdentifier)},
                        {QStringLiteral("localIdentifier"), optionalText(p->localIdentifier)},
                        {QStringLiteral("authenticationMethod"), p->authenticationMethod},
                        {QStringLiteral("sharedSecretReference"),
                         p->sharedSecretReference ? QJsonValue(QString::fromLatin1(p->sharedSecretReference->toBase64()))
                                                  : QJsonValue()},
                        {QStringLiteral("useExtendedAuthentication"), p->useExtendedAuthentication},
                        {QStringLiteral("disconnectOnSleep"), p->disconnectOnSleep},
                        {QStringLiteral("deadPeerDetectionRate"), p->deadPeerDetectionRate},
                        {QStringLiteral("ikeSecurityAssociationParameters"),
                         encodeParameters(p->ikeSecurityAssociationParameters)},
                        {QStringLiteral("childSecurityAssociationParameters"),
                         encodeParameters(p->childSecurityAssociationParameters)},
                    });
    } else {
        root.insert(QStringLiteral("protocol"), QJsonValue());
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

Result<VpnProfile> decodeProfile(QByteArrayView data) {
    JsonDecoder d(leadIn());
    const std::optional<QJsonObject> root = d.parseObject(data.toByteArray());
    if (!root) return d.error();
    VpnProfile profile = readProfile(d, *root);
    if (d.failed()) return d.error();
    return profile;
}

Result<StoredProfile> readProfileFile(const QString& path) {
    PrivateFile::Loaded<VpnProfile> loaded = PrivateFile::readJson<VpnProfile>(path, maxProfileSize, leadIn(), readProfile);
    if (loaded.error && !loaded.damaged()) return *loaded.error;
    return StoredProfile{std::move(loaded.value), loaded.setAsidePath};
}

Result<void> writeProfileFile(const QString& path, const VpnProfile& profile) {
    const Result<void> written = PrivateFile::write(path, encodeProfile(profile));
    if (written) return written;
    Error e = written.error();
    e.message = QStringLiteral("VPN profili kaydedilemedi: %1").arg(e.message);
    return e;
}

Result<void> removeProfileFile(const QString& path) {
    const Result<void> removed = PrivateFile::remove(path);
    if (removed) return removed;
    Error e = removed.error();
    e.message = QStringLiteral("VPN profili silinemedi: %1").arg(e.message);
    return e;
}

} // namespace strongswan
