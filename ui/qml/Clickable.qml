import QtQuick

// A plain button: the whole rectangle reacts, nothing is drawn for it.
MouseArea {
    property bool enabledForInput: true
    signal activated()
    enabled: enabledForInput
    hoverEnabled: true
    cursorShape: enabled ? Qt.PointingHandCursor : Qt.ArrowCursor
    onClicked: activated()
}
