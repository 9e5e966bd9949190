#pragma once

#include <QList>
#include <QString>

// The family the popup writes in. Its type scale names five weights (regular, medium, semibold, bold,
// extra bold); a family that lacks them draws several as one, and its wider bold elides ordinary text.
namespace UiFont {

// The weights (400, 500, 600, 700, 800) that family has as faces of its own, from the font database.
QList<int> weightsOf(const QString& family);
bool hasAllWeights(const QString& family);
// The desktop's own UI family when it has every weight, else the family the program depends on
// (Inter) when installed, else the desktop's: never a family that is not there.
QString choose(const QString& desktopFamily);
// The choice for this process, made once.
QString family();

} // namespace UiFont
