import QtQuick
import Kestrava.Model

// A borderless single-line input with a placeholder, which is also its name for a screen reader.
TextInput {
    property string placeholder
    color: PopupPalette.ink
    font.family: PopupPalette.fontFamily
    font.pixelSize: 14
    selectByMouse: true
    clip: true
    activeFocusOnTab: true
    verticalAlignment: TextInput.AlignVCenter
    selectionColor: Qt.rgba(0.176, 0.831, 0.655, 0.35)
    Accessible.role: Accessible.EditableText
    Accessible.name: placeholder
    Text {
        anchors.fill: parent
        verticalAlignment: Text.AlignVCenter
        text: parent.placeholder
        color: PopupPalette.muted
        font.family: PopupPalette.fontFamily
        font.pixelSize: 14
        visible: parent.text.length === 0
        Accessible.ignored: true
    }
}
