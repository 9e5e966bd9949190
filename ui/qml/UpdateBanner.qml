import QtQuick
import Kestrava.Model
import QtQuick.Layouts

Item {
    id: banner
    required property PopupModel model
    property real topRadius: 0
    implicitHeight: row.implicitHeight + 16

    TopRoundedFill { anchors.fill: parent; color: PopupPalette.amber; radius: banner.topRadius }
    RowLayout {
        id: row
        anchors { fill: parent; leftMargin: 14; rightMargin: 14; topMargin: 8; bottomMargin: 8 }
        spacing: 8
        Icon { name: banner.model.updating ? "arrow-down-circle" : "sparkles"; size: 12; color: PopupPalette.bg }
        Label {
            objectName: "updateText"
            text: banner.model.updateText
            size: 12
            font.weight: Font.DemiBold
            color: PopupPalette.bg
        }
        Item { Layout.fillWidth: true }
    }
    Clickable {
        objectName: "updateButton"
        name: banner.model.updateText
        anchors.fill: parent
        enabledForInput: !banner.model.updating
        onActivated: banner.model.applyUpdate()
    }
}
