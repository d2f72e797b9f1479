import QtQuick 2.15

// Wraps one entry of a list so it can be dragged to another place among
// the entries of its group. The entry is lifted into the list view while it
// is dragged; entering another entry of the same group moves it there in
// the visual model. dragReleased fires when a drag ends.
DropArea {
    id: root
    property string group
    property int visualIndex: 0
    property Item listView
    property var visualModel
    default property alias content: holder.data
    signal dragReleased()

    width: listView ? listView.width : 0
    height: holder.height
    keys: [group]

    onEntered: function(drag) {
        var source = drag.source
        if (source && source !== root && source.group === root.group)
            root.visualModel.items.move(source.visualIndex, root.visualIndex)
    }

    Item {
        id: holder
        width: root.width
        height: childrenRect.height
        Drag.active: handle.drag.active
        Drag.source: root
        Drag.keys: [root.group]
        Drag.hotSpot.x: width / 2
        Drag.hotSpot.y: height / 2

        MouseArea {
            id: handle
            anchors.fill: parent
            drag.target: holder
            drag.axis: Drag.YAxis
            onReleased: {
                if (holder.Drag.active || drag.active)
                    holder.Drag.drop()
                holder.x = 0
                holder.y = 0
                if (wasDragged)
                    root.dragReleased()
                wasDragged = false
            }
            property bool wasDragged: false
            drag.onActiveChanged: if (drag.active) wasDragged = true
        }

        states: State {
            when: handle.drag.active
            ParentChange { target: holder; parent: root.listView }
            PropertyChanges { target: holder; z: 10; opacity: 0.85 }
        }
    }
}
