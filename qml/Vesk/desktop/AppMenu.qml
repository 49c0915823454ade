import QtQuick
import QtQuick.Controls.Basic

// A popup menu in the interface's style: a rounded card with a soft edge, items from AppMenuItem.
Menu {
    id: menu

    readonly property int cardRadius: 10

    padding: Theme.spacingXs + 2
    implicitWidth: 240
    modal: false
    dim: false

    background: Item {
        implicitWidth: menu.implicitWidth
        Rectangle {
            // A soft edge under the card; there is no blur to draw a real shadow with.
            anchors.fill: parent
            anchors.margins: -1
            anchors.topMargin: 1
            anchors.bottomMargin: -3
            radius: menu.cardRadius + 1
            color: Theme.shadow
        }
        Rectangle {
            anchors.fill: parent
            radius: menu.cardRadius
            color: Theme.surface
            border.width: 1
            border.color: Theme.divider
        }
    }
}
