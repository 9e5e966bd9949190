import QtQuick
import Kestrava.Model
import QtQuick.Layouts

Rectangle {
    id: card
    required property string title
    required property string value
    required property color valueColor
    required property string meta
    radius: 14
    color: PopupPalette.card
    implicitHeight: column.implicitHeight + 24
    implicitWidth: 120

    ColumnLayout {
        id: column
        anchors { fill: parent; margins: 12 }
        spacing: 3
        Label {
            objectName: "cardTitle"
            text: card.title
            size: 10
            font.weight: Font.DemiBold
            color: PopupPalette.muted
        }
        Label {
            objectName: "cardValue"
            text: card.value
            Layout.fillWidth: true
            size: 14
            font.weight: Font.Bold
            color: card.valueColor
            // Shrink to 65 % before eliding.
            fontSizeMode: Text.HorizontalFit
            minimumPixelSize: Math.ceil(14 * 0.65)
            elide: Text.ElideRight
            maximumLineCount: 1
        }
        Label {
            objectName: "cardMeta"
            text: card.meta
            size: 10
            color: PopupPalette.muted
        }
    }
}
