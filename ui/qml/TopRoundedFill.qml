import QtQuick

// A fill whose top corners follow the popup's rounded outline when it is the first strip.
Item {
    property color color
    property real radius: 0
    Rectangle { anchors.fill: parent; color: parent.color; radius: parent.radius }
    Rectangle {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        height: parent.height - parent.radius
        color: parent.color
    }
}
