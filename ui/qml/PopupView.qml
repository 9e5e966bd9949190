import QtQuick
import Kestrava.Model

// Banners above the body, all inside one rounded, outlined, dark shape 400 wide.
Item {
    id: popup
    required property PopupModel model
    readonly property int cornerRadius: 22
    property int room: 0  // the tallest the card may be; 0: no limit
    // The shown view holds nothing the model does not (a list opened, something typed): made anew it
    // would look the same. Each view tells it.
    property bool untouched: true
    width: 400
    implicitWidth: 400
    implicitHeight: stack.implicitHeight
    height: implicitHeight

    Image {
        objectName: "backdrop"
        anchors.fill: parent
        source: "image://kestrava/backdrop/" + popup.width + "/" + Math.max(1, Math.round(popup.height))
        sourceSize.width: popup.width
        sourceSize.height: Math.max(1, Math.round(popup.height))
        cache: false
    }

    Column {
        id: stack
        width: parent.width
        spacing: 0
        Loader {
            id: updateSlot
            objectName: "updateBannerSlot"
            width: parent.width
            active: popup.model.hasUpdate
            visible: active
            sourceComponent: UpdateBanner { model: popup.model; topRadius: popup.cornerRadius }
        }
        Loader {
            id: noticeSlot
            objectName: "noticeBannerSlot"
            width: parent.width
            active: popup.model.hasNotice
            visible: active
            sourceComponent: NoticeBanner {
                model: popup.model
                topRadius: popup.model.hasUpdate ? 0 : popup.cornerRadius
            }
        }
        Loader {
            id: body
            objectName: "body"
            width: parent.width
            sourceComponent: popup.model.signedIn ? mainView : loginView
        }
    }
    Component {
        id: mainView
        MainView {
            model: popup.model
            room: popup.room > 0 ? popup.room - (updateSlot.active ? updateSlot.height : 0)
                                   - (noticeSlot.active ? noticeSlot.height : 0) : 0
            onUntouchedChanged: popup.untouched = untouched
            Component.onCompleted: popup.untouched = untouched
        }
    }
    Component {
        id: loginView
        LoginView {
            model: popup.model
            onUntouchedChanged: popup.untouched = untouched
            Component.onCompleted: popup.untouched = untouched
        }
    }

    Rectangle {
        anchors.fill: parent
        radius: popup.cornerRadius
        color: "transparent"
        border.color: PopupPalette.white(0.08)
        border.width: 1
    }
}
