import QtQuick 2.15
import QtQuick.Controls 2.15 as Controls

Controls.Button {
    property color backgroundColor: "#3DC24F"
    property color borderColor: "transparent"
    height: 48
}
