#include "vpn/strongswan/updown_hook.h"

#include <QFile>
#include <QSet>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace strongswan {

namespace {

bool plainCharacter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'/' ||
           c == u'.' || c == u'_' || c == u'-';
}

} // namespace

std::optional<QString> updownHookProblem(const QString& path) {
    if (!path.startsWith(u'/')) return QStringLiteral("%1: yol / ile başlamıyor").arg(path);
    if (!std::all_of(path.begin(), path.end(), plainCharacter))
        return QStringLiteral("%1: yolda harf, rakam, . _ - ve / dışında karakter var").arg(path);
    const QStringList parts = path.split(u'/');
    // lstat from / down: a link or a folder someone else may change anywhere on the way would let them
    // swap what root runs after this check.
    QString at;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (i > 0 && (part.isEmpty() || part == u'.' || part == QLatin1String("..")))
            return QStringLiteral("%1: yol boş, . ya da .. bölüm içeriyor").arg(path);
        at = i == 0 ? QStringLiteral("/") : i == 1 ? u'/' + part : at + u'/' + part;
        const bool last = i == parts.size() - 1;
        struct stat st {};
        if (::lstat(QFile::encodeName(at).constData(), &st) != 0)
            return QStringLiteral("%1: %2").arg(at, QString::fromLocal8Bit(std::strerror(errno)));
        if (S_ISLNK(st.st_mode)) return QStringLiteral("%1 bir sembolik bağlantı").arg(at);
        if (st.st_uid != 0) return QStringLiteral("%1 root'un değil").arg(at);
        if (st.st_mode & (S_IWGRP | S_IWOTH)) return QStringLiteral("%1 başkalarınca yazılabilir").arg(at);
        if (!last && !S_ISDIR(st.st_mode)) return QStringLiteral("%1 bir klasör değil").arg(at);
        if (last && !(S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR)))
            return QStringLiteral("%1 çalıştırılabilir bir dosya değil").arg(at);
    }
    return std::nullopt;
}

QByteArray checkedUpdownHook(const QString& path) {
    const std::optional<QString> problem = updownHookProblem(path);
    if (!problem) return QFile::encodeName(path);
    // Said once per problem: every connect would repeat it.
    static QSet<QString> told;
    if (!told.contains(*problem)) {
        told.insert(*problem);
        qWarning("Kestrava: charon'a kanca betiği verilmiyor (%s); tünelin adres vermediği aile (çoğunlukla "
                 "IPv6) tünelin yanından açıkta gidebilir: sızıntı koruması kapalı.",
                 qUtf8Printable(*problem));
    }
    return {};
}

} // namespace strongswan
