#include "vpn/strongswan/charon_failures.h"

namespace strongswan {

namespace {

struct FailurePattern {
    const char* needle;
    const char* token;
    int notify;
    const char* text;
};

// Most telling first: a wrong key also ends with the gateway deleting the SA, and that must not win.
const FailurePattern failurePatterns[] = {
    {"AUTHENTICATION_FAILED", "AUTHENTICATION_FAILED", 24,
     "Kimlik doğrulama başarısız: sunucu paylaşılan anahtarı veya kimliği kabul etmedi."},
    {"MAC mismatched", "AUTHENTICATION_FAILED", 24,
     "Kimlik doğrulama başarısız: sunucunun paylaşılan anahtarı eşleşmiyor."},
    {"with pre-shared key failed", "AUTHENTICATION_FAILED", 24,
     "Kimlik doğrulama başarısız: sunucunun paylaşılan anahtarı eşleşmiyor."},
    {"no shared key found", "NO_SHARED_KEY", 0, "Bu bağlantının paylaşılan anahtarı bulunamadı."},
    {"NO_PROPOSAL_CHOSEN", "NO_PROPOSAL_CHOSEN", 14, "Sunucu şifreleme ayarlarını kabul etmedi."},
    {"no acceptable proposal", "NO_PROPOSAL_CHOSEN", 14, "Sunucu şifreleme ayarlarını kabul etmedi."},
    {"TS_UNACCEPTABLE", "TS_UNACCEPTABLE", 38, "Sunucu istenen ağ aralığını kabul etmedi."},
    {"INTERNAL_ADDRESS_FAILURE", "INTERNAL_ADDRESS_FAILURE", 36, "Sunucu bu cihaza bir VPN adresi atamadı."},
    {"FAILED_CP_REQUIRED", "INTERNAL_ADDRESS_FAILURE", 37, "Sunucu bu cihaza bir VPN adresi atamadı."},
    {"giving up after", "PEER_NOT_RESPONDING", 0, "Sunucu yanıt vermiyor."},
    {"peer not responding", "PEER_NOT_RESPONDING", 0, "Sunucu yanıt vermiyor."},
    {"not established after", "PEER_NOT_RESPONDING", 0, "Sunucu zamanında yanıt vermedi."},
    {"unable to resolve", "RESOLVE_FAILED", 0, "Sunucu adresi çözümlenemedi."},
    {"received DELETE for IKE_SA", "DELETED_BY_PEER", 0, "Sunucu bağlantıyı kapattı."},
};

} // namespace

Error describeFailure(const QStringList& logLines, const QString& errmsg, const QString& fallback) {
    for (const FailurePattern& p : failurePatterns) {
        const QLatin1String needle(p.needle);
        for (auto it = logLines.crbegin(); it != logLines.crend(); ++it) {
            if (it->contains(needle))
                return Error{Error::Kind::Rejected, QString::fromUtf8(p.text), p.notify, QLatin1String(p.token)};
        }
        if (errmsg.contains(needle))
            return Error{Error::Kind::Rejected, QString::fromUtf8(p.text), p.notify, QLatin1String(p.token)};
    }
    QString text = fallback;
    if (!errmsg.isEmpty()) text += QStringLiteral(" (%1)").arg(errmsg);
    return Error{Error::Kind::Rejected, text, 0, QStringLiteral("CONNECTION_FAILED")};
}

QString attemptFailedText() { return QStringLiteral("Bağlantı kurulamadı."); }
QString droppedText() { return QStringLiteral("VPN bağlantısı koptu."); }

Error charonError(const vici::Failure& f) {
    using K = vici::Failure::Kind;
    switch (f.kind) {
    case K::Unreachable:
    case K::TimedOut:
        return Error{Error::Kind::Transport, QStringLiteral("VPN hizmetine (charon) ulaşılamadı: %1").arg(f.detail)};
    case K::UnknownCommand:
        return Error{Error::Kind::Rejected, QStringLiteral("VPN hizmeti %1 komutunu tanımıyor").arg(f.detail)};
    case K::UnknownEvent:
        return Error{Error::Kind::Rejected, QStringLiteral("VPN hizmeti %1 olayını tanımıyor").arg(f.detail)};
    case K::Malformed:
        return Error{Error::Kind::Transport, QStringLiteral("VPN hizmetinden bozuk yanıt geldi: %1").arg(f.detail)};
    case K::Unsendable:
        return Error{Error::Kind::Serialization, QStringLiteral("VPN hizmetine gönderilemedi: %1").arg(f.detail)};
    }
    return Error{Error::Kind::Transport, f.detail};
}

Error serviceError(const QByteArray& command, const vici::Section& response) {
    const QString why = response.text("errmsg");
    return Error{Error::Kind::Rejected,
                 QStringLiteral("VPN hizmeti %1 isteğini reddetti: %2")
                     .arg(QString::fromUtf8(command), why.isEmpty() ? QStringLiteral("neden belirtilmedi") : why),
                 0, QString::fromUtf8(command)};
}

Error unreachableError(const QString& socketPath) {
    return Error{Error::Kind::Transport,
                 QStringLiteral("VPN hizmetine (charon) ulaşılamadı: %1 yanıt vermiyor. strongSwan çalışıyor mu?")
                     .arg(socketPath)};
}

Error accessDeniedError(const QString& socketPath) {
    return Error{Error::Kind::Rejected,
                 QStringLiteral("VPN hizmetine (charon) erişim izni yok: %1 bu kullanıcıya kapalı. NetworkManager'ın "
                                "strongSwan eklentisini kurun ya da charon'un soketini bu kullanıcıya açın.")
                     .arg(socketPath),
                 0, QStringLiteral("ACCESS_DENIED")};
}

Error serviceLostError(const vici::Failure& failure) {
    return Error{Error::Kind::Transport, QStringLiteral("VPN hizmetiyle (charon) bağlantı kesildi: %1").arg(failure.detail),
                 0, QStringLiteral("SERVICE_LOST")};
}

Error noKeychainError() {
    return Error{Error::Kind::Keychain, QStringLiteral("Paylaşılan anahtar okunamadı: anahtar zinciri yok.")};
}

Error missingSecretError() {
    return Error{Error::Kind::Keychain,
                 QStringLiteral("Paylaşılan anahtar anahtar zincirinde bulunamadı; profili yeniden kaydedin.")};
}

} // namespace strongswan
