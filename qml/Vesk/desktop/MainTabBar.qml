pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Controls.impl

// The three tabs, each with its icon and the count that wants attention: unread messages, files ticked for
// sending, offers waiting for you.
TabBar {
    id: bar

    property int unreadCount: 0
    property int filesCount: 0
    property int offersCount: 0

    background: Rectangle {
        color: Theme.surface
        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: Theme.divider
        }
    }

    Repeater {
        model: [
            { label: qsTr("People"), icon: "people" },
            { label: qsTr("Send"), icon: "upload" },
            { label: qsTr("Transfers"), icon: "transfers" }
        ]
        delegate: TabButton {
            id: tab
            required property var modelData
            required property int index
            readonly property int count: index === 0 ? bar.unreadCount : index === 1 ? bar.filesCount : bar.offersCount
            readonly property color tone: checked ? Theme.accentText : Theme.textMuted

            text: modelData.label
            focusPolicy: Qt.StrongFocus
            implicitHeight: 48
            Accessible.name: count > 0 ? qsTr("%1, %2 new").arg(modelData.label).arg(count) : modelData.label
            ToolTip.visible: hovered
            ToolTip.text: qsTr("%1 (Ctrl+%2)").arg(modelData.label).arg(index + 1)
            ToolTip.delay: 800

            contentItem: Item { // qmllint disable deferred-property-id
                implicitWidth: row.implicitWidth
                implicitHeight: row.implicitHeight
                // A narrow window first gives up the icon beside a count, then sets the label a little smaller,
                // and only then shortens it; the count always stays whole inside the tab.
                RowLayout {
                    id: row
                    readonly property bool roomy: !badge.visible || icon.sourceSize.width + label.implicitWidth
                                                                      + badge.implicitWidth + 2 * spacing
                                                                      <= parent.width - 4
                    anchors.centerIn: parent
                    width: Math.min(implicitWidth, parent.width - 4)
                    spacing: 5
                    IconImage {
                        id: icon
                        visible: row.roomy
                        source: Qt.resolvedUrl("icons/" + tab.modelData.icon + ".png")
                        sourceSize.width: 17
                        sourceSize.height: 17
                        color: tab.tone
                    }
                    Label {
                        id: label
                        Layout.fillWidth: true
                        Layout.minimumWidth: 0
                        elide: Text.ElideRight
                        text: tab.text
                        textFormat: Text.PlainText
                        fontSizeMode: Text.HorizontalFit
                        minimumPixelSize: Theme.fontCaption - 1
                        font.pixelSize: Theme.fontBody - 1
                        font.bold: tab.checked
                        color: tab.tone
                    }
                    Badge {
                        id: badge
                        count: tab.count
                    }
                }
            }
            background: Rectangle {
                color: tab.down ? Theme.pressed : tab.hovered ? Theme.hover : "transparent"
                border.width: tab.visualFocus ? 2 : 0
                border.color: Theme.focus
                Rectangle {
                    anchors.bottom: parent.bottom
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: parent.width - Theme.spacingL * 2
                    height: 3
                    radius: 1.5
                    visible: tab.checked
                    color: Theme.brand
                }
            }
        }
    }
}
