#include "support/status_table.h"

#include <QFile>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

std::optional<QList<StatusTableCell>> readStatusTable(const QString& headerPath, QString* problem) {
    static const QStringList names{u"invalid"_s,   u"disconnected"_s, u"connecting"_s,
                                   u"connected"_s, u"reasserting"_s,  u"disconnecting"_s};
    static_assert(int(VpnStatus::invalid) == 0 && int(VpnStatus::disconnecting) == 5);
    const auto fail = [&](const QString& why) {
        *problem = why;
        return std::nullopt;
    };
    QFile file(headerPath);
    if (!file.open(QIODevice::ReadOnly)) return fail(QStringLiteral("cannot open %1").arg(headerPath));
    QList<VpnStatus> columns;
    QList<StatusTableCell> cells;
    for (const QString& raw : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (!raw.startsWith(QLatin1String("//"))) {
            if (!columns.isEmpty()) break; // the comment, and so the table, ended
            continue;
        }
        const QStringList words = raw.mid(2).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (columns.isEmpty()) {
            if (words.size() < 3 || words.at(0) != QLatin1String("event") || words.at(1) != QLatin1String("\\")) continue;
            for (const QString& w : words.mid(3)) {
                if (!names.contains(w)) return fail(QStringLiteral("unknown column %1").arg(w));
                columns.append(VpnStatus(names.indexOf(w)));
            }
        } else if (words.isEmpty()) {
            if (!cells.isEmpty()) break; // a blank comment line closes the table
        } else if (words.size() != columns.size() + 1) {
            return fail(QStringLiteral("row has %1 cells, expected %2: %3").arg(words.size() - 1).arg(columns.size()).arg(raw));
        } else {
            for (qsizetype i = 0; i < columns.size(); ++i) {
                const QString& cell = words.at(i + 1);
                if (cell != QLatin1String("=") && !names.contains(cell)) return fail(QStringLiteral("unknown status %1 in: %2").arg(cell, raw));
                cells.append({words.at(0), columns.at(i), cell == QLatin1String("=") ? std::nullopt : std::optional(VpnStatus(names.indexOf(cell)))});
            }
        }
    }
    if (columns.isEmpty() || cells.isEmpty()) return fail(QStringLiteral("no status table in %1").arg(headerPath));
    return cells;
}
