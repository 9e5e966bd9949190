import QtQuick
import Kestrava.Model

// An indeterminate progress spinner: twelve spokes fading around the circle.
Item {
    id: spinner
    property color color: PopupPalette.bg
    property real diameter: 32
    width: diameter
    height: diameter
    Repeater {
        model: 12
        Rectangle {
            id: spoke
            required property int index
            x: spinner.width / 2 - width / 2
            y: 0
            width: spinner.diameter * 0.09
            height: spinner.diameter * 0.28
            radius: width / 2
            color: spinner.color
            opacity: 0.15 + 0.85 * index / 11
            transform: Rotation {
                origin.x: spoke.width / 2
                origin.y: spinner.height / 2
                angle: spoke.index * 30
            }
        }
    }
    RotationAnimator on rotation {
        from: 0; to: 360; duration: 1000
        loops: Animation.Infinite
        running: spinner.visible
    }
}
