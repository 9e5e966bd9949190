import QtQuick
import Kestrava.Model

// A plain button: the whole rectangle reacts to the mouse, to Space when it has the keyboard's focus,
// and to a screen reader's press. Nothing is drawn for it but a ring while it has that focus.
MouseArea {
    id: area
    property bool enabledForInput: true
    // What a screen reader calls it.
    property string name
    property real ringRadius: 8
    signal activated()
    enabled: enabledForInput
    hoverEnabled: true
    activeFocusOnTab: enabled
    cursorShape: enabled ? Qt.PointingHandCursor : Qt.ArrowCursor
    onClicked: activated()
    Keys.onSpacePressed: (event) => {
        if (!event.isAutoRepeat) area.activated()
    }
    Accessible.role: Accessible.Button
    Accessible.name: area.name
    Accessible.focusable: true
    Accessible.onPressAction: if (area.enabled) area.activated()

    Rectangle {
        anchors.fill: parent
        radius: area.ringRadius
        color: "transparent"
        border.color: PopupPalette.mint
        border.width: 2
        visible: area.activeFocus
    }
}
