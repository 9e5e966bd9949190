#pragma once

#include "ui/popup_font.h"

#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

// The popup's seven colours (sRGB, opaque); every other colour is white at an opacity. QML knows it
// as PopupPalette: Qt Quick has a Palette type of its own.
class Palette : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(PopupPalette)
    QML_SINGLETON
    Q_PROPERTY(QColor bg READ bg CONSTANT)
    Q_PROPERTY(QColor card READ card CONSTANT)
    Q_PROPERTY(QColor mint READ mint CONSTANT)
    Q_PROPERTY(QColor red READ red CONSTANT)
    Q_PROPERTY(QColor amber READ amber CONSTANT)
    Q_PROPERTY(QColor ink READ ink CONSTANT)
    Q_PROPERTY(QColor muted READ muted CONSTANT)
    // The family every text of the popup is set in.
    Q_PROPERTY(QString fontFamily READ fontFamily CONSTANT)
public:
    using QObject::QObject;
    static QColor bg() { return QColor::fromRgbF(0.043f, 0.055f, 0.078f); }
    static QColor card() { return QColor::fromRgbF(0.086f, 0.11f, 0.153f); }
    static QColor mint() { return QColor::fromRgbF(0.176f, 0.831f, 0.655f); }
    static QColor red() { return QColor::fromRgbF(0.886f, 0.231f, 0.231f); }
    static QColor amber() { return QColor::fromRgbF(0.976f, 0.769f, 0.263f); }
    static QColor ink() { return QColor::fromRgbF(1, 1, 1); }
    static QColor muted() { return QColor::fromRgbF(0.55f, 0.6f, 0.68f); }
    static QString fontFamily() { return UiFont::family(); }
    Q_INVOKABLE static QColor white(qreal opacity) { return QColor::fromRgbF(1, 1, 1, float(opacity)); }
};
