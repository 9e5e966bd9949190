import QtQuick
import Kestrava.Model

Item {
    id: quit
    required property PopupModel model
    readonly property bool hovering: area.containsMouse
    implicitHeight: row.implicitHeight + 12
    Row {
        id: row
        anchors.centerIn: parent
        spacing: 6
        Icon {
            name: "power"; size: 10
            color: quit.hovering ? PopupPalette.ink : PopupPalette.muted
            anchors.verticalCenter: parent.verticalCenter
        }
        Label {
            objectName: "quitText"
            text: "Kestrava’yı Kapat"
            size: 11
            font.weight: Font.Medium
            color: quit.hovering ? PopupPalette.ink : PopupPalette.muted
        }
    }
    Clickable {
        id: area
        objectName: "quitButton"
        name: "Kestrava’yı Kapat"
        anchors.fill: parent
        onActivated: quit.model.quit()
    }
}
