import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Universal 2.15
import "controls" as Styled
import "js/font-awesome.js" as FontAwesome

// The connected adapter: its state on the header, and what can be done.
Item {
    id: upgrader
    objectName: "firmwareUpgrader"

    readonly property var device: firmwareManage.currentDevice
    readonly property bool hasDevice: device !== null && device !== undefined
    readonly property bool isT5: firmwareManage.currentDeviceIndex === 1
    // Nothing acts on a missing, disconnected or busy adapter. A T5 is
    // connected before its state has been read, and the update decides from
    // its version whether the adapter's data survive; the serial number is
    // the last thing read (an adapter without firmware has a serial number
    // but no version), so until it is shown there is nothing to decide with.
    readonly property bool stateRead: hasDevice && (!isT5 || device.serialNumber !== "")
    readonly property bool canAct: hasDevice && device.connected && !device.busying
                                   && !firmwareManage.busying && stateRead
    // An assistive technology can toggle the source buttons even while they
    // are disabled: such a change is undone instead of reaching the
    // controller in the middle of an operation.
    // Looked at once the button group has settled.
    function sourceToggled() { Qt.callLater(upgrader.applySource) }
    function applySource() {
        if (!canAct || otaButton.checked === localButton.checked) {
            localButton.checked = firmwareManage.isLocalFirmware
            otaButton.checked = !firmwareManage.isLocalFirmware
            return
        }
        firmwareManage.set_isLocalFirmware(localButton.checked)
    }

    readonly property string targetVersion: firmwareManage.isLocalFirmware
                                            ? firmwareManage.localFirmwareVersion
                                            : versionBox.currentText

    Column {
        id: deviceState
        anchors.top: parent.top
        anchors.topMargin: 18
        anchors.horizontalCenter: parent.horizontalCenter
        height: 260
        spacing: 8

        Text {
            id: serialLine
            anchors.horizontalCenter: parent.horizontalCenter
            visible: upgrader.hasDevice && upgrader.device.serialNumber !== ""
            text: qsTr("SN: ") + (upgrader.hasDevice ? upgrader.device.serialNumber : "")
            color: "#FFFFFF"
            opacity: 0.5
            font.pointSize: 14
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        ProgressBar {
            id: progressBar
            anchors.horizontalCenter: parent.horizontalCenter
            width: 320
            visible: upgrader.hasDevice && upgrader.device.progress > 0
            value: upgrader.hasDevice ? upgrader.device.progress : 0
            Accessible.name: "Progress"
            Accessible.description: Math.round(value * 100) + "%"
            background: Rectangle {
                implicitHeight: 6
                radius: 3
                color: "#FFFFFF"
                opacity: 0.35
            }
            contentItem: Item {
                implicitHeight: 6
                Rectangle {
                    width: progressBar.visualPosition * parent.width
                    height: parent.height
                    radius: 3
                    color: "#FFFFFF"
                }
            }
        }

        Item {
            width: 320
            height: 136
            anchors.horizontalCenter: parent.horizontalCenter
            Image {
                anchors.fill: parent
                source: upgrader.hasDevice ? upgrader.device.image : ""
                fillMode: Image.PreserveAspectFit
            }
            BusyIndicator {
                anchors.centerIn: parent
                width: 58
                height: 58
                running: upgrader.hasDevice && upgrader.device.busying
                Universal.accent: "#FFFFFF"
            }
            RoundButton {
                id: lostWarning
                x: parent.width / 2 + 24 - width / 2
                y: parent.height / 2 - 46 - height / 2
                width: 28
                height: 28
                visible: serialLine.visible && upgrader.device.version === ""
                hoverEnabled: true
                font.family: FontAwesome.fontFamily
                text: FontAwesome.icons.warning
                Accessible.name: qsTr("Firmware lost")
                ToolTip.visible: hovered
                ToolTip.text: qsTr("Firmware lost")
                contentItem: Text {
                    text: lostWarning.text
                    font: lostWarning.font
                    color: "#FFFFFF"
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                background: Rectangle { radius: width / 2; color: "#ff0000" }
            }
        }

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: serialLine.visible
            spacing: 36
            Text {
                text: upgrader.hasDevice ? upgrader.device.version : ""
                color: "#FFFFFF"
                font.pointSize: 16
                Accessible.role: Accessible.StaticText
                Accessible.name: "Installed version"
                Accessible.description: text
            }
            Image {
                source: "qrc:/images/arrow.png"
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                text: upgrader.targetVersion
                color: "#FFFFFF"
                font.pointSize: 16
                Accessible.role: Accessible.StaticText
                Accessible.name: "Target version"
                Accessible.description: text
            }
        }
    }

    Column {
        id: settings
        anchors.top: deviceState.bottom
        anchors.topMargin: 24
        anchors.horizontalCenter: parent.horizontalCenter
        width: parent.width - 36
        spacing: 16
        enabled: upgrader.canAct

        Row {
            spacing: 16
            ButtonGroup { id: sources; exclusive: true }
            Styled.Button {
                id: otaButton
                width: 106
                height: 39
                text: qsTr("OTA").toUpperCase()
                font.pointSize: 14
                checkable: true
                checked: true
                ButtonGroup.group: sources
                backgroundColor: pressed ? "#0886bf" : checked ? "#28a7e1" : "#e1e1e1"
                onCheckedChanged: upgrader.sourceToggled()
            }
            Styled.Button {
                id: localButton
                width: 106
                height: 39
                text: qsTr("LOCAL")
                font.pointSize: 14
                checkable: true
                ButtonGroup.group: sources
                backgroundColor: pressed ? "#0886bf" : checked ? "#28a7e1" : "#e1e1e1"
                onCheckedChanged: upgrader.sourceToggled()
            }
        }

        Rectangle {
            width: parent.width
            height: 44
            radius: 10
            border.color: "#ebebeb"
            visible: !firmwareManage.isLocalFirmware
            Row {
                anchors.fill: parent
                anchors.leftMargin: 12
                spacing: 12
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTr("New Version")
                    color: "#666666"
                    font.pointSize: 12
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                Rectangle {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 1
                    height: 26
                    color: "#d9d9d9"
                }
                Styled.ComboBox {
                    id: versionBox
                    anchors.verticalCenter: parent.verticalCenter
                    width: 200
                    model: firmwareManage.firmwareInformation
                    textRole: "version"
                    currentIndex: firmwareManage.firmwareIndex
                    onActivated: firmwareManage.set_firmwareIndex(index)
                    hoverEnabled: true
                    ToolTip.visible: hovered && firmwareManage.currentfirmwareInfo !== ""
                    ToolTip.text: firmwareManage.currentfirmwareInfo
                }
            }
        }

        Rectangle {
            width: parent.width
            height: 44
            radius: 10
            border.color: "#ebebeb"
            visible: firmwareManage.isLocalFirmware
            Row {
                anchors.fill: parent
                anchors.leftMargin: 12
                spacing: 12
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTr("New Version")
                    color: "#666666"
                    font.pointSize: 12
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: firmwareManage.localFirmwareVersion
                    color: "#666666"
                    font.pointSize: 16
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }
            Button {
                id: openButton
                anchors.left: parent.right
                anchors.leftMargin: 4
                anchors.verticalCenter: parent.verticalCenter
                flat: true
                hoverEnabled: true
                focusPolicy: Qt.StrongFocus
                Accessible.name: "Open firmware file"
                Keys.onReturnPressed: clicked()
                contentItem: Text {
                    text: FontAwesome.icons.folder_open
                    font.family: FontAwesome.fontFamily
                    font.pointSize: 18
                    color: "#54b761"
                }
                background: Item {}
                ToolTip.visible: hovered && firmwareManage.localFirmwarePath !== ""
                ToolTip.text: firmwareManage.localFirmwarePath
                onClicked: firmwareManage.openLocalFirmware()
            }
        }

        Row {
            visible: upgrader.isT5
            spacing: 12
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Boot Mode")
                color: "#666666"
                font.pointSize: 12
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
            Styled.ComboBox {
                width: 200
                model: ["Auto", "PS4(PC)", "XB360(PC)", "SWITCH", "PS5(M7)", "PS5(Q8LINK)"]
                currentIndex: upgrader.hasDevice ? upgrader.device.bootMode : 0
                onActivated: upgrader.device.setBootMode(index)
            }
        }
    }

    Column {
        id: actions
        anchors.top: settings.bottom
        anchors.topMargin: 16
        anchors.horizontalCenter: parent.horizontalCenter
        width: parent.width - 36
        spacing: 16
        enabled: upgrader.canAct

        Styled.Button {
            width: parent.width
            text: qsTr("Update Firmware")
            font.pointSize: 16
            backgroundColor: pressed ? "#177423" : "#54b761"
            onClicked: {
                if (!upgrader.isT5) {
                    firmwareManage.updateFirmware()
                } else if (upgrader.device.isCompatibleVersion(upgrader.device.version,
                                                               upgrader.targetVersion)) {
                    firmwareManage.updateFirmware()
                } else {
                    eraseDialog.updateMode = true
                    eraseDialog.open()
                }
            }
        }

        Styled.Button {
            width: parent.width
            visible: upgrader.isT5
            text: qsTr("Restore Default")
            font.pointSize: 16
            backgroundColor: pressed ? "#0886bf" : "#28a7e1"
            onClicked: {
                eraseDialog.updateMode = false
                eraseDialog.open()
            }
        }

        Row {
            visible: upgrader.isT5
            spacing: 16
            Styled.Button {
                id: backupButton
                width: actions.width / 2 - 8
                height: 42
                hoverEnabled: true
                text: qsTr("Data Backup")
                font.pointSize: firmwareManage.currentLanguage === 3 ? 10 : 12
                textColor: pressed ? "#FFFFFF" : "#666666"
                backgroundColor: pressed ? "#28a7e1" : "#e5f7ff"
                borderColor: hovered ? "#28a7e1" : "transparent"
                onClicked: firmwareManage.dataBackup()
            }
            Styled.Button {
                width: actions.width / 2 - 8
                height: 42
                hoverEnabled: true
                text: qsTr("Data Restore")
                font.pointSize: firmwareManage.currentLanguage === 3 ? 10 : 12
                textColor: pressed ? "#FFFFFF" : "#666666"
                backgroundColor: pressed ? "#54b761" : "#e1f1e3"
                borderColor: hovered ? "#54b761" : "transparent"
                onClicked: firmwareManage.dataRestore()
            }
        }
    }

    Popup {
        id: eraseDialog
        property bool updateMode: true
        parent: Overlay.overlay
        x: (parent.width - width) / 2
        y: (parent.height - height) / 2
        width: 480
        height: 128
        modal: true
        closePolicy: Popup.NoAutoClose
        background: Rectangle { radius: 10; color: "#FFFFFF" }

        RoundButton {
            id: dialogClose
            anchors.top: parent.top
            anchors.right: parent.right
            width: 24
            height: 24
            Accessible.name: "Close"
            text: "\u00d7"
            onClicked: eraseDialog.close()
            contentItem: Text {
                text: dialogClose.text
                color: "#FFFFFF"
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }
            background: Rectangle { radius: width / 2; color: "#28a7e1" }
        }
        Text {
            anchors.top: parent.top
            anchors.topMargin: 8
            anchors.horizontalCenter: parent.horizontalCenter
            width: parent.width - 48
            text: qsTr("The data will be erased and then restore default!")
            color: "#666666"
            font.pointSize: 15
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
        Row {
            anchors.bottom: parent.bottom
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 24
            Styled.Button {
                width: 180
                height: 32
                text: eraseDialog.updateMode ? qsTr("Update") : qsTr("Cancel")
                backgroundColor: pressed ? "#177423" : "#54b761"
                onClicked: {
                    if (firmwareManage.busying)
                        return
                    eraseDialog.close()
                    if (eraseDialog.updateMode)
                        firmwareManage.updateFirmware()
                }
            }
            Styled.Button {
                width: 180
                height: 32
                text: eraseDialog.updateMode ? qsTr("Erased&&Update") : qsTr("Ok")
                backgroundColor: pressed ? "#0886bf" : "#28a7e1"
                onClicked: {
                    firmwareManage.restoreFirmware()
                    eraseDialog.close()
                }
            }
        }
    }
}
