#include "vpn/ike_profile.h"

#include <QList>
#include <QRegularExpression>

#include <span>

namespace IkeProfile {

namespace {

Error unusable(const QString& what) {
    return Error{Error::Kind::Rejected, QStringLiteral("VPN profili kullanılamıyor: %1").arg(what)};
}

struct Token {
    int value;
    const char* text;
    bool aead = false;
};

// One table per algorithm kind, read both ways. Values are the system's numbering; DES (1) is missing
// on purpose: charon's crypto plugins refuse it.
constexpr Token encryptions[] = {
    {2, "3des"},           {3, "aes128"},           {4, "aes256"},
    {5, "aes128gcm16", true}, {6, "aes256gcm16", true}, {7, "chacha20poly1305", true},
};
constexpr Token integrities[] = {
    {1, "sha1"}, {2, "sha1_160"}, {3, "sha256"}, {4, "sha384"}, {5, "sha512"},
};
constexpr Token groups[] = {
    {1, "modp768"},  {2, "modp1024"}, {5, "modp1536"}, {14, "modp2048"}, {15, "modp3072"},
    {16, "modp4096"}, {17, "modp6144"}, {18, "modp8192"}, {19, "ecp256"},  {20, "ecp384"},
    {21, "ecp521"},  {31, "curve25519"}, {32, "curve448"},
};
// What an AEAD proposal leaves out reads back as SHA-256, the profile's default.
constexpr int impliedIntegrity = 3;

const Token* byValue(std::span<const Token> table, int value) {
    for (const Token& t : table)
        if (t.value == value) return &t;
    return nullptr;
}

const Token* byText(std::span<const Token> table, QByteArrayView text) {
    for (const Token& t : table)
        if (text == QByteArrayView(t.text)) return &t;
    return nullptr;
}

// The PRF an AEAD IKE proposal names for an integrity algorithm: both SHA-1 variants are "sha1".
QByteArray prfFor(const Token& integrity) {
    const QByteArray text(integrity.text);
    return "prf" + (text.startsWith("sha1") ? QByteArrayLiteral("sha1") : text);
}

bool hasControlCharacters(const QString& s) {
    for (const QChar c : s)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    return false;
}

std::optional<Error> checkIdentity(const std::optional<QString>& id, const QString& what, bool required) {
    if (!id || id->trimmed().isEmpty()) {
        if (required) return unusable(QStringLiteral("%1 boş").arg(what));
        return std::nullopt;
    }
    if (id->toUtf8().size() > 255 || hasControlCharacters(*id)) return unusable(QStringLiteral("%1 geçersiz").arg(what));
    return std::nullopt;
}

} // namespace

Result<QByteArray> proposal(const IkeSaParameters& p, bool forIke) {
    const Token* enc = byValue(encryptions, p.encryptionAlgorithm);
    if (!enc) return unusable(QStringLiteral("şifreleme algoritması %1 desteklenmiyor").arg(p.encryptionAlgorithm));
    const Token* integ = byValue(integrities, p.integrityAlgorithm);
    if (!integ) return unusable(QStringLiteral("bütünlük algoritması %1 desteklenmiyor").arg(p.integrityAlgorithm));
    const Token* group = byValue(groups, p.diffieHellmanGroup);
    if (!group) return unusable(QStringLiteral("Diffie-Hellman grubu %1 desteklenmiyor").arg(p.diffieHellmanGroup));
    QByteArray out(enc->text);
    if (!enc->aead) out += '-' + QByteArray(integ->text);
    else if (forIke) out += '-' + prfFor(*integ);
    return out + '-' + QByteArray(group->text);
}

std::optional<IkeSaParameters> parameters(QByteArrayView text, bool forIke) {
    const QList<QByteArray> parts = text.trimmed().toByteArray().split('-');
    if (parts.size() < 2) return std::nullopt;
    const Token* enc = byText(encryptions, parts.first());
    const Token* group = byText(groups, parts.last());
    if (!enc || !group) return std::nullopt;
    int integrity = impliedIntegrity;
    const bool namesIntegrity = !enc->aead || forIke;
    if (parts.size() != (namesIntegrity ? 3 : 2)) return std::nullopt;
    if (namesIntegrity) {
        const QByteArray& middle = parts.at(1);
        const Token* integ = nullptr;
        if (!enc->aead) {
            integ = byText(integrities, middle);
        } else {
            for (const Token& t : integrities)
                if (middle == prfFor(t)) {
                    integ = &t;
                    break;
                }
        }
        if (!integ) return std::nullopt;
        integrity = integ->value;
    }
    return IkeSaParameters{enc->value, integrity, group->value};
}

Result<Usable> check(const IkeV2Protocol& p) {
    const QString server = p.serverAddress.value_or(QString()).trimmed();
    if (server.isEmpty()) return unusable(QStringLiteral("sunucu adresi boş"));
    // Host names and literal addresses only: the value reaches configuration files and command lines.
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9._:-]{1,253}$"));
    if (!hostPattern.match(server).hasMatch())
        return unusable(QStringLiteral("sunucu adresi geçersiz: %1").arg(server.left(80)));
    if (auto err = checkIdentity(p.remoteIdentifier, QStringLiteral("sunucu kimliği"), true)) return *err;
    if (auto err = checkIdentity(p.localIdentifier, QStringLiteral("yerel kimlik"), false)) return *err;
    if (p.authenticationMethod != 2)
        return unusable(QStringLiteral("yalnızca paylaşılan anahtarla kimlik doğrulama destekleniyor"));
    if (p.useExtendedAuthentication) return unusable(QStringLiteral("genişletilmiş kimlik doğrulama (EAP) desteklenmiyor"));
    if (!p.sharedSecretReference || p.sharedSecretReference->isEmpty())
        return unusable(QStringLiteral("paylaşılan anahtar anahtar zincirinde kayıtlı değil"));
    auto ike = proposal(p.ikeSecurityAssociationParameters, true);
    if (!ike) return ike.error();
    auto esp = proposal(p.childSecurityAssociationParameters, false);
    if (!esp) return esp.error();

    Usable u;
    u.server = server;
    u.remoteId = p.remoteIdentifier->trimmed();
    if (p.localIdentifier && !p.localIdentifier->trimmed().isEmpty()) u.localId = p.localIdentifier->trimmed();
    u.secretReference = *p.sharedSecretReference;
    u.ikeProposal = std::move(*ike);
    u.espProposal = std::move(*esp);
    u.deadPeerDetectionRate = p.deadPeerDetectionRate;
    return u;
}

} // namespace IkeProfile
