import QtQuick
import Kestrava.Model

// The panel's content: the popup inset by a margin that holds its shadow. A press in the margin
// is outside the popup and closes it.
Item {
    id: panel
    required property PopupModel model
    readonly property int margin: 24
    readonly property Item popup: popupView
    signal outsidePressed()
    width: popupView.width + 2 * margin
    height: popupView.height + 2 * margin

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onPressed: panel.outsidePressed()
    }
    Image {
        x: panel.margin - 24
        y: panel.margin - 24 + 6
        source: "image://kestrava/shadow/rect/" + popupView.width + "/" + Math.max(1, Math.round(popupView.height))
                + "/22/12/73000000"
    }
    PopupView {
        id: popupView
        objectName: "popupView"
        model: panel.model
        x: panel.margin
        y: panel.margin
        // The popup itself takes presses, so they never reach the outside area behind it.
        MouseArea { anchors.fill: parent; z: -1; acceptedButtons: Qt.AllButtons }
    }
}
