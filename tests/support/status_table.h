#pragma once

#include "vpn/vpn_status.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <optional>

// A status table as a header's comment writes it: a head line "//  event \ from  disconnected ..." naming
// the columns, then one line per event with a status or "=" (keeps the status) per column. Tests read it
// cell by cell against the table's function, so that the comment cannot drift from the code.
struct StatusTableCell {
    QString event;
    VpnStatus from;
    std::optional<VpnStatus> to; // nothing for "="
};

// The cells of the first table in the file, or nothing with why in problem.
std::optional<QList<StatusTableCell>> readStatusTable(const QString& headerPath, QString* problem);

// Checks every cell of the header's table against next(from, event) and that every event has its row,
// and that nothing leaves invalid. Empty when the comment and the code agree; else the first difference.
template <class Event, class Next>
QString statusTableMismatch(const QString& headerPath, const QMap<QString, Event>& events, Next next) {
    QString problem;
    const auto cells = readStatusTable(headerPath, &problem);
    if (!cells) return problem;
    QSet<QString> rows;
    for (const StatusTableCell& c : *cells) {
        if (!events.contains(c.event)) return QStringLiteral("row for an unknown event %1").arg(c.event);
        rows.insert(c.event);
        const VpnStatus expected = c.to.value_or(c.from);
        const VpnStatus got = next(c.from, events.value(c.event));
        if (got != expected)
            return QStringLiteral("%1 from %2: the comment says %3, the code gives %4")
                .arg(c.event)
                .arg(int(c.from))
                .arg(int(expected))
                .arg(int(got));
    }
    for (auto it = events.cbegin(); it != events.cend(); ++it) {
        if (!rows.contains(it.key())) return QStringLiteral("no row for %1").arg(it.key());
        if (next(VpnStatus::invalid, it.value()) != VpnStatus::invalid)
            return QStringLiteral("%1 leaves invalid").arg(it.key());
    }
    return {};
}
