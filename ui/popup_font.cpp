#include "ui/popup_font.h"

#include <QFontDatabase>
#include <QGuiApplication>

#include <algorithm>

#include <array>

namespace UiFont {

namespace {
constexpr std::array<int, 5> needed{400, 500, 600, 700, 800};
const QString shipped = QStringLiteral("Inter");
} // namespace

QList<int> weightsOf(const QString& family) {
    QList<int> out;
    if (family.isEmpty() || !QFontDatabase::hasFamily(family)) return out;
    for (const QString& style : QFontDatabase::styles(family)) {
        if (QFontDatabase::italic(family, style)) continue;
        const int w = QFontDatabase::weight(family, style);
        if (w > 0 && !out.contains(w)) out.append(w);
    }
    // A scalable family made synthetic weights look real to the database; only faces count.
    std::sort(out.begin(), out.end());
    return out;
}

bool hasAllWeights(const QString& family) {
    const QList<int> have = weightsOf(family);
    return std::all_of(needed.begin(), needed.end(), [&](int w) { return have.contains(w); });
}

QString choose(const QString& desktopFamily) {
    if (hasAllWeights(desktopFamily)) return desktopFamily;
    if (QFontDatabase::hasFamily(shipped)) return shipped;
    return desktopFamily;
}

QString family() {
    static const QString chosen = choose(QGuiApplication::font().family());
    return chosen;
}

} // namespace UiFont
