import QtQuick 2.15
import QtQuick.Window 2.15
import QtQuick.Controls 2.15
import "controls" as Styled
import "js/font-awesome.js" as FontAwesome

Window {
    id: mainWindow
    visible: true
    flags: Qt.Window | Qt.FramelessWindowHint
    title: Qt.application.name + " v" + Qt.application.version
    width: 550
    height: 720
    minimumWidth: 550
    maximumWidth: 550
    minimumHeight: 720
    maximumHeight: 720
    color: "#FFFFFF"

    readonly property var device: firmwareManage.currentDevice
    // Back and the language box stay usable unless an adapter is being
    // worked on.
    readonly property bool deviceWorking: device !== null && device !== undefined
                                          && (device.busying || firmwareManage.busying)

    function escapeText(text) {
        return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
    }

    // One tool tip shows every message; a new one replaces the one shown.
    function showMessage(text, colour, timeoutMs) {
        messageTip.close()
        messageTip.plainText = text
        messageTip.colour = colour
        messageTip.text = "<font color=\"" + colour + "\">" + escapeText(text) + "</font>"
        messageTip.timeout = timeoutMs
        messageTip.open()
    }

    // The window is dragged by any free area.
    MouseArea {
        anchors.fill: parent
        onPressed: mainWindow.startSystemMove()
    }

    Rectangle {
        id: header
        width: parent.width
        height: stack.depth > 1 ? 242 : 128
        radius: 18
        gradient: headerGradient
        // Squares off the upper corners.
        Rectangle {
            width: parent.width
            height: 36
            gradient: headerGradient
        }
        Gradient {
            id: headerGradient
            orientation: Gradient.Horizontal
            GradientStop { position: 0.0; color: "#2dbdff" }
            GradientStop { position: 1.0; color: "#0093d5" }
        }
        Behavior on height { NumberAnimation { duration: 150 } }
    }

    StackView {
        id: stack
        anchors.fill: parent
        anchors.leftMargin: 36
        anchors.rightMargin: 36
        anchors.bottomMargin: footer.height
        initialItem: "qrc:/GuideStart.qml"
    }

    RoundButton {
        id: closeButton
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.margins: 12
        width: 36
        height: 36
        flat: true
        focusPolicy: Qt.StrongFocus
        Accessible.name: "Close"
        onClicked: firmwareManage.close()
        Keys.onReturnPressed: clicked()
        contentItem: Image {
            source: "qrc:/images/close.png"
            fillMode: Image.PreserveAspectFit
            opacity: closeButton.pressed ? 0.5 : 1.0
        }
        background: Rectangle {
            radius: width / 2
            color: "transparent"
            border.width: closeButton.visualFocus ? 2 : 0
            border.color: "#FFFFFF"
        }
    }

    RoundButton {
        id: administrationButton
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.margins: 12
        width: 36
        height: 36
        visible: typeof administrationVisible !== "undefined" && administrationVisible
        Accessible.name: "Administration"
        font.family: FontAwesome.fontFamily
        font.pointSize: 14
        text: FontAwesome.icons.user_plus
        onClicked: stack.push("qrc:/FirmwareManage.qml")
    }

    Connections {
        target: firmwareManage
        function onCurrentDeviceIndexChanged(index) {
            console.log("onCurrentDeviceIndexChanged", index)
            if (index === 0) {
                if (stack.depth > 1)
                    stack.pop()
            } else if (stack.depth > 1 && stack.currentItem
                       && stack.currentItem.objectName === "firmwareUpgrader") {
                // Another adapter replaced the shown one: one upgrader page.
                stack.replace("qrc:/FirmwareUpgrader.qml")
            } else {
                stack.push("qrc:/FirmwareUpgrader.qml")
            }
        }
        function onMessageInfo(info, timeout) { mainWindow.showMessage(info, "#28a7e1", timeout) }
        function onMessageError(error, timeout) { mainWindow.showMessage(error, "#ff0000", timeout) }
    }

    Connections {
        target: mainWindow.device
        ignoreUnknownSignals: true
        function onError(error) { mainWindow.showMessage(error, "#ff0000", 3000) }
        function onMessage(message) { mainWindow.showMessage(message, "#28a7e1", 1000) }
    }

    Connections {
        target: global
        function onShowMessage(msg) {
            mainWindow.showMessage(msg, "#FF0000", 3000)
            // Toggling stays-on-top brings the window to the front.
            mainWindow.flags = Qt.Window | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
            mainWindow.flags = Qt.Window | Qt.FramelessWindowHint
        }
    }

    ToolTip {
        id: messageTip
        property string plainText
        property string colour
        parent: Overlay.overlay
        x: (mainWindow.width - width) / 2
        y: mainWindow.height - footer.height - height - 12
        contentItem: Text {
            text: messageTip.text
            textFormat: Text.RichText
            wrapMode: Text.Wrap
            font.pointSize: 11
            Accessible.role: Accessible.ToolTip
            Accessible.name: messageTip.plainText
            Accessible.description: messageTip.colour
        }
        background: Rectangle {
            color: "#FFFFFF"
            border.color: "#d9d9d9"
            radius: 6
        }
    }

    Rectangle {
        id: footer
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: 58
        color: "#F5F5F5"
        enabled: !mainWindow.deviceWorking

        MouseArea {
            anchors.fill: parent
            onPressed: mainWindow.startSystemMove()
        }

        Text {
            anchors.centerIn: parent
            text: Qt.application.name + " " + Qt.application.version
            color: "#666666"
            font.pointSize: 9
        }

        Button {
            id: backButton
            anchors.left: parent.left
            anchors.leftMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            visible: stack.depth > 1
            flat: true
            focusPolicy: Qt.StrongFocus
            Accessible.name: qsTr("Back")
            Keys.onReturnPressed: if (enabled) clicked()
            Keys.onEnterPressed: if (enabled) clicked()
            contentItem: Row {
                spacing: 6
                Text {
                    text: FontAwesome.icons.chevron_left
                    font.family: FontAwesome.fontFamily
                    font.pointSize: 14
                    color: backButton.pressed ? "#28a7e1" : "#666666"
                    anchors.verticalCenter: parent.verticalCenter
                }
                Text {
                    text: qsTr("Back")
                    font.pointSize: 14
                    font.bold: backButton.hovered || backButton.visualFocus
                    color: backButton.pressed ? "#28a7e1" : "#666666"
                    anchors.verticalCenter: parent.verticalCenter
                }
            }
            background: Item {}
            onClicked: {
                if (firmwareManage.currentDeviceIndex === 0)
                    stack.pop()
                else
                    firmwareManage.disconectCurrentDevice()
            }
        }

        Styled.ComboBox {
            id: languageBox
            anchors.right: parent.right
            anchors.rightMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            width: 130
            model: [qsTr("English"), qsTr("Chinese"), qsTr("Japanese"), qsTr("Russian"),
                qsTr("French")]
            currentIndex: firmwareManage.currentLanguage
            readonly property bool inverted: pressed || popup.visible
            color: inverted ? "#FFFFFF" : "#28a7e1"
            backgroundColor: inverted ? "#28a7e1" : "#FFFFFF"
            onActivated: firmwareManage.setCurrentLanguage(index)
        }
    }
}
