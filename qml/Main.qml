import QtQuick 2.15
import QtQuick.Window 2.15
import QtQuick.Controls 2.15

// The main window; its pages arrive with the window work.
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

    Rectangle {
        anchors.fill: parent
        color: "#FFFFFF"

        Text {
            anchors.centerIn: parent
            text: mainWindow.title
            font.pointSize: 20
            color: "#666666"
        }
    }

    Connections {
        target: global
        function onShowMessage(msg) {
            mainWindow.flags = Qt.Window | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
            mainWindow.flags = Qt.Window | Qt.FramelessWindowHint
        }
    }
}
