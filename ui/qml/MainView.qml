import QtQuick
import Kestrava.Model
import QtQuick.Layouts

Item {
    id: main
    required property PopupModel model
    property bool showPicker: false
    // Nothing here that a view made anew would not show.
    readonly property bool untouched: !showPicker
    property real room: 0  // the tallest this view may be; 0: no limit

    // The list takes what room leaves of the view besides it, down to about a row. Set, not bound:
    // the view's height follows the list's, and a binding would loop through it.
    function fitList() {
        const rest = implicitHeight - picker.Layout.preferredHeight
        const cap = room > 0 ? Math.max(56, Math.floor(room - rest)) : 210
        if (cap !== picker.cap) picker.cap = cap
    }
    onRoomChanged: fitList()
    onImplicitHeightChanged: fitList()

    implicitWidth: 400
    implicitHeight: column.implicitHeight + 20 + 16

    ColumnLayout {
        id: column
        anchors { left: parent.left; right: parent.right; top: parent.top }
        anchors { leftMargin: 24; rightMargin: 24; topMargin: 20 }
        spacing: 14

        BrandHeader { model: main.model; Layout.fillWidth: true }

        Item {
            Layout.fillWidth: true
            Layout.topMargin: 4
            implicitHeight: 48
            Column {
                anchors.centerIn: parent
                width: parent.width
                spacing: 4
                Label {
                    objectName: "headline"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: main.model.headline
                    size: 24
                    font.weight: Font.ExtraBold
                    maximumLineCount: 1
                    elide: Text.ElideRight
                }
                Label {
                    objectName: "explanation"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    text: main.model.explanation
                    size: 12
                    color: PopupPalette.muted
                    maximumLineCount: 1
                    elide: Text.ElideRight
                }
            }
        }

        PowerButton {
            model: main.model
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 2
            Layout.bottomMargin: 2
        }

        Rectangle {
            objectName: "serverLine"
            Layout.fillWidth: true
            radius: 16
            color: PopupPalette.card
            implicitHeight: line.implicitHeight + 24
            RowLayout {
                id: line
                anchors { fill: parent; margins: 12 }
                spacing: 10
                Label { objectName: "serverFlag"; text: main.model.serverFlag; size: 22 }
                ColumnLayout {
                    spacing: 2
                    Layout.fillWidth: true
                    Label {
                        objectName: "serverName"
                        text: main.model.serverName
                        size: 14
                        font.weight: Font.Bold
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                    }
                    Label {
                        objectName: "serverDestination"
                        text: main.model.serverDestination
                        size: 11
                        color: PopupPalette.muted
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                    }
                }
                Icon {
                    objectName: "pickerChevron"
                    name: main.showPicker ? "chevron-up" : "chevron-right"
                    size: 13
                    color: PopupPalette.muted
                }
            }
            Clickable {
                objectName: "serverLineButton"
                name: "Sunucu seç: " + (main.model.serverName || main.model.serverDestination)
                ringRadius: 14
                anchors.fill: parent
                onActivated: main.showPicker = !main.showPicker
            }
        }

        ListView {
            id: picker
            objectName: "serverPicker"
            visible: main.showPicker
            Layout.fillWidth: true
            // At most 210 high, shorter when there is less or the screen has no room; only the visible
            // rows are made.
            property real cap: 210
            Layout.preferredHeight: visible ? Math.min(contentHeight, 210, cap) : 0
            clip: true
            spacing: 6
            boundsBehavior: Flickable.StopAtBounds
            model: main.showPicker ? main.model.servers : null
            delegate: ServerRow {
                required property string serverId
                width: ListView.view.width
                onActivated: {
                    // Closing the picker destroys this row and its context; keep what the call needs first.
                    const chosen = serverId
                    const popupModel = main.model
                    main.showPicker = false
                    popupModel.connectTo(chosen)
                }
            }
        }

        RowLayout {
            objectName: "ipRow"
            visible: !main.showPicker
            Layout.fillWidth: true
            spacing: 8
            IPCard {
                objectName: "originalCard"
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                title: main.model.upper("Orijinal IP")
                value: main.model.originalValue
                valueColor: PopupPalette.amber
                meta: main.model.originalMeta
            }
            Rectangle {
                width: 34; height: 34; radius: 17
                color: PopupPalette.card
                Icon { anchors.centerIn: parent; name: "airplane"; size: 13; color: PopupPalette.red }
            }
            IPCard {
                objectName: "exitCard"
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                title: main.model.upper("VPN çıkış IP")
                value: main.model.exitValue
                valueColor: main.model.connected ? PopupPalette.mint : PopupPalette.ink
                meta: main.model.exitMeta
            }
        }

        Label {
            objectName: "errorStrip"
            Layout.fillWidth: true
            Layout.preferredHeight: 14
            text: main.model.hasError ? main.model.errorText : " "
            size: 11
            color: PopupPalette.red
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            maximumLineCount: 1
            elide: Text.ElideRight
            opacity: main.model.hasError ? 1 : 0
        }

        RowLayout {
            Layout.topMargin: 2
            Layout.fillWidth: true
            spacing: 8
            Label {
                objectName: "accountEmail"
                text: main.model.email
                size: 11
                color: PopupPalette.muted
                elide: Text.ElideMiddle
                // A long address shrinks and elides; a short one keeps its width and the rest is space.
                // Whole pixels up: the layout rounds widths, and a fraction short elides the last letter.
                Layout.fillWidth: true
                Layout.maximumWidth: Math.ceil(implicitWidth)
                Layout.minimumWidth: 0
            }
            Rectangle {
                objectName: "planBadge"
                radius: height / 2
                color: Qt.rgba(PopupPalette.mint.r, PopupPalette.mint.g, PopupPalette.mint.b, 0.15)
                implicitWidth: badge.implicitWidth + 16
                implicitHeight: badge.implicitHeight + 6
                Label {
                    id: badge
                    anchors.centerIn: parent
                    text: main.model.planBadgeText
                    size: 10
                    font.weight: Font.Bold
                    color: PopupPalette.mint
                }
                Clickable { anchors.fill: parent; name: "Plan: " + main.model.planBadgeText; onActivated: main.model.openPlans() }
            }
            Item {
                implicitWidth: upgradeRow.implicitWidth
                implicitHeight: upgradeRow.implicitHeight
                Row {
                    id: upgradeRow
                    spacing: 3
                    Icon {
                        name: "arrow-up-circle-fill"; size: 10; color: PopupPalette.mint
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Label {
                        objectName: "upgradeText"
                        text: main.model.upgradeText
                        size: 11
                        font.weight: Font.DemiBold
                        color: PopupPalette.mint
                    }
                }
                Clickable { anchors.fill: parent; name: main.model.upgradeText; onActivated: main.model.openPlans() }
            }
            Item { Layout.fillWidth: true }
            Item {
                Layout.minimumWidth: implicitWidth
                implicitWidth: logoutRow.implicitWidth
                implicitHeight: logoutRow.implicitHeight
                Row {
                    id: logoutRow
                    spacing: 4
                    Icon {
                        name: "rectangle-portrait-and-arrow-right"; size: 10; color: PopupPalette.red
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Label { text: "Oturumu kapat"; size: 12; font.weight: Font.DemiBold; color: PopupPalette.red }
                }
                Clickable {
                    objectName: "logoutButton"
                    name: "Oturumu kapat"
                    anchors.fill: parent
                    onActivated: main.model.logout()
                }
            }
        }
        Divider {}
        QuitButton { model: main.model; Layout.fillWidth: true }
    }
}
