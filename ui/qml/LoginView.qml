import QtQuick
import Kestrava.Model
import QtQuick.Layouts

// The sign-in form. What is typed stays here until the sign-in takes it.
Item {
    id: login
    required property PopupModel model
    property string email: ""
    property string password: ""
    property bool showPassword: false
    readonly property bool untouched: email === "" && password === "" && !showPassword
    // busy is named here so the binding re-reads it: QML cannot see inside the invokable.
    readonly property bool canSubmit: !login.model.busy && login.model.loginEnabled(email, password)

    implicitWidth: 400
    implicitHeight: column.implicitHeight + 20 + 16
    // The form opens ready for typing.
    Component.onCompleted: emailField.forceActiveFocus()

    ColumnLayout {
        id: column
        anchors { left: parent.left; right: parent.right; top: parent.top }
        anchors { leftMargin: 24; rightMargin: 24; topMargin: 20 }
        spacing: 14

        BrandHeader { model: login.model; Layout.fillWidth: true }
        Label {
            objectName: "loginTitle"
            text: "Kestrava’e giriş"
            size: 26
            font.weight: Font.ExtraBold
            Layout.topMargin: 10
        }
        Label {
            text: "Bağlı · " + login.model.domain.toLowerCase()
            size: 12
            color: PopupPalette.mint
            Layout.topMargin: -8
        }
        FieldBox {
            Layout.fillWidth: true
            TextBox {
                id: emailField
                objectName: "emailField"
                anchors.fill: parent
                placeholder: "E-posta"
                inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
                onTextEdited: login.email = text
            }
        }
        FieldBox {
            Layout.fillWidth: true
            RowLayout {
                anchors.fill: parent
                TextBox {
                    id: passwordField
                    objectName: "passwordField"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    placeholder: "Şifre"
                    // One input for both forms, so switching keeps what was typed.
                    echoMode: login.showPassword ? TextInput.Normal : TextInput.Password
                    inputMethodHints: Qt.ImhSensitiveData | Qt.ImhNoPredictiveText
                    onTextEdited: login.password = text
                }
                Item {
                    implicitWidth: eye.width
                    implicitHeight: eye.height
                    Icon {
                        id: eye
                        objectName: "eyeIcon"
                        name: login.showPassword ? "eye-slash" : "eye"
                        size: 14
                        color: PopupPalette.muted
                    }
                    Clickable {
                        objectName: "eyeButton"
                        name: login.showPassword ? "Şifreyi gizle" : "Şifreyi göster"
                        anchors.fill: parent
                        anchors.margins: -6
                        onActivated: login.showPassword = !login.showPassword
                    }
                }
            }
        }
        Label {
            objectName: "loginError"
            visible: login.model.hasError
            text: login.model.errorText
            size: 12
            color: PopupPalette.red
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Rectangle {
            objectName: "loginButton"
            readonly property bool enabledForInput: login.canSubmit
            Layout.fillWidth: true
            implicitHeight: 46
            radius: 23
            color: PopupPalette.mint
            opacity: enabledForInput ? 1.0 : 0.55
            Label {
                objectName: "loginButtonText"
                anchors.centerIn: parent
                text: login.model.loginButtonText
                size: 15
                font.weight: Font.Bold
                color: PopupPalette.bg
            }
            Clickable {
                objectName: "loginButtonArea"
                name: login.model.loginButtonText
                ringRadius: 23
                anchors.fill: parent
                enabledForInput: parent.enabledForInput
                onActivated: login.model.login(login.email, login.password)
            }
        }
        RowLayout {
            Layout.topMargin: 2
            Layout.fillWidth: true
            Label {
                text: "Şifremi unuttum"
                size: 12
                color: PopupPalette.mint
                Clickable { anchors.fill: parent; name: parent.text; onActivated: login.model.openForgotPassword() }
            }
            Item { Layout.fillWidth: true }
            Label {
                text: "Hesabın yok mu? Kayıt ol"
                size: 12
                color: PopupPalette.muted
                Clickable { anchors.fill: parent; name: parent.text; onActivated: login.model.openRegister() }
            }
        }
        Divider {}
        QuitButton { model: login.model; Layout.fillWidth: true }
    }
}
