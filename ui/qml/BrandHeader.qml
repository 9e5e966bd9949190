import QtQuick
import Kestrava.Model
import QtQuick.Layouts

RowLayout {
    id: header
    required property PopupModel model
    spacing: 10

    Image {
        id: logo
        objectName: "logo"
        source: "image://kestrava/logo/38/10"
        sourceSize.width: 38
        sourceSize.height: 38
        Layout.preferredWidth: 38
        Layout.preferredHeight: 38
        // A missing logo leaves no gap.
        visible: status === Image.Ready
    }
    ColumnLayout {
        spacing: 1
        Label { text: "Kestrava"; size: 16; font.weight: Font.Bold }
        Label { text: header.model.domain; size: 11; color: PopupPalette.muted }
    }
    Item { Layout.fillWidth: true }
    Rectangle {
        objectName: "statusPill"
        color: PopupPalette.card
        radius: height / 2
        implicitWidth: pillRow.implicitWidth + 20
        implicitHeight: pillRow.implicitHeight + 12
        Row {
            id: pillRow
            anchors.centerIn: parent
            spacing: 6
            Rectangle {
                objectName: "statusDot"
                width: 7; height: 7; radius: 3.5
                anchors.verticalCenter: parent.verticalCenter
                color: header.model.connected ? PopupPalette.mint : PopupPalette.red
            }
            Label {
                objectName: "statusPillText"
                text: header.model.pillText
                size: 12
                font.weight: Font.DemiBold
            }
        }
    }
}
