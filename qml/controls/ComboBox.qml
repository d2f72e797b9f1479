import QtQuick 2.15
import QtQuick.Controls 2.15 as Controls

// The tool's drop-down box: blue text and border, a drawn triangle, and a
// list that opens just below the box.
Controls.ComboBox {
    id: control
    property int radius: 8
    property color color: "#28a7e1"
    property color backgroundColor: "#FFFFFF"
    property color borderColor: "#28a7e1"

    focusPolicy: Qt.StrongFocus
    Accessible.name: displayText

    function entryText(entry, index) {
        if (control.textRole && entry !== undefined && entry !== null
                && typeof entry === "object")
            return entry[control.textRole] !== undefined ? String(entry[control.textRole]) : ""
        return entry !== undefined && entry !== null ? String(entry) : ""
    }

    delegate: Controls.ItemDelegate {
        width: control.width
        highlighted: control.highlightedIndex === index
        contentItem: Text {
            text: control.entryText(modelData, index)
            color: "#28a7e1"
            font: control.font
            elide: Text.ElideRight
            verticalAlignment: Text.AlignVCenter
        }
        Accessible.name: control.entryText(modelData, index)
    }

    indicator: Canvas {
        id: triangle
        x: control.width - width - control.rightPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        width: 12
        height: 8
        contextType: "2d"
        readonly property bool drawnEnabled: control.enabled
        onDrawnEnabledChanged: requestPaint()
        Connections {
            target: control
            function onPressedChanged() { triangle.requestPaint() }
            function onColorChanged() { triangle.requestPaint() }
        }
        onPaint: {
            var context = getContext("2d")
            context.reset()
            context.moveTo(0, 0)
            context.lineTo(width, 0)
            context.lineTo(width / 2, height)
            context.closePath()
            context.fillStyle = control.enabled ? control.color : "#e3f4fb"
            context.fill()
        }
    }

    contentItem: Text {
        leftPadding: 8
        rightPadding: control.indicator.width + control.spacing
        text: control.displayText
        font.pointSize: control.font.pointSize
        font.family: control.font.family
        font.bold: control.activeFocus
        color: control.enabled ? control.color : "#e3f4fb"
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        implicitWidth: 116
        implicitHeight: 36
        radius: control.radius
        color: control.backgroundColor
        border.color: control.borderColor
        border.width: control.activeFocus ? 2 : 1
    }

    popup: Controls.Popup {
        y: control.height - 1
        width: control.width
        implicitHeight: contentItem.implicitHeight
        padding: 1
        contentItem: ListView {
            clip: true
            interactive: false
            implicitHeight: contentHeight
            model: control.popup.visible ? control.delegateModel : null
            currentIndex: control.highlightedIndex
        }
        background: Rectangle {
            color: "#FFFFFF"
            border.color: "#28a7e1"
            radius: 2
        }
    }
}
