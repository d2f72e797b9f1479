import QtQuick 2.15

// Filled in with the window work.
Item {
}
