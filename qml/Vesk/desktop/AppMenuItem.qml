import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Controls.impl

// One entry of an AppMenu. Checkable entries show a tick; every entry keeps the tick's room so the texts line
// up. Destructive entries are red.
MenuItem {
    id: item

    property bool destructive: false

    implicitHeight: 40
    leftPadding: Theme.spacingM + 26
    rightPadding: Theme.spacingL
    font.pixelSize: Theme.fontBody

    contentItem: Label {
        text: item.text
        textFormat: Text.PlainText
        font: item.font
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
        color: !item.enabled ? Theme.disabledText : item.destructive ? Theme.danger : Theme.text
    }

    indicator: IconImage {
        x: Theme.spacingM
        anchors.verticalCenter: parent.verticalCenter
        visible: item.checkable && item.checked
        source: Qt.resolvedUrl("icons/check.png")
        sourceSize: Qt.size(18, 18)
        color: Theme.accentText
    }

    background: Rectangle {
        implicitWidth: 200
        radius: 6
        color: item.down ? Theme.pressed : item.highlighted ? Theme.hover : "transparent"
    }
}
