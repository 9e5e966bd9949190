import QtQuick
import Kestrava.Model

// The bordered box around one text input.
Item {
    default property alias content: holder.data
    implicitHeight: 44
    Rectangle {
        anchors.fill: parent
        radius: 14
        color: PopupPalette.card
        border.color: PopupPalette.white(0.07)
        border.width: 1
    }
    Item {
        id: holder
        anchors.fill: parent
        anchors.leftMargin: 14
        anchors.rightMargin: 14
    }
}
