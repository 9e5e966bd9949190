import QtQuick
import Kestrava.Model

// One of our SVG icons, tinted. size is the symbol's point size; the box is a little larger, as
// a symbol's glyph box is.
Image {
    id: icon
    required property string name
    property color color: PopupPalette.ink
    property real size: 13
    readonly property int box: Math.round(size * 1.2)

    width: box
    height: box
    sourceSize.width: box
    sourceSize.height: box
    source: "image://kestrava/icon/" + name + "/" + String(icon.color).substring(1, 7)
    cache: true
    smooth: true
}
