import QtQuick
import Kestrava.Model

// A borderless single-line input with a placeholder.
TextInput {
    property string placeholder
    color: PopupPalette.ink
    font.pixelSize: 14
    selectByMouse: true
    clip: true
    verticalAlignment: TextInput.AlignVCenter
    selectionColor: Qt.rgba(0.176, 0.831, 0.655, 0.35)
    Text {
        anchors.fill: parent
        verticalAlignment: Text.AlignVCenter
        text: parent.placeholder
        color: PopupPalette.muted
        font.pixelSize: 14
        visible: parent.text.length === 0
    }
}
