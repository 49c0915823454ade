import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Controls.impl
import "Format.js" as Format

// One chat message: a bubble on the right in brand blue for own messages, on the left for the peer's. Under it
// the time and, for own messages, whether the peer has it yet. The text is the peer's: always plain text.
Item {
    id: row

    property string message
    property bool own: false
    property bool delivered: false
    property real timeSent: 0
    property real now: Date.now()

    readonly property string deliveryText: Format.deliveryLabel(delivered, own)
    readonly property real maxBubbleWidth: Math.max(120, width * 0.8)
    readonly property int padH: Theme.spacingM
    readonly property int padV: Theme.spacingS

    implicitHeight: bubble.height + meta.implicitHeight + Theme.spacingXs + Theme.spacingS

    Accessible.role: Accessible.StaticText
    Accessible.name: (own ? qsTr("You") : qsTr("They")) + ": " + message + ". " + meta.accessibleText

    // The unwrapped width of the text decides how wide the bubble is; longer text wraps at maxBubbleWidth.
    Text {
        id: measure
        visible: false
        text: row.message
        textFormat: Text.PlainText
        font: body.font
    }

    Rectangle {
        id: bubble
        objectName: "bubble"
        x: row.own ? row.width - width - Theme.spacingM : Theme.spacingM
        y: Theme.spacingXs
        width: body.width + row.padH * 2
        height: body.height + row.padV * 2
        radius: Theme.bubbleRadius
        color: row.own ? Theme.outgoingBubble : Theme.incomingBubble
        border.width: row.own ? 0 : 1
        border.color: Theme.incomingBorder

        TextEdit {
            id: body
            objectName: "messageText"
            x: row.padH
            y: row.padV
            width: Math.min(Math.ceil(measure.implicitWidth) + 1, row.maxBubbleWidth - row.padH * 2)
            text: row.message
            textFormat: TextEdit.PlainText
            wrapMode: TextEdit.Wrap
            readOnly: true
            selectByMouse: true
            activeFocusOnPress: false
            font.pixelSize: Theme.fontBody
            color: row.own ? Theme.textOnBrand : Theme.text
            selectionColor: row.own ? "#80FFFFFF" : Theme.selected
            selectedTextColor: row.own ? Theme.brandBlue : Theme.text
        }
    }

    RowLayout {
        id: meta
        readonly property string accessibleText: timeLabel.text + (row.own ? ", " + row.deliveryText : "")
        anchors.top: bubble.bottom
        anchors.topMargin: 2
        x: row.own ? row.width - width - Theme.spacingM - 2 : Theme.spacingM + 2
        spacing: Theme.spacingXs

        Label {
            id: timeLabel
            text: Format.formatTimestamp(row.timeSent, row.now)
            textFormat: Text.PlainText
            font.pixelSize: Theme.fontCaption - 1
            color: Theme.textMuted
        }
        IconImage {
            visible: row.own
            source: Qt.resolvedUrl(row.delivered ? "icons/check.png" : "icons/clock.png")
            sourceSize.width: 14
            sourceSize.height: 14
            color: row.delivered ? Theme.online : Theme.textMuted
        }
        Label {
            objectName: "deliveryLabel"
            visible: row.own
            text: row.deliveryText
            textFormat: Text.PlainText
            font.pixelSize: Theme.fontCaption - 1
            color: Theme.textMuted
        }
    }
}
