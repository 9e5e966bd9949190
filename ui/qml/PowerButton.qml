import QtQuick
import Kestrava.Model

Item {
    id: power
    required property PopupModel model
    readonly property color accent: model.connected ? PopupPalette.mint : PopupPalette.red
    readonly property bool enabledForInput: model.powerEnabled
    implicitWidth: 150
    implicitHeight: 150

    Rectangle {  // halo
        anchors.centerIn: parent
        width: 150; height: 150; radius: 75
        color: Qt.rgba(power.accent.r, power.accent.g, power.accent.b, 0.14)
    }
    Rectangle {  // ring
        anchors.centerIn: parent
        width: 128; height: 128; radius: 64
        color: "transparent"
        border.width: 2
        border.color: Qt.rgba(power.accent.r, power.accent.g, power.accent.b, 0.45)
    }
    Image {  // the core's shadow: blur 18, 8 down, in the accent at 0.45
        anchors.centerIn: parent
        anchors.verticalCenterOffset: 8
        width: 110 + 4 * 18
        height: width
        sourceSize.width: width
        sourceSize.height: height
        source: "image://kestrava/shadow/circle/110/18/73" + String(power.accent).substring(1, 7)
    }
    Rectangle {
        objectName: "powerCore"
        anchors.centerIn: parent
        width: 110; height: 110; radius: 55
        color: power.accent
    }
    Spinner {
        anchors.centerIn: parent
        visible: power.model.connecting
        diameter: 32
        color: PopupPalette.bg
    }
    Icon {
        anchors.centerIn: parent
        visible: !power.model.connecting
        name: "power"
        size: 36
        color: PopupPalette.bg
    }
    Clickable {
        objectName: "powerButton"
        name: power.model.connected || power.model.connecting ? "Bağlantıyı kes" : "Bağlan"
        ringRadius: 75
        anchors.centerIn: parent
        width: 150; height: 150
        enabledForInput: power.enabledForInput
        onActivated: power.model.toggle()
    }
}
