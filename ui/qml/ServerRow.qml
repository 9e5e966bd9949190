import QtQuick
import Kestrava.Model
import QtQuick.Layouts

Rectangle {
    id: row
    required property string flag
    required property string city
    required property string detail
    required property string tier
    required property bool plus
    signal activated()
    radius: 12
    color: PopupPalette.card
    implicitHeight: content.implicitHeight + 20

    RowLayout {
        id: content
        anchors { fill: parent; margins: 10 }
        spacing: 10
        Label { text: row.flag; size: 20 }
        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            Label { text: row.city; size: 13; font.weight: Font.DemiBold; elide: Text.ElideRight; Layout.fillWidth: true }
            Label { text: row.detail; size: 11; color: PopupPalette.muted; elide: Text.ElideRight; Layout.fillWidth: true }
        }
        Label {
            objectName: "tierLabel"
            text: row.tier
            size: 10
            font.weight: Font.Bold
            color: row.plus ? PopupPalette.amber : PopupPalette.mint
        }
    }
    Clickable {
        anchors.fill: parent
        name: row.city + ", " + row.detail + ", " + row.tier
        ringRadius: row.radius
        onActivated: row.activated()
    }
}
