import QtQuick
import Kestrava.Model

// Text in the popup's type scale: size in points, weights named as in the design.
Text {
    property real size: 12
    color: PopupPalette.ink
    font.family: PopupPalette.fontFamily
    font.pixelSize: size
    textFormat: Text.PlainText
    renderType: Text.QtRendering
}
