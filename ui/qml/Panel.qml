import QtQuick
import Kestrava.Model

// The panel's content: the popup inset by a margin that holds its shadow. A press in the margin
// is outside the popup and closes it. Without a compositor (or in a framed window) there is no
// transparency to draw the shadow into, so there is no margin either.
Item {
    id: panel
    required property PopupModel model
    property bool shadow: true
    readonly property int margin: shadow ? 24 : 0
    readonly property Item popup: popupView
    // The tallest the card may be where it is placed (0: no limit); the server list gives way.
    property int maxCardHeight: 0
    signal outsidePressed()
    width: popupView.width + 2 * margin
    height: popupView.height + 2 * margin

    // Escape puts the popup away as a press outside it does, whichever field has the focus.
    Shortcut {
        sequence: "Escape"
        onActivated: panel.outsidePressed()
    }
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onPressed: panel.outsidePressed()
    }
    Image {
        // The shape plus twice the blur on every side, 6 down.
        objectName: "shadow"
        visible: panel.shadow
        x: panel.margin - 24
        y: panel.margin - 24 + 6
        readonly property int cardHeight: Math.max(1, Math.round(popupView.height))
        width: popupView.width + 48
        height: cardHeight + 48
        // Qt Quick asks the provider for sourceSize times the device pixel ratio.
        sourceSize.width: width
        sourceSize.height: height
        source: visible ? "image://kestrava/shadow/rect/" + popupView.width + "/" + cardHeight + "/22/12/73000000" : ""
    }
    PopupView {
        id: popupView
        objectName: "popupView"
        model: panel.model
        room: panel.maxCardHeight
        x: panel.margin
        y: panel.margin
        // The popup itself takes presses, so they never reach the outside area behind it.
        MouseArea { anchors.fill: parent; z: -1; acceptedButtons: Qt.AllButtons }
    }
}
