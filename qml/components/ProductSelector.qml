import QtQuick 2.15
import QtQuick.Controls 2.15

Button {
    checkable: true
    checked: true
}
