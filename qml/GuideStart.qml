import QtQuick 2.15
import QtQuick.Controls 2.15
import "components"
import "controls" as Styled

// The first page: which adapter, and how to put it into upgrade mode.
Item {
    id: guide
    objectName: "guideStart"
    // The model the Enter button connects: 1 T5, 2 M7, 3 K3.
    property int model: 1

    function instructionFor(model) {
        if (model === 2)
            return qsTr("Connect Brivane M7 to PC while holding the button\nRelease the button until the LED indicator is stable green.")
        if (model === 3)
            return qsTr("Connect Brivane K3 to PC auto into upgrade mode.")
        return qsTr("Connect Brivane T5 to PC while holding the button.\nRelease the button until the LED indicator is stable green.")
    }

    Connections {
        target: firmwareManage
        function onCurrentLanguageChanged() { instruction.text = guide.instructionFor(guide.model) }
    }

    Column {
        anchors.fill: parent
        spacing: 16

        Text {
            width: parent.width
            height: 128
            text: Qt.application.name + " v" + Qt.application.version
            color: "#FFFFFF"
            font.pointSize: 20
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Text {
            width: parent.width
            height: 64
            text: qsTr("Select product")
            color: "#666666"
            font.pointSize: 14
            verticalAlignment: Text.AlignBottom
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Rectangle {
            width: parent.width
            height: 152
            radius: 10
            color: "#f8f8f8"

            ButtonGroup { id: tiles; exclusive: true }

            ProductSelector {
                id: t5Tile
                anchors.centerIn: parent
                name: "Brivane T5"
                image: "qrc:/images/guide_T5.png"
                ButtonGroup.group: tiles
                onClicked: {
                    guide.model = 1
                    instruction.text = guide.instructionFor(1)
                }
            }
            ProductSelector {
                anchors.right: t5Tile.left
                anchors.rightMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                name: "Brivane M7"
                image: "qrc:/images/guide_M7.png"
                visible: false
                checked: false
                ButtonGroup.group: tiles
                onClicked: {
                    guide.model = 2
                    instruction.text = guide.instructionFor(2)
                }
            }
            ProductSelector {
                anchors.left: t5Tile.right
                anchors.leftMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                name: "Brivane K3"
                image: "qrc:/images/guide_K3.png"
                visible: false
                checked: false
                ButtonGroup.group: tiles
                onClicked: {
                    guide.model = 3
                    instruction.text = guide.instructionFor(3)
                }
            }
        }

        Text {
            width: parent.width
            height: 48
            text: qsTr("Quick start guide")
            color: "#666666"
            font.pointSize: 14
            verticalAlignment: Text.AlignVCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        Rectangle {
            width: parent.width
            height: 108
            radius: 10
            color: "#f8f8f8"
            Text {
                id: instruction
                anchors.fill: parent
                anchors.margins: 16
                text: guide.instructionFor(1)
                color: "#999999"
                font.pointSize: 12
                wrapMode: Text.WordWrap
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }

        Styled.Button {
            width: parent.width
            text: qsTr("Enter")
            font.pointSize: 14
            enabled: !firmwareManage.busying
            backgroundColor: pressed ? "#0886bf" : "#28a7e1"
            onClicked: firmwareManage.tryCurrentDeviceIndex(guide.model)
        }
    }
}
