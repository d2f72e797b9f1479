import QtQuick 2.15
import QtQuick.Controls 2.15 as Controls

// The tool's button: a rounded, filled button whose text keeps its case.
// A "&&" in the text shows as one ampersand.
Controls.Button {
    id: control
    property color backgroundColor: "#3DC24F"
    property color borderColor: "transparent"
    property color textColor: "#FFFFFF"
    readonly property string shownText: control.text.replace(/&&/g, "&")

    height: 48
    implicitHeight: 48
    font.capitalization: Font.MixedCase
    focusPolicy: Qt.StrongFocus
    Accessible.name: shownText

    // Enter activates a focused button as Space does.
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()

    contentItem: Text {
        text: control.shownText
        font: control.font
        color: control.textColor
        opacity: control.enabled ? 1.0 : 0.6
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        radius: 10
        border.width: control.visualFocus ? 3 : 2
        border.color: control.visualFocus ? "#0886bf" : control.borderColor
        color: control.enabled ? control.backgroundColor : "#c8c8c8"
    }
}
