import QtQuick 2.15
import QtQuick.Controls 2.15 as Controls

Controls.TextField {
    background: null
    color: "#666666"
    selectByMouse: true
}
