import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQml.Models 2.15
import "controls" as Styled
import "js/font-awesome.js" as FontAwesome

// Publishing: every catalogue entry by model, with upload, edit, removal
// and reordering. Reached only through the hidden administration button.
Item {
    id: publishing
    objectName: "firmwarePublishing"
    readonly property var modelKeys: ["T5", "M7", "K3"]

    function rebuild() {
        entries.clear()
        var catalogue = firmwareManage.allFirmwareInformation
        for (var m = 0; m < modelKeys.length; ++m) {
            var list = catalogue && catalogue[modelKeys[m]] ? catalogue[modelKeys[m]] : []
            for (var i = 0; i < list.length; ++i) {
                var entry = list[i]
                if (!entry || typeof entry !== "object")
                    continue
                entries.append({
                    modelKey: modelKeys[m],
                    version: String(entry.version || ""),
                    datetime: String(entry.datetime || ""),
                    checksum: String(entry.checksum || ""),
                    info: String(entry.info || "")
                })
            }
        }
    }

    // The checksums of every row of every model, in the order shown.
    function checksumsInOrder() {
        var checksums = []
        for (var i = 0; i < visualEntries.items.count; ++i)
            checksums.push(visualEntries.items.get(i).model.checksum)
        return checksums
    }

    Component.onCompleted: rebuild()
    Connections {
        target: firmwareManage
        function onAllFirmwareInformationChanged() {
            publishing.rebuild()
            entryDialog.close()
        }
    }

    ListModel { id: entries }

    Rectangle {
        anchors.fill: parent
        anchors.topMargin: 36
        radius: 16
        color: "#FFFFFF"

        ListView {
            id: list
            anchors.fill: parent
            anchors.margins: 16
            anchors.bottomMargin: 72
            spacing: 4
            clip: true
            model: visualEntries
            section.property: "modelKey"
            section.delegate: Rectangle {
                width: list.width
                height: 32
                color: "#F5F5F5"
                Rectangle { width: 8; height: parent.height; color: "#54b761" }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    x: 16
                    text: section
                    color: "#54b761"
                    font.bold: true
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }
            displaced: Transition {
                NumberAnimation { properties: "y"; duration: 250; easing.type: Easing.OutCubic }
            }
            move: Transition {
                NumberAnimation { properties: "y"; duration: 250; easing.type: Easing.OutCubic }
            }
        }

        DelegateModel {
            id: visualEntries
            model: entries
            delegate: Styled.DraggableItem {
                id: row
                group: model.modelKey
                visualIndex: DelegateModel.itemsIndex
                listView: list
                visualModel: visualEntries
                onDragReleased: firmwareManage.sortFirmwareInformation(publishing.checksumsInOrder())

                Rectangle {
                    width: row.width
                    height: 48
                    radius: 6
                    color: "#FFFFFF"
                    border.color: "#ebebeb"

                    Text {
                        id: versionText
                        x: 12
                        y: 4
                        text: "V" + model.version
                        color: "#28a7e1"
                        font.pointSize: 16
                        Accessible.role: Accessible.StaticText
                        Accessible.name: text
                        MouseArea {
                            id: versionHover
                            anchors.fill: parent
                            hoverEnabled: true
                            acceptedButtons: Qt.NoButton
                        }
                        ToolTip.visible: versionHover.containsMouse && model.info !== ""
                        ToolTip.text: model.info
                    }
                    Text {
                        x: 12
                        anchors.bottom: parent.bottom
                        anchors.bottomMargin: 2
                        text: model.datetime
                        color: "#999999"
                        font.pointSize: 8
                    }
                    Text {
                        anchors.centerIn: parent
                        text: model.checksum.toUpperCase()
                        color: "#999999"
                        font.pointSize: 10
                    }
                    Row {
                        anchors.right: parent.right
                        anchors.rightMargin: 8
                        anchors.verticalCenter: parent.verticalCenter
                        spacing: 4
                        Button {
                            id: deleteButton
                            flat: true
                            width: 32
                            focusPolicy: Qt.StrongFocus
                            Accessible.name: "Delete"
                            Accessible.description: model.checksum
                            contentItem: Text {
                                text: FontAwesome.icons.trash
                                font.family: FontAwesome.fontFamily
                                font.pointSize: 14
                                color: deleteButton.pressed ? "#ff0000" : "#ff6666"
                                horizontalAlignment: Text.AlignHCenter
                                verticalAlignment: Text.AlignVCenter
                            }
                            background: Rectangle {
                                radius: 4
                                color: "transparent"
                                border.width: deleteButton.visualFocus ? 2 : 0
                                border.color: "#ff0000"
                            }
                            // Held for 1500 ms: a slip of the finger removes nothing.
                            Timer {
                                id: holdTimer
                                interval: 1500
                                onTriggered: firmwareManage.removeFirmware(
                                                 publishing.modelKeys.indexOf(model.modelKey),
                                                 model.checksum)
                            }
                            onPressed: holdTimer.restart()
                            onReleased: holdTimer.stop()
                            onCanceled: holdTimer.stop()
                        }
                        Button {
                            id: editButton
                            flat: true
                            width: 32
                            focusPolicy: Qt.StrongFocus
                            Accessible.name: "Edit"
                            Accessible.description: model.checksum
                            Keys.onReturnPressed: clicked()
                            contentItem: Text {
                                text: FontAwesome.icons.edit
                                font.family: FontAwesome.fontFamily
                                font.pointSize: 14
                                color: "#28a7e1"
                                horizontalAlignment: Text.AlignHCenter
                                verticalAlignment: Text.AlignVCenter
                            }
                            background: Rectangle {
                                radius: 4
                                color: "transparent"
                                border.width: editButton.visualFocus ? 2 : 0
                                border.color: "#28a7e1"
                            }
                            onClicked: {
                                list.currentIndex = index
                                firmwareManage.set_localFirmwareVersion(model.version)
                                entryDialog.openForEdit(model.modelKey, model.checksum, model.info)
                            }
                        }
                    }
                }
            }
        }

        BusyIndicator {
            anchors.centerIn: parent
            width: 80
            height: 80
            running: firmwareManage.busying
        }

        Styled.Button {
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.margins: 16
            text: qsTr("Upload")
            backgroundColor: pressed ? "#0886bf" : "#28a7e1"
            onClicked: entryDialog.openForUpload()
        }
    }

    Popup {
        id: entryDialog
        property bool editMode: false
        property string checksum
        parent: Overlay.overlay
        x: (parent.width - width) / 2
        y: (parent.height - height) / 2
        width: 480
        height: 298
        modal: true
        closePolicy: Popup.NoAutoClose
        Overlay.modal: Rectangle { color: "#666666"; opacity: 0.6 }
        background: Rectangle { radius: 10; color: "#FFFFFF" }

        function openForUpload() {
            editMode = false
            checksum = ""
            changeLog.text = ""
            open()
        }
        function openForEdit(modelKey, entryChecksum, info) {
            editMode = true
            checksum = entryChecksum
            deviceBox.currentIndex = publishing.modelKeys.indexOf(modelKey)
            changeLog.text = info
            open()
        }

        Column {
            anchors.fill: parent
            spacing: 8

            Row {
                spacing: 8
                Text {
                    width: 110
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTr("Device:")
                    color: "#666666"
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                Styled.ComboBox {
                    id: deviceBox
                    model: publishing.modelKeys
                }
            }
            Row {
                spacing: 8
                Text {
                    width: 110
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTr("Version:")
                    color: "#666666"
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                Styled.TextField {
                    width: 120
                    text: firmwareManage.localFirmwareVersion
                    validator: RegularExpressionValidator { regularExpression: /\d+\.(?:\d+\.)*\d+/ }
                    Accessible.name: "Version"
                    onTextChanged: firmwareManage.set_localFirmwareVersion(text)
                }
            }
            Row {
                spacing: 8
                visible: !entryDialog.editMode
                Text {
                    width: 110
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTr("Firmware Path:")
                    color: "#666666"
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
                Styled.TextField {
                    width: 260
                    readOnly: true
                    text: firmwareManage.localFirmwarePath
                    Accessible.name: "Firmware Path"
                    hoverEnabled: true
                    ToolTip.visible: hovered && text !== ""
                    ToolTip.text: text
                }
                Button {
                    flat: true
                    Accessible.name: "Open firmware file"
                    contentItem: Text {
                        text: FontAwesome.icons.folder_open
                        font.family: FontAwesome.fontFamily
                        font.pointSize: 16
                        color: "#54b761"
                    }
                    background: Item {}
                    onClicked: firmwareManage.openLocalFirmware()
                }
            }
            ScrollView {
                width: parent.width
                height: 120
                TextArea {
                    id: changeLog
                    wrapMode: TextArea.Wrap
                    color: "#666666"
                    placeholderText: "a;b;c"
                    Accessible.name: "Change log"
                    background: Rectangle { border.color: "#ebebeb"; radius: 6 }
                }
            }
            Row {
                anchors.right: parent.right
                spacing: 16
                Styled.Button {
                    width: 120
                    height: 36
                    text: qsTr("Cancel")
                    backgroundColor: pressed ? "#999999" : "#c8c8c8"
                    onClicked: if (!firmwareManage.busying) entryDialog.close()
                }
                Styled.Button {
                    width: 120
                    height: 36
                    text: qsTr("Ok")
                    backgroundColor: pressed ? "#0886bf" : "#28a7e1"
                    onClicked: {
                        if (entryDialog.editMode)
                            firmwareManage.editFirmware(deviceBox.currentIndex, entryDialog.checksum,
                                                        changeLog.text)
                        else
                            firmwareManage.uploadFirmware(deviceBox.currentIndex, changeLog.text)
                    }
                }
            }
        }
    }
}
