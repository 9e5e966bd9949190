#include "support/status_table.h"

#include <QFile>
#include <QRegularExpression>

namespace {

std::optional<VpnStatus> statusNamed(const QString& name) {
    static const QList<std::pair<QString, VpnStatus>> names{
        {QStringLiteral("invalid"), VpnStatus::invalid},         {QStringLiteral("disconnected"), VpnStatus::disconnected},
        {QStringLiteral("connecting"), VpnStatus::connecting},   {QStringLiteral("connected"), VpnStatus::connected},
        {QStringLiteral("reasserting"), VpnStatus::reasserting}, {QStringLiteral("disconnecting"), VpnStatus::disconnecting},
    };
    for (const auto& [n, s] : names)
        if (n == name) return s;
    return std::nullopt;
}

} // namespace

std::optional<QList<StatusTableCell>> readStatusTable(const QString& headerPath, QString* problem) {
    QFile file(headerPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot open %1").arg(headerPath);
        return std::nullopt;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    QList<VpnStatus> columns;
    QList<StatusTableCell> cells;
    for (const QString& raw : lines) {
        if (!raw.startsWith(QLatin1String("//"))) {
            if (!columns.isEmpty()) break; // the comment, and so the table, ended
            continue;
        }
        const QStringList words = raw.mid(2).split(blanks, Qt::SkipEmptyParts);
        if (columns.isEmpty()) {
            if (words.size() < 3 || words.at(0) != QLatin1String("event") || words.at(1) != QLatin1String("\\")) continue;
            for (const QString& w : words.mid(3)) {
                const auto s = statusNamed(w);
                if (!s) {
                    *problem = QStringLiteral("unknown column %1").arg(w);
                    return std::nullopt;
                }
                columns.append(*s);
            }
            continue;
        }
        if (words.isEmpty()) {
            if (!cells.isEmpty()) break; // a blank comment line closes the table
            continue;
        }
        if (words.size() != columns.size() + 1) {
            *problem = QStringLiteral("row has %1 cells, expected %2: %3").arg(words.size() - 1).arg(columns.size()).arg(raw);
            return std::nullopt;
        }
        for (qsizetype i = 0; i < columns.size(); ++i) {
            const QString& cell = words.at(i + 1);
            std::optional<VpnStatus> to;
            if (cell != QLatin1String("=")) {
                to = statusNamed(cell);
                if (!to) {
                    *problem = QStringLiteral("unknown status %1 in: %2").arg(cell, raw);
                    return std::nullopt;
                }
            }
            cells.append({words.at(0), columns.at(i), to});
        }
    }
    if (columns.isEmpty() || cells.isEmpty()) {
        *problem = QStringLiteral("no status table in %1").arg(headerPath);
        return std::nullopt;
    }
    return cells;
}
