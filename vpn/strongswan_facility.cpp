#include "vpn/strongswan_facility.h"

#include "platform/signal_wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <qcoro/qcorosignal.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using strongswan::TunnelEvent;

namespace strongswan {

namespace {

constexpr int profileFormat = 1;
constexpr qsizetype maxProfileSize = 64 * 1024;
constexpr int recentLogLines = 40;

Error invalidProfile(const QString& what) {
    return Error{Error::Kind::Rejected, QStringLiteral("VPN profili kullanılamıyor: %1").arg(what)};
}

std::optional<QByteArray> encryptionToken(int value, bool& aead) {
    aead = false;
    switch (value) {
    case 2: return QByteArrayLiteral("3des");
    case 3: return QByteArrayLiteral("aes128");
    case 4: return QByteArrayLiteral("aes256");
    case 5: aead = true; return QByteArrayLiteral("aes128gcm16");
    case 6: aead = true; return QByteArrayLiteral("aes256gcm16");
    case 7: aead = true; return QByteArrayLiteral("chacha20poly1305");
    default: return std::nullopt; // DES (1) is refused by charon's crypto plugins
    }
}

std::optional<QByteArray> integrityToken(int value) {
    switch (value) {
    case 1: return QByteArrayLiteral("sha1");
    case 2: return QByteArrayLiteral("sha1_160");
    case 3: return QByteArrayLiteral("sha256");
    case 4: return QByteArrayLiteral("sha384");
    case 5: return QByteArrayLiteral("sha512");
    default: return std::nullopt;
    }
}

std::optional<QByteArray> groupToken(int value) {
    switch (value) {
    case 1: return QByteArrayLiteral("modp768");
    case 2: return QByteArrayLiteral("modp1024");
    case 5: return QByteArrayLiteral("modp1536");
    case 14: return QByteArrayLiteral("modp2048");
    case 15: return QByteArrayLiteral("modp3072");
    case 16: return QByteArrayLiteral("modp4096");
    case 17: return QByteArrayLiteral("modp6144");
    case 18: return QByteArrayLiteral("modp8192");
    case 19: return QByteArrayLiteral("ecp256");
    case 20: return QByteArrayLiteral("ecp384");
    case 21: return QByteArrayLiteral("ecp521");
    case 31: return QByteArrayLiteral("curve25519");
    case 32: return QByteArrayLiteral("curve448");
    default: return std::nullopt;
    }
}


bool hasControlCharacters(const QString& s) {
    for (const QChar c : s)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    return false;
}

std::optional<Error> checkIdentity(const std::optional<QString>& id, const QString& what, bool required) {
    if (!id || id->trimmed().isEmpty()) {
        if (required) return invalidProfile(QStringLiteral("%1 boş").arg(what));
        return std::nullopt;
    }
    if (id->toUtf8().size() > 255 || hasControlCharacters(*id))
        return invalidProfile(QStringLiteral("%1 geçersiz").arg(what));
    return std::nullopt;
}

QByteArray dpdDelay(int rate) {
    switch (rate) {
    case 0: return QByteArrayLiteral("0s");
    case 1: return QByteArrayLiteral("120s");
    case 3: return QByteArrayLiteral("10s");
    default: return QByteArrayLiteral("30s");
    }
}

QJsonValue optionalText(const std::optional<QString>& s) { return s ? QJsonValue(*s) : QJsonValue(); }

QJsonObject encodeParameters(const IkeSaParameters& p) {
    return QJsonObject{{QStringLiteral("encryptionAlgorithm"), p.encryptionAlgorithm},
                       {QStringLiteral("integrityAlgorithm"), p.integrityAlgorithm},
                       {QStringLiteral("diffieHellmanGroup"), p.diffieHellmanGroup}};
}

// Strict readers: a field of the wrong type makes the whole file unreadable rather than half read.
struct Reader {
    QString failure;

    bool fail(const QString& key) {
        if (failure.isEmpty()) failure = key;
        return false;
    }
    bool boolean(const QJsonObject& o, const char* key, bool& out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isBool()) return fail(QLatin1String(key));
        out = v.toBool();
        return true;
    }
    bool integer(const QJsonObject& o, const char* key, int& out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isDouble() || v.toDouble() != double(v.toInt())) return fail(QLatin1String(key));
        out = v.toInt();
        return true;
    }
    bool text(const QJsonObject& o, const char* key, QString& out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isString()) return fail(QLatin1String(key));
        out = v.toString();
        return true;
    }
    bool optionalText(const QJsonObject& o, const char* key, std::optional<QString>& out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isNull() || v.isUndefined()) {
            out.reset();
            return true;
        }
        if (!v.isString()) return fail(QLatin1String(key));
        out = v.toString();
        return true;
    }
    bool parameters(const QJsonObject& o, const char* key, IkeSaParameters& out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isObject()) return fail(QLatin1String(key));
        const QJsonObject p = v.toObject();
        return integer(p, "encryptionAlgorithm", out.encryptionAlgorithm)
            && integer(p, "integrityAlgorithm", out.integrityAlgorithm)
            && integer(p, "diffieHellmanGroup", out.diffieHellmanGroup);
    }
};

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

Result<QByteArray> proposalFor(const IkeSaParameters& p, bool forIke) {
    bool aead = false;
    const auto enc = encryptionToken(p.encryptionAlgorithm, aead);
    if (!enc) return invalidProfile(QStringLiteral("şifreleme algoritması %1 desteklenmiyor").arg(p.encryptionAlgorithm));
    const auto integ = integrityToken(p.integrityAlgorithm);
    if (!integ) return invalidProfile(QStringLiteral("bütünlük algoritması %1 desteklenmiyor").arg(p.integrityAlgorithm));
    const auto group = groupToken(p.diffieHellmanGroup);
    if (!group) return invalidProfile(QStringLiteral("Diffie-Hellman grubu %1 desteklenmiyor").arg(p.diffieHellmanGroup));
    QByteArray out = *enc;
    // An AEAD cipher brings its own integrity; IKE still needs a PRF.
    if (!aead) out += '-' + *integ;
    else if (forIke) out += "-prf" + (integ->startsWith("sha1") ? QByteArrayLiteral("sha1") : *integ);
    return out + '-' + *group;
}

VpnStatus nextStatus(VpnStatus current, TunnelEvent event) {
    using S = VpnStatus;
    if (current == S::invalid) return current;
    const bool active = current == S::connecting || current == S::connected || current == S::reasserting;
    switch (event) {
    case TunnelEvent::StartRequested:
        return current == S::disconnected || current == S::disconnecting ? S::connecting : current;
    case TunnelEvent::InitiateFailed:
        return current == S::connecting || current == S::disconnecting ? S::disconnected : current;
    case TunnelEvent::IkeUp:
        return current == S::disconnected ? S::connecting : current;
    case TunnelEvent::IkeDown:
        // During our own stop the terminate's answer settles it: charon announces the IKE_SA down
        // before it has removed the virtual address and its route, and a connection made in
        // between keeps that address and hangs.
        return active ? S::disconnected : current;
    case TunnelEvent::ServiceLost:
        return active || current == S::disconnecting ? S::disconnected : current;
    case TunnelEvent::ChildUp:
        return current == S::disconnecting ? current : S::connected;
    case TunnelEvent::ChildDown:
        return current == S::connected || current == S::reasserting ? S::disconnected : current;
    case TunnelEvent::Rekeyed:
        return current == S::connected ? S::reasserting : current;
    case TunnelEvent::StopRequested:
        return active ? S::disconnecting : current;
    case TunnelEvent::TerminateDone:
        return current == S::disconnecting ? S::disconnected : current;
    }
    return current;
}

std::optional<TunnelEvent> classifyEvent(const QByteArray& event, const vici::Section& message) {
    const vici::Section* ike = message.section(connectionName);
    if (!ike) return std::nullopt;
    const bool up = message.value("up") == QByteArrayLiteral("yes");
    if (event == "ike-updown") return up ? TunnelEvent::IkeUp : TunnelEvent::IkeDown;
    if (event == "ike-rekey" || event == "ike-update") return TunnelEvent::Rekeyed;
    const vici::Section* children = ike->section("child-sas");
    if (!children) return std::nullopt;
    for (const auto& entry : children->entries()) {
        if (entry.kind != vici::Section::Entry::Kind::Section) continue;
        if (event == "child-updown" && entry.section.value("name") == connectionName)
            return up ? TunnelEvent::ChildUp : TunnelEvent::ChildDown;
        // A rekeyed CHILD_SA is listed under its name with the old and the new SA inside.
        if (event == "child-rekey" && (entry.key == connectionName || entry.section.value("name") == connectionName))
            return TunnelEvent::Rekeyed;
    }
    return std::nullopt;
}

VpnStatus statusFromSas(const std::vector<vici::Section>& sas) {
    VpnStatus best = VpnStatus::disconnected;
    auto rank = [](VpnStatus s) {
        switch (s) {
        case VpnStatus::connected: return 3;
        case VpnStatus::connecting: return 2;
        case VpnStatus::disconnecting: return 1;
        default: return 0;
        }
    };
    for (const vici::Section& message : sas) {
        const vici::Section* ike = message.section(connectionName);
        if (!ike) continue;
        const QByteArray state = ike->value("state").value_or(QByteArray());
        VpnStatus s = VpnStatus::disconnected;
        if (state == "CONNECTING") s = VpnStatus::connecting;
        else if (state == "DELETING" || state == "DESTROYING") s = VpnStatus::disconnecting;
        if (state == "ESTABLISHED" || state == "REKEYING" || state == "REKEYED" || state == "PASSIVE") {
            if (const vici::Section* children = ike->section("child-sas")) {
                for (const auto& entry : children->entries()) {
                    if (entry.kind != vici::Section::Entry::Kind::Section) continue;
                    if (entry.section.value("name") != connectionName) continue;
                    const QByteArray cs = entry.section.value("state").value_or(QByteArray());
                    if (cs == "INSTALLED" || cs == "REKEYING" || cs == "UPDATING") s = VpnStatus::connected;
                    else if ((cs == "CREATED" || cs == "INSTALLING") && s != VpnStatus::connected)
                        s = VpnStatus::connecting;
                }
            }
        }
        if (rank(s) > rank(best)) best = s;
    }
    return best;
}

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

Result<vici::Section> connectionMessage(const IkeV2Protocol& p) {
    const QString server = p.serverAddress.value_or(QString()).trimmed();
    if (server.isEmpty()) return invalidProfile(QStringLiteral("sunucu adresi boş"));
    static const QRegularExpression hostPattern(QStringLiteral("^[A-Za-z0-9._:-]{1,253}$"));
    if (!hostPattern.match(server).hasMatch())
        return invalidProfile(QStringLiteral("sunucu adresi geçersiz: %1").arg(server.left(80)));
    if (auto err = checkIdentity(p.remoteIdentifier, QStringLiteral("sunucu kimliği"), true)) return *err;
    if (auto err = checkIdentity(p.localIdentifier, QStringLiteral("yerel kimlik"), false)) return *err;
    if (p.authenticationMethod != 2)
        return invalidProfile(QStringLiteral("yalnızca paylaşılan anahtarla kimlik doğrulama destekleniyor"));
    if (p.useExtendedAuthentication)
        return invalidProfile(QStringLiteral("genişletilmiş kimlik doğrulama (EAP) desteklenmiyor"));
    if (!p.sharedSecretReference || p.sharedSecretReference->isEmpty())
        return invalidProfile(QStringLiteral("paylaşılan anahtar anahtar zincirinde kayıtlı değil"));
    auto ike = proposalFor(p.ikeSecurityAssociationParameters, true);
    if (!ike) return ike.error();
    auto esp = proposalFor(p.childSecurityAssociationParameters, false);
    if (!esp) return esp.error();

    vici::Section message;
    vici::Section& conn = message.addSection(connectionName);
    conn.set("version", QByteArrayLiteral("2"));
    conn.setList("remote_addrs", {server.toUtf8()});
    conn.setList("vips", {QByteArrayLiteral("0.0.0.0")});
    conn.setList("proposals", {*ike});
    conn.set("dpd_delay", dpdDelay(p.deadPeerDetectionRate));
    // One attempt per start: a retry loop inside charon would hide the failure from the user.
    conn.set("keyingtries", QByteArrayLiteral("1"));
    conn.set("mobike", QByteArrayLiteral("yes"));
    conn.set("send_certreq", QByteArrayLiteral("no"));
    vici::Section& local = conn.addSection("local");
    local.set("auth", QByteArrayLiteral("psk"));
    if (p.localIdentifier && !p.localIdentifier->trimmed().isEmpty()) local.set("id", p.localIdentifier->trimmed());
    vici::Section& remote = conn.addSection("remote");
    remote.set("auth", QByteArrayLiteral("psk"));
    remote.set("id", p.remoteIdentifier->trimmed());
    vici::Section& child = conn.addSection("children").addSection(connectionName);
    // Everything through the tunnel; a gateway that offers less narrows it.
    child.setList("remote_ts", {QByteArrayLiteral("0.0.0.0/0")});
    child.setList("esp_proposals", {*esp});
    child.set("start_action", QByteArrayLiteral("none"));
    child.set("close_action", QByteArrayLiteral("none"));
    return message;
}

vici::Section sharedSecretMessage(const IkeV2Protocol& p, const QByteArray& secret) {
    vici::Section message;
    message.set("id", connectionName);
    message.set("type", QByteArrayLiteral("IKE"));
    message.set("data", secret);
    QList<QByteArray> owners;
    if (p.localIdentifier && !p.localIdentifier->trimmed().isEmpty()) owners.append(p.localIdentifier->trimmed().toUtf8());
    if (p.remoteIdentifier) owners.append(p.remoteIdentifier->trimmed().toUtf8());
    message.setList("owners", owners);
    return message;
}

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
    auto corrupt = [](const QString& why) {
        return Error{Error::Kind::Decode, QStringLiteral("VPN profili okunamadı: %1").arg(why), 0, why};
    };
    QJsonParseError perr{};
    const QJsonDocument doc = QJsonDocument::fromJson(data.toByteArray(), &perr);
    if (perr.error != QJsonParseError::NoError) return corrupt(perr.errorString());
    if (!doc.isObject()) return corrupt(QStringLiteral("not an object"));
    const QJsonObject root = doc.object();
    Reader r;
    int format = 0;
    VpnProfile profile;
    if (!r.integer(root, "format", format)) return corrupt(r.failure);
    if (format != profileFormat) return corrupt(QStringLiteral("format %1").arg(format));
    if (!r.text(root, "localizedDescription", profile.localizedDescription) || !r.boolean(root, "isEnabled", profile.isEnabled)
        || !r.boolean(root, "isOnDemandEnabled", profile.isOnDemandEnabled))
        return corrupt(r.failure);
    const QJsonValue pv = root.value(QStringLiteral("protocol"));
    if (pv.isObject()) {
        const QJsonObject o = pv.toObject();
        IkeV2Protocol p;
        std::optional<QString> reference;
        if (!r.optionalText(o, "serverAddress", p.serverAddress) || !r.optionalText(o, "remoteIdentifier", p.remoteIdentifier)
            || !r.optionalText(o, "localIdentifier", p.localIdentifier)
            || !r.integer(o, "authenticationMethod", p.authenticationMethod)
            || !r.optionalText(o, "sharedSecretReference", reference)
            || !r.boolean(o, "useExtendedAuthentication", p.useExtendedAuthentication)
            || !r.boolean(o, "disconnectOnSleep", p.disconnectOnSleep)
            || !r.integer(o, "deadPeerDetectionRate", p.deadPeerDetectionRate)
            || !r.parameters(o, "ikeSecurityAssociationParameters", p.ikeSecurityAssociationParameters)
            || !r.parameters(o, "childSecurityAssociationParameters", p.childSecurityAssociationParameters))
            return corrupt(r.failure);
        if (reference) {
            auto decoded = QByteArray::fromBase64Encoding(reference->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded) return corrupt(QStringLiteral("sharedSecretReference"));
            p.sharedSecretReference = *decoded;
        }
        profile.protocolConfiguration = std::move(p);
    } else if (!pv.isNull()) {
        return corrupt(QStringLiteral("protocol"));
    }
    return profile;
}

} // namespace strongswan

namespace {

Error ioError(const QString& what, int err) {
    return Error{Error::Kind::Io,
                 QStringLiteral("VPN profili kaydedilemedi: %1 (%2)").arg(what, QString::fromLocal8Bit(strerror(err))), err};
}

Error serviceError(const QByteArray& command, const vici::Section& response) {
    const QString why = response.text("errmsg");
    return Error{Error::Kind::Rejected,
                 QStringLiteral("VPN hizmeti %1 isteğini reddetti: %2")
                     .arg(QString::fromUtf8(command), why.isEmpty() ? QStringLiteral("neden belirtilmedi") : why),
                 0, QString::fromUtf8(command)};
}

bool succeeded(const vici::Section& response) { return response.value("success") == QByteArrayLiteral("yes"); }

bool writeAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

QStringList logMessages(const std::vector<std::pair<QByteArray, vici::Section>>& streamed) {
    QStringList lines;
    for (const auto& [name, message] : streamed)
        if (name == "control-log") lines.append(message.text("msg"));
    return lines;
}

} // namespace

StrongSwanFacility::StrongSwanFacility(QString socketPath, QString profilePath, SecretResolver resolver, QObject* parent)
    : VpnFacility(parent),
      m_socketPath(std::move(socketPath)),
      m_profilePath(std::move(profilePath)),
      m_resolver(std::move(resolver)),
      m_commands(new vici::Connection(this)),
      m_events(new vici::Connection(this)) {
    connect(m_events, &vici::Connection::eventReceived, this, &StrongSwanFacility::onEvent);
    connect(m_events, &vici::Connection::lost, this, &StrongSwanFacility::onEventsLost);
}

StrongSwanFacility::~StrongSwanFacility() = default;

QString StrongSwanFacility::defaultSocketPath() { return QStringLiteral("/var/run/charon.vici"); }

QString StrongSwanFacility::defaultProfilePath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/kestrava/vpn-profile.json");
}

void StrongSwanFacility::setStatus(VpnStatus status) {
    if (status == m_status) return;
    m_status = status;
    Q_EMIT statusChanged();
}

void StrongSwanFacility::apply(TunnelEvent event) { setStatus(strongswan::nextStatus(m_status, event)); }

bool StrongSwanFacility::canReachSocketNow() const {
    if (m_events->isOpen()) return true;
    // A unix socket connects or refuses at once; this does not wait.
    QLocalSocket probe;
    probe.connectToServer(m_socketPath);
    const bool reachable = probe.state() != QLocalSocket::UnconnectedState;
    probe.abort();
    return reachable;
}

Result<void> StrongSwanFacility::writeProfileFile(const VpnProfile& profile) {
    const QFileInfo info(m_profilePath);
    const QString dir = info.absolutePath();
    if (!QDir().mkpath(dir)) return ioError(dir, errno ? errno : EACCES);
    ::chmod(QFile::encodeName(dir).constData(), 0700);

    const QByteArray data = strongswan::encodeProfile(profile);
    QByteArray tmpl = QFile::encodeName(m_profilePath) + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return ioError(dir, errno);
    auto abandon = [&](int err) {
        ::close(fd);
        ::unlink(tmpl.constData());
        return ioError(m_profilePath, err);
    };
    if (::fchmod(fd, 0600) != 0) return abandon(errno);
    if (!writeAll(fd, data)) return abandon(errno);
    if (::fsync(fd) != 0) return abandon(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmpl.constData());
        return ioError(m_profilePath, err);
    }
    if (::rename(tmpl.constData(), QFile::encodeName(m_profilePath).constData()) != 0) {
        const int err = errno;
        ::unlink(tmpl.constData());
        return ioError(m_profilePath, err);
    }
    // The rename itself must survive a power cut too.
    const int dfd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

QCoro::Task<Result<void>> StrongSwanFacility::ensureChannels() {
    if (m_commands->isOpen() && m_events->isOpen()) co_return Result<void>();
    if (m_opening) {
        QPointer<StrongSwanFacility> self(this);
        co_await nextEmission(&m_opened, &strongswan::detail::Wakeup::fired, m_limits.command * 2);
        if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
        if (m_commands->isOpen() && m_events->isOpen()) co_return Result<void>();
        co_return m_openError.value_or(vici::transportError(QStringLiteral("bağlantı kurulamadı")));
    }
    m_opening = true;
    QPointer<StrongSwanFacility> self(this);
    auto opened = co_await openChannels();
    if (!self) co_return opened;
    m_opening = false;
    m_openError = opened ? std::nullopt : std::optional<Error>(opened.error());
    Q_EMIT m_opened.fired();
    co_return opened;
}

QCoro::Task<Result<void>> StrongSwanFacility::openChannels() {
    QPointer<StrongSwanFacility> self(this);
    const auto limit = m_limits.command;
    if (!m_commands->isOpen()) {
        auto r = co_await m_commands->open(m_socketPath, limit);
        if (!r || !self) co_return r;
        // list-sas answers with list-sa events, which only registered connections receive.
        r = co_await m_commands->subscribe("list-sa", limit);
        if (!self) co_return r;
        if (!r) {
            m_commands->close();
            co_return r;
        }
    }
    if (!m_events->isOpen()) {
        auto r = co_await m_events->open(m_socketPath, limit);
        if (!r || !self) co_return r;
        for (const char* event : {"ike-updown", "child-updown", "ike-rekey", "child-rekey"}) {
            r = co_await m_events->subscribe(event, limit);
            if (!self) co_return r;
            if (!r) {
                m_events->close();
                co_return r;
            }
        }
        // Helpful but not needed to follow the status; older charons may not offer them.
        for (const char* event : {"ike-update", "log"}) {
            r = co_await m_events->subscribe(event, limit);
            if (!self) co_return Result<void>();
            if (!r && r.error().code != 1) {
                m_events->close();
                co_return r;
            }
        }
    }
    co_return Result<void>();
}

QCoro::Task<Result<void>> StrongSwanFacility::pushConfiguration(VpnProfile profile) {
    QPointer<StrongSwanFacility> self(this);
    const IkeV2Protocol& p = *profile.protocolConfiguration;
    auto conn = strongswan::connectionMessage(p);
    if (!conn) co_return conn.error();
    if (!m_resolver)
        co_return Error{Error::Kind::Keychain, QStringLiteral("Paylaşılan anahtar okunamadı: anahtar zinciri yok.")};
    std::optional<QByteArray> secret = co_await m_resolver(*p.sharedSecretReference);
    if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
    if (!secret || secret->isEmpty())
        co_return Error{Error::Kind::Keychain,
                        QStringLiteral("Paylaşılan anahtar anahtar zincirinde bulunamadı; profili yeniden kaydedin.")};

    auto loaded = co_await m_commands->request("load-conn", std::move(*conn), m_limits.command);
    if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
    if (!loaded) co_return loaded.error();
    if (!succeeded(loaded->response)) co_return serviceError("load-conn", loaded->response);

    vici::Section shared = strongswan::sharedSecretMessage(p, *secret);
    secret->fill('\0');
    auto keyed = co_await m_commands->request("load-shared", std::move(shared), m_limits.command);
    if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
    if (!keyed) co_return keyed.error();
    if (!succeeded(keyed->response)) co_return serviceError("load-shared", keyed->response);
    co_return Result<void>();
}

QCoro::Task<Result<void>> StrongSwanFacility::withdrawConfiguration() {
    QPointer<StrongSwanFacility> self(this);
    vici::Section conn;
    conn.set("name", strongswan::connectionName);
    auto unloaded = co_await m_commands->request("unload-conn", std::move(conn), m_limits.command);
    if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
    if (!unloaded) co_return unloaded.error();
    // Not loaded is as good as unloaded.
    if (!succeeded(unloaded->response) && !unloaded->response.text("errmsg").contains(QLatin1String("not found")))
        co_return serviceError("unload-conn", unloaded->response);

    vici::Section key;
    key.set("id", strongswan::connectionName);
    auto unkeyed = co_await m_commands->request("unload-shared", std::move(key), m_limits.command);
    if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
    if (!unkeyed) co_return unkeyed.error();
    if (!succeeded(unkeyed->response) && !unkeyed->response.text("errmsg").contains(QLatin1String("not found")))
        co_return serviceError("unload-shared", unkeyed->response);
    co_return Result<void>();
}

QCoro::Task<Result<VpnStatus>> StrongSwanFacility::queryStatus() {
    QPointer<StrongSwanFacility> self(this);
    vici::Section args;
    // Blocking on purpose: with noblock an IKE_SA busy rekeying is left out, and looks gone.
    args.set("ike", strongswan::connectionName);
    auto reply = co_await m_commands->request("list-sas", std::move(args), m_limits.command);
    if (!self) co_return vici::transportError(QStringLiteral("kapatıldı"));
    if (!reply) co_return reply.error();
    std::vector<vici::Section> sas;
    for (auto& [name, message] : reply->streamed)
        if (name == "list-sa") sas.push_back(std::move(message));
    co_return strongswan::statusFromSas(sas);
}

QCoro::Task<Result<void>> StrongSwanFacility::load() {
    QPointer<StrongSwanFacility> self(this);
    m_setAside.clear();
    std::optional<VpnProfile> stored;
    QFile file(m_profilePath);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            co_return Error{Error::Kind::Io,
                            QStringLiteral("VPN profili okunamadı: %1 (%2)").arg(m_profilePath, file.errorString())};
        const QByteArray data = file.read(strongswan::maxProfileSize + 1);
        file.close();
        auto decoded = data.size() > strongswan::maxProfileSize
            ? Result<VpnProfile>(Error{Error::Kind::Decode, QStringLiteral("VPN profili çok büyük")})
            : strongswan::decodeProfile(data);
        if (decoded) {
            stored = std::move(*decoded);
        } else {
            // Kept for inspection; the next save writes a fresh file.
            const QString aside = m_profilePath + QStringLiteral(".corrupt");
            QFile::remove(aside);
            if (QFile::rename(m_profilePath, aside)) m_setAside = aside;
            qWarning("strongswan: %s; moved to %s", qPrintable(decoded.error().message), qPrintable(aside));
        }
    }
    m_stored = stored;
    m_profile = stored.value_or(VpnProfile{});
    if (!stored) {
        setStatus(VpnStatus::invalid);
        co_return Result<void>();
    }
    if (m_status == VpnStatus::invalid) setStatus(VpnStatus::disconnected);

    auto channels = co_await ensureChannels();
    if (!self) co_return Result<void>();
    if (!channels) {
        setStatus(VpnStatus::disconnected);
        co_return Result<void>();
    }
    auto status = co_await queryStatus();
    if (!self) co_return Result<void>();
    // A start or stop under way knows better than a snapshot taken in its middle.
    if (status && m_status != VpnStatus::connecting && m_status != VpnStatus::disconnecting && m_stored)
        setStatus(*status);
    co_return Result<void>();
}

QCoro::Task<Result<void>> StrongSwanFacility::save() {
    QPointer<StrongSwanFacility> self(this);
    const VpnProfile profile = m_profile;
    if (profile.protocolConfiguration) {
        auto checked = strongswan::connectionMessage(*profile.protocolConfiguration);
        if (!checked) co_return checked.error();
    }
    if (auto written = writeProfileFile(profile); !written) co_return written;
    m_stored = profile;
    if (m_status == VpnStatus::invalid) setStatus(VpnStatus::disconnected);

    auto channels = co_await ensureChannels();
    if (!self) co_return Result<void>();
    if (!channels) co_return Result<void>(); // reaches charon on connect

    if (profile.isEnabled && profile.protocolConfiguration) co_return co_await pushConfiguration(profile);

    // Disabled: charon must not be able to start it, not even through its own tools.
    if (m_status != VpnStatus::disconnected && m_status != VpnStatus::invalid) stopTunnel();
    co_return co_await withdrawConfiguration();
}

QCoro::Task<Result<void>> StrongSwanFacility::remove() {
    QPointer<StrongSwanFacility> self(this);
    ++m_attempt;
    m_userStop = true;
    m_initiating = false;
    std::optional<Error> serviceFailure;
    auto channels = co_await ensureChannels();
    if (!self) co_return Result<void>();
    if (channels) {
        // Whatever runs under our name goes, whether or not this copy of the program started it.
        vici::Section args;
        args.set("ike", strongswan::connectionName);
        args.set("force", QByteArrayLiteral("yes"));
        args.set("timeout", QByteArray::number(qint64(m_limits.terminate.count())));
        co_await m_commands->request("terminate", std::move(args), m_limits.terminate + m_limits.command);
        if (!self) co_return Result<void>();
        auto withdrawn = co_await withdrawConfiguration();
        if (!self) co_return Result<void>();
        if (!withdrawn) serviceFailure = withdrawn.error();
    }
    if (::unlink(QFile::encodeName(m_profilePath).constData()) != 0 && errno != ENOENT)
        co_return Error{Error::Kind::Io,
                        QStringLiteral("VPN profili silinemedi: %1 (%2)")
                            .arg(m_profilePath, QString::fromLocal8Bit(strerror(errno))),
                        errno};
    m_stored.reset();
    setStatus(VpnStatus::invalid);
    if (serviceFailure) co_return *serviceFailure;
    co_return Result<void>();
}

Result<void> StrongSwanFacility::startTunnel() {
    if (!m_stored || !m_stored->protocolConfiguration)
        return Error{Error::Kind::Rejected, QStringLiteral("Kayıtlı bir VPN profili yok.")};
    if (!m_stored->isEnabled) return Error{Error::Kind::Rejected, QStringLiteral("VPN profili etkin değil.")};
    if (auto checked = strongswan::connectionMessage(*m_stored->protocolConfiguration); !checked) return checked.error();
    if (m_status == VpnStatus::connecting || m_status == VpnStatus::connected || m_status == VpnStatus::reasserting)
        return {};
    if (!canReachSocketNow())
        return Error{Error::Kind::Transport,
                     QStringLiteral("VPN hizmetine (charon) ulaşılamadı: %1 yanıt vermiyor. strongSwan çalışıyor mu?")
                         .arg(m_socketPath)};
    m_lastError.reset();
    m_recentLog.clear();
    m_userStop = false;
    m_initiating = false;
    m_retiredSas.unite(m_knownSas);
    m_knownSas.clear();
    const quint64 attempt = ++m_attempt;
    apply(TunnelEvent::StartRequested);
    runStart(attempt);
    return {};
}

QCoro::Task<> StrongSwanFacility::runStart(quint64 attempt) {
    QPointer<StrongSwanFacility> self(this);
    auto current = [&] { return self && m_attempt == attempt; };
    auto giveUp = [&](const Error& error) {
        m_lastError = error;
        apply(TunnelEvent::InitiateFailed);
    };

    auto channels = co_await ensureChannels();
    if (!current()) co_return;
    if (!channels) co_return giveUp(channels.error());
    auto pushed = co_await pushConfiguration(*m_stored);
    if (!current()) co_return;
    if (!pushed) co_return giveUp(pushed.error());

    // Its own connection: initiate holds it until the tunnel is up or has failed.
    auto* initiator = new vici::Connection(this);
    auto opened = co_await initiator->open(m_socketPath, m_limits.command);
    if (opened) opened = co_await initiator->subscribe("control-log", m_limits.command);
    if (!self) co_return;
    if (!opened || !current()) {
        initiator->deleteLater();
        if (current()) giveUp(opened.error());
        co_return;
    }
    vici::Section args;
    args.set("child", strongswan::connectionName);
    args.set("ike", strongswan::connectionName);
    args.set("timeout", QByteArray::number(qint64(m_limits.attempt.count())));
    args.set("init-limits", QByteArrayLiteral("no"));
    args.set("loglevel", QByteArrayLiteral("1"));
    m_initiating = true;
    auto reply = co_await initiator->request("initiate", std::move(args), m_limits.attempt + m_limits.command);
    if (!self) co_return;
    initiator->deleteLater();
    if (m_attempt == attempt) m_initiating = false;
    if (!current()) co_return;

    if (reply && succeeded(reply->response)) {
        // child-updown normally got here first; list-sas covers an event connection that fell behind.
        if (m_status == VpnStatus::connecting) {
            auto status = co_await queryStatus();
            if (current() && status && *status == VpnStatus::connected) apply(TunnelEvent::ChildUp);
        }
        co_return;
    }
    const Error why = reply ? strongswan::describeFailure(logMessages(reply->streamed), reply->response.text("errmsg"),
                                                          QStringLiteral("Bağlantı kurulamadı."))
                            : reply.error();
    if (m_status == VpnStatus::connecting && !m_lastError) m_lastError = why;
    apply(TunnelEvent::InitiateFailed);
    // What the failed attempt left behind (an IKE_SA without its CHILD_SA, or one still trying) goes too.
    QByteArray uniqueId;
    if (reply) {
        for (const auto& [name, message] : reply->streamed)
            if (const auto id = message.value("ikesa-uniqueid")) uniqueId = *id;
    }
    terminateLeftover(uniqueId);
}

void StrongSwanFacility::terminateLeftover(QByteArray uniqueId) {
    if (!uniqueId.isEmpty()) m_retiredSas.insert(uniqueId);
    [](QPointer<StrongSwanFacility> self, QByteArray uniqueId) -> QCoro::Task<> {
        if (!self) co_return;
        vici::Section args;
        if (uniqueId.isEmpty()) args.set("ike", strongswan::connectionName);
        else args.set("ike-id", uniqueId);
        args.set("force", QByteArrayLiteral("yes"));
        args.set("timeout", QByteArray::number(qint64(self->m_limits.terminate.count())));
        co_await self->m_commands->request("terminate", std::move(args), self->m_limits.terminate + self->m_limits.command);
    }(QPointer<StrongSwanFacility>(this), std::move(uniqueId));
}

void StrongSwanFacility::stopTunnel() {
    if (m_status == VpnStatus::disconnected || m_status == VpnStatus::invalid) return;
    m_userStop = true;
    m_initiating = false;
    const quint64 attempt = ++m_attempt;
    apply(TunnelEvent::StopRequested);
    runStop(attempt);
}

QCoro::Task<> StrongSwanFacility::runStop(quint64 attempt) {
    QPointer<StrongSwanFacility> self(this);
    auto channels = co_await ensureChannels();
    if (!self || m_attempt != attempt) co_return;
    if (channels) {
        vici::Section args;
        args.set("ike", strongswan::connectionName);
        // Graceful first; a gateway that does not confirm the delete in time is dropped anyway.
        args.set("force", QByteArrayLiteral("yes"));
        args.set("timeout", QByteArray::number(qint64(m_limits.terminate.count())));
        co_await m_commands->request("terminate", std::move(args), m_limits.terminate + m_limits.command);
        if (!self || m_attempt != attempt) co_return;
    }
    apply(TunnelEvent::TerminateDone);
}

QCoro::Task<std::optional<Error>> StrongSwanFacility::fetchLastDisconnectError() {
    // A copy on purpose: g++ 12 moves from a member named in co_return.
    std::optional<Error> copy = m_lastError;
    co_return copy;
}

void StrongSwanFacility::noteSa(const QByteArray& uniqueId) {
    if (!uniqueId.isEmpty() && !m_retiredSas.contains(uniqueId)) m_knownSas.insert(uniqueId);
}

void StrongSwanFacility::onEvent(const QByteArray& name, const vici::Section& message) {
    if (name == "log") {
        if (message.value("ikesa-name") == strongswan::connectionName) {
            const QByteArray id = message.value("ikesa-uniqueid").value_or(QByteArray());
            if (m_retiredSas.contains(id)) return;
            noteSa(id);
            m_recentLog.append(message.text("msg"));
            while (m_recentLog.size() > strongswan::recentLogLines) m_recentLog.removeFirst();
        }
        return;
    }
    const auto event = strongswan::classifyEvent(name, message);
    if (!event) return;
    const vici::Section* ike = message.section(strongswan::connectionName);
    const QByteArray id = ike->value("uniqueid").value_or(QByteArray());
    const bool down = *event == TunnelEvent::IkeDown || *event == TunnelEvent::ChildDown;
    // An SA of an earlier attempt going away late says nothing about the current one.
    if (down && m_retiredSas.contains(id) && m_status != VpnStatus::disconnecting) return;
    noteSa(id);
    if (const vici::Section* renewed = ike->section("new")) noteSa(renewed->value("uniqueid").value_or(QByteArray()));

    // charon may announce the failed IKE_SA before logging why; the initiate reply, which comes with its
    // log in order, settles an attempt of ours.
    if (down && m_status == VpnStatus::connecting && m_initiating) return;

    const VpnStatus before = m_status;
    const bool ending = down
        && (before == VpnStatus::connecting || before == VpnStatus::connected || before == VpnStatus::reasserting);
    if (ending && !m_userStop && !m_lastError)
        m_lastError = strongswan::describeFailure(m_recentLog, QString(),
                                                  before == VpnStatus::connecting ? QStringLiteral("Bağlantı kurulamadı.")
                                                                                  : QStringLiteral("VPN bağlantısı koptu."));
    apply(*event);
    if (*event == TunnelEvent::Rekeyed && m_status == VpnStatus::reasserting) confirmAfterRekey();
    // A CHILD_SA gone while its IKE_SA lives on carries nothing; do not leave the IKE_SA behind.
    if (*event == TunnelEvent::ChildDown && before != m_status && m_status == VpnStatus::disconnected)
        terminateLeftover(id);
}

QCoro::Task<> StrongSwanFacility::confirmAfterRekey() {
    QPointer<StrongSwanFacility> self(this);
    const quint64 attempt = m_attempt;
    auto status = co_await queryStatus();
    if (!self || m_attempt != attempt || m_status != VpnStatus::reasserting) co_return;
    if (!status) co_return;
    if (*status == VpnStatus::connected) apply(TunnelEvent::ChildUp);
    else if (*status == VpnStatus::disconnected) apply(TunnelEvent::ChildDown);
}

void StrongSwanFacility::onEventsLost(const QString& reason) {
    m_commands->close();
    if (m_status == VpnStatus::connecting || m_status == VpnStatus::connected || m_status == VpnStatus::reasserting) {
        if (!m_userStop && !m_lastError)
            m_lastError = Error{Error::Kind::Transport,
                                QStringLiteral("VPN hizmetiyle (charon) bağlantı kesildi: %1").arg(reason), 0,
                                QStringLiteral("SERVICE_LOST")};
    }
    apply(TunnelEvent::ServiceLost);
}
