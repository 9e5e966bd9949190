import QtQuick
import Kestrava.Model
import QtQuick.Layouts

Item {
    id: banner
    required property PopupModel model
    property real topRadius: 0
    implicitHeight: row.implicitHeight + 20

    TopRoundedFill { anchors.fill: parent; color: PopupPalette.card; radius: banner.topRadius }
    Rectangle {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        height: 1
        color: Qt.rgba(PopupPalette.mint.r, PopupPalette.mint.g, PopupPalette.mint.b, 0.35)
    }
    RowLayout {
        id: row
        anchors { left: parent.left; right: parent.right; top: parent.top }
        anchors { leftMargin: 14; rightMargin: 14; topMargin: 10 }
        spacing: 10
        Icon {
            name: "megaphone-fill"; size: 12; color: PopupPalette.mint
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 2
        }
        ColumnLayout {
            spacing: 3
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignTop
            Label {
                objectName: "noticeTitle"
                text: banner.model.noticeTitle
                size: 12
                font.weight: Font.Bold
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            Label {
                objectName: "noticeBody"
                text: banner.model.noticeBody
                size: 11
                color: PopupPalette.muted
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            Label {
                objectName: "noticeCta"
                visible: banner.model.noticeHasLink
                text: banner.model.noticeCallToAction
                size: 11
                font.weight: Font.Bold
                color: PopupPalette.mint
                Clickable {
                    objectName: "noticeCtaButton"
                    name: banner.model.noticeCallToAction
                    anchors.fill: parent
                    enabledForInput: parent.visible
                    onActivated: banner.model.openNotice()
                }
            }
        }
        Item {
            Layout.alignment: Qt.AlignTop
            implicitWidth: close.width
            implicitHeight: close.height
            Icon { id: close; name: "xmark"; size: 10; color: PopupPalette.muted }
            Clickable {
                objectName: "noticeClose"
                name: "Duyuruyu kapat"
                anchors.fill: parent
                anchors.margins: -6
                onActivated: banner.model.dismissNotice()
            }
        }
    }
}
