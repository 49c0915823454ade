import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Controls.impl

// One entry of an AppMenu. Checkable entries show a tick; every entry keeps the tick's room so the texts line
// up. Destructive entries are red. A description, when given, is a second, quieter line that says what the entry
// does.
MenuItem {
    id: item

    property bool destructive: false
    property string description

    implicitHeight: Math.max(40, implicitContentHeight + topPadding + bottomPadding)
    leftPadding: Theme.spacingM + 26
    rightPadding: Theme.spacingL
    font.pixelSize: Theme.fontBody

    contentItem: Item { // qmllint disable deferred-property-id
        implicitWidth: Math.max(title.implicitWidth, description.visible ? description.implicitWidth : 0)
        implicitHeight: lines.implicitHeight

        Column {
            id: lines

            width: parent.width
            anchors.verticalCenter: parent.verticalCenter
            spacing: 2

            Label {
                id: title

                width: parent.width
                text: item.text
                textFormat: Text.PlainText
                font: item.font
                elide: Text.ElideRight
                color: !item.enabled ? Theme.disabledText : item.destructive ? Theme.danger : Theme.text
            }
            Label {
                id: description

                objectName: "description"
                width: parent.width
                visible: item.description.length > 0
                text: item.description
                textFormat: Text.PlainText
                font.pixelSize: Theme.fontCaption
                wrapMode: Text.WordWrap
                maximumLineCount: 4
                elide: Text.ElideRight
                color: !item.enabled ? Theme.disabledText : Theme.textMuted
            }
        }
    }

    indicator: IconImage {
        x: Theme.spacingM
        anchors.verticalCenter: parent.verticalCenter
        visible: item.checkable && item.checked
        source: Qt.resolvedUrl("icons/check.png")
        sourceSize.width: 18
        sourceSize.height: 18
        color: Theme.accentText
    }

    background: Rectangle {
        implicitWidth: 200
        radius: 6
        color: item.down ? Theme.pressed : item.highlighted ? Theme.hover : "transparent"
    }
}
