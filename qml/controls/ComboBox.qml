import QtQuick 2.15
import QtQuick.Controls 2.15 as Controls

Controls.ComboBox {
    property int radius: 8
    property color color: "#28a7e1"
    property color backgroundColor: "#FFFFFF"
    property color borderColor: "#28a7e1"
}
