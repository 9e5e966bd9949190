import QtQuick
import Kestrava.Model
import QtQuick.Layouts

Rectangle {
    Layout.fillWidth: true
    Layout.topMargin: 2
    implicitHeight: 1
    color: PopupPalette.white(0.07)
}
