import QtQuick 2.15

DropArea {
    signal dragReleased()
}
