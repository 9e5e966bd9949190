#include "vpn/networkmanager/nm_failures.h"

namespace networkmanager {

namespace {
QString text(const char* s) { return QString::fromUtf8(s); }
} // namespace

std::optional<Error> describeReason(uint reason, std::optional<uint> pluginFailure) {
    // The plugin's own failure says more than NetworkManager's reason, which is often "unknown".
    if (pluginFailure) {
        switch (*pluginFailure) {
        case 0:
            return Error{Error::Kind::Rejected,
                         text("Kimlik doğrulama başarısız: sunucu paylaşılan anahtarı veya kimliği kabul etmedi."), 0,
                         QStringLiteral("LOGIN_FAILED")};
        case 1:
            return Error{Error::Kind::Rejected, text("Sunucuyla bağlantı kurulamadı."), 0,
                         QStringLiteral("CONNECT_FAILED")};
        case 2:
            return Error{Error::Kind::Rejected, text("Sunucu geçerli bir VPN adresi vermedi."), 0,
                         QStringLiteral("BAD_IP_CONFIG")};
        default: break;
        }
    }
    struct Row {
        uint reason;
        const char* token;
        const char* text;
    };
    static const Row rows[] = {
        {0, "UNKNOWN", "NetworkManager bağlantıyı kuramadı (neden bildirilmedi)."},
        {3, "DEVICE_DISCONNECTED", "Ağ bağlantısı kesildi."},
        {4, "SERVICE_STOPPED", "VPN hizmeti durdu."},
        {5, "IP_CONFIG_INVALID", "Sunucunun verdiği VPN adresi kullanılamadı."},
        {6, "CONNECT_TIMEOUT", "Sunucu zamanında yanıt vermedi."},
        {7, "SERVICE_START_TIMEOUT", "VPN hizmeti zamanında başlamadı."},
        {8, "SERVICE_START_FAILED", "VPN hizmeti başlatılamadı."},
        {9, "NO_SECRETS", "Bu bağlantının paylaşılan anahtarı bulunamadı."},
        {10, "LOGIN_FAILED", "Kimlik doğrulama başarısız: sunucu paylaşılan anahtarı veya kimliği kabul etmedi."},
        {11, "CONNECTION_REMOVED", "VPN profili silindi."},
        {12, "DEPENDENCY_FAILED", "Bağlantının dayandığı ağ bağlantısı kurulamadı."},
        {13, "DEVICE_REALIZE_FAILED", "VPN aygıtı oluşturulamadı."},
        {14, "DEVICE_REMOVED", "Ağ aygıtı kaldırıldı."},
    };
    if (reason == 1 || reason == 2) return std::nullopt; // none, or the user disconnected
    for (const Row& r : rows)
        if (r.reason == reason) return Error{Error::Kind::Rejected, text(r.text), int(reason), QLatin1String(r.token)};
    return Error{Error::Kind::Rejected, QStringLiteral("NetworkManager bağlantıyı sonlandırdı (neden %1).").arg(reason),
                 int(reason), QStringLiteral("REASON_%1").arg(reason)};
}

Error busError(const QDBusMessage& reply, const QString& what, bool busConnected) {
    QString why = reply.errorMessage();
    if (why.isEmpty()) why = reply.errorName();
    const QString name = reply.errorName();
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Disconnected") || !busConnected)
        return Error{Error::Kind::Transport,
                     QStringLiteral("NetworkManager'a ulaşılamadı (%1). NetworkManager çalışıyor mu?")
                         .arg(why.isEmpty() ? QStringLiteral("sistem veri yolu yok") : why),
                     0, name};
    // It is there, it did not answer in time: asking whether it runs would mislead.
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return Error{Error::Kind::Transport, QStringLiteral("NetworkManager %1: yanıt zamanında gelmedi.").arg(what), 0,
                     name};
    // polkit said no: the user has no right to it here, or did not give the password asked for.
    if (name.endsWith(QLatin1String(".PermissionDenied")) || name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"))
        return Error{Error::Kind::Rejected,
                     QStringLiteral("NetworkManager %1: izin verilmedi. Bu kullanıcının VPN bağlantısını değiştirme "
                                    "yetkisi yok ya da istenen parola girilmedi.")
                         .arg(what),
                     0, name};
    return Error{Error::Kind::Rejected, QStringLiteral("NetworkManager %1: %2").arg(what, why), 0, name};
}

Error noBusError(const QString& why) {
    return Error{Error::Kind::Transport,
                 QStringLiteral("NetworkManager'a ulaşılamadı: sistem veri yoluna bağlanılamadı (%1)").arg(why)};
}

Error noBusToStartError() {
    return Error{Error::Kind::Transport, QStringLiteral("NetworkManager'a ulaşılamadı: sistem veri yolu yok.")};
}

Error serviceStoppedError() {
    return Error{Error::Kind::Rejected, QStringLiteral("NetworkManager durdu."), 0, QStringLiteral("SERVICE_LOST")};
}

} // namespace networkmanager
