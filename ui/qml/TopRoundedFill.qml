import QtQuick

// A fill whose top corners follow the popup's rounded outline when it is the first strip. One
// rounded shape, its lower corners cut off by the clip, so the side edges are drawn alike from top
// to foot (a square piece below the curve left a dark step where the two met).
Item {
    property color color
    property real radius: 0
    clip: radius > 0
    Rectangle {
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: parent.height + parent.radius
        color: parent.color
        radius: parent.radius
    }
}
