import QtQuick 2.15
import QtQuick.Controls 2.15

// A model tile of the guide page: picture and name, outlined when chosen.
Button {
    id: tile
    property string name
    property url image

    checkable: true
    checked: true
    width: 148
    height: 136
    focusPolicy: Qt.StrongFocus
    Accessible.name: name
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    background: Rectangle {
        radius: 10
        color: "#FFFFFF"
        border.width: tile.visualFocus ? 3 : 2
        border.color: tile.checked ? "#28a7e1" : "#d9eff9"
    }
    contentItem: Item {
        Image {
            anchors.fill: parent
            anchors.margins: 2
            source: tile.image
            fillMode: Image.PreserveAspectFit
        }
        Text {
            anchors.left: parent.left
            anchors.bottom: parent.bottom
            anchors.margins: 6
            text: tile.name
            color: "#666666"
            font.pointSize: 11
        }
    }
}
