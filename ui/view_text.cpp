#include "ui/view_text.h"

#include <QLocale>

namespace Views {

QString flagEmoji(const QString& code) {
    QString out;
    for (const char32_t c : code.toUpper().toUcs4()) {
        const char32_t shifted = c + 127397;
        const bool valid = shifted < 0x110000 && !(shifted >= 0xD800 && shifted <= 0xDFFF);
        if (!valid) continue;
        out += QString::fromUcs4(&shifted, 1);
    }
    if (out.isEmpty()) {
        const char32_t globe = 0x1F30D;
        return QString::fromUcs4(&globe, 1);
    }
    return out;
}

Caption caption(ConnectionStatus status, bool waitingForKeychain) {
    switch (status) {
    case ConnectionStatus::connecting:
        return {QStringLiteral("Kalkışa geçiliyor..."), waitingForKeychain
                                                            ? QStringLiteral("Anahtarlık penceresinde yanıtın bekleniyor")
                                                            : QStringLiteral("Güvenli tünel kuruluyor")};
    case ConnectionStatus::connected:
        return {QStringLiteral("Korumadasın"), QStringLiteral("Trafiğin şifreli tünelden akıyor")};
    case ConnectionStatus::idle:
        break;
    }
    return {QStringLiteral("Dokun, kalkışa geç"),
            QStringLiteral("Gerçek IP’n görünür, bağlanınca çıkış IP’si atanır")};
}

QString pillText(ConnectionStatus status) {
    return status == ConnectionStatus::connected ? QStringLiteral("Bağlı") : QStringLiteral("Kapalı");
}

QString serverLineFlag(const std::optional<Server>& active, const std::optional<Server>& best) {
    if (active) return flagEmoji(active->countryCode);
    if (best) return flagEmoji(best->countryCode);
    return flagEmoji(QString());
}

QString serverLineName(const std::optional<Server>& active) {
    return active ? active->city : QStringLiteral("En iyi lokasyon");
}

QString serverLineDestination(const std::optional<Server>& active, const std::optional<Server>& best) {
    if (active) return serverDetail(*active);
    if (best) return best->city + QStringLiteral(" · şu an en uygun");
    return QStringLiteral("Yükleniyor...");
}

QString serverDetail(const Server& server) {
    QString text = server.country + QStringLiteral(" · %") + QString::number(server.load);
    if (server.pingMs) text += QStringLiteral(" · ") + QString::number(*server.pingMs) + QStringLiteral(" ms");
    return text;
}

bool isPlusTier(const Server& server) { return server.tier == QLatin1String("PLUS"); }

QString tierText(const Server& server) {
    return isPlusTier(server) ? QStringLiteral("Plus") : QStringLiteral("Ücretsiz");
}

CardText originalCard(const std::optional<QString>& ip, const std::optional<QString>& place, bool connected) {
    CardText t;
    t.value = ip ? *ip : (connected ? QStringLiteral("—") : QStringLiteral("Sorgulanıyor"));
    t.meta = place ? *place : (connected ? QStringLiteral("Gizlendi") : QStringLiteral("Görünür"));
    return t;
}

CardText exitCard(const std::optional<QString>& exitIp, bool connected) {
    if (!connected) return {QStringLiteral("—"), QStringLiteral("Bağlı değil")};
    return {exitIp ? *exitIp : QStringLiteral("…"), QStringLiteral("Korumadasın")};
}

bool powerEnabled(bool busy, ConnectionStatus status) { return !busy || status == ConnectionStatus::connecting; }

bool loginEnabled(bool busy, const QString& email, const QString& password) {
    return !busy && !email.isEmpty() && !password.isEmpty();
}

QString loginButtonText(bool busy) {
    return busy ? QStringLiteral("Giriş yapılıyor...") : QStringLiteral("Giriş yap");
}

bool isPlusPlan(const QString& plan) { return plan.toUpper() == QLatin1String("PLUS"); }

QString planBadgeText(const QString& plan) {
    return isPlusPlan(plan) ? QStringLiteral("Plus") : QStringLiteral("Free");
}

QString upgradeText(const QString& plan) {
    return isPlusPlan(plan) ? QStringLiteral("Paketler") : QStringLiteral("Yükselt");
}

QString updateBannerText(const QString& version, bool updating) {
    if (updating) return QStringLiteral("Güncelleme indiriliyor…");
    return QStringLiteral("Yeni sürüm %1 hazır — Güncelle").arg(version);
}

QString noticeCallToAction(const std::optional<QString>& cta) {
    return cta && !cta->isEmpty() ? *cta : QStringLiteral("İncele →");
}

QString upperTurkish(const QString& text) { return QLocale(QLocale::Turkish, QLocale::Turkey).toUpper(text); }

} // namespace Views
