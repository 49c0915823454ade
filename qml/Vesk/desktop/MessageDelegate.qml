import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Controls.impl
import "Format.js" as Format

// One chat message: a bubble on the right in brand blue for own messages, on the left for the peer's. Under it
// the time and, for own messages, whether the peer has it yet. The text is the peer's, shown as typed (escaped);
// web and mail links in it become clickable and the words searched for are marked.
Item {
    id: row

    property string message
    property bool own: false
    property bool delivered: false
    property real timeSent: 0
    property real now: Date.now()
    property string query          // the conversation's search, marked in the text
    property bool currentMatch: false

    readonly property string html: Format.messageHtml(message, query, own ? Theme.textOnBrand : Theme.accentText,
                                                      currentMatch ? "#FFB547" : "#FFE08A")
    readonly property alias selectedText: body.selectedText

    // A right click, with the link under the pointer if there is one; where, in the row's coordinates.
    signal menuRequested(real x, real y, string link)
    signal linkClicked(string link)
    signal textFocused()

    function copySelection() {
        body.copy()
    }
    function clearSelection() {
        body.deselect()
    }

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
        text: row.html
        textFormat: Text.RichText
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
        border.width: row.currentMatch ? 2 : row.own ? 0 : 1
        border.color: row.currentMatch ? "#FFB547" : Theme.incomingBorder

        TextEdit {
            id: body
            objectName: "messageText"
            x: row.padH
            y: row.padV
            width: Math.min(Math.ceil(measure.implicitWidth) + 1, row.maxBubbleWidth - row.padH * 2)
            // Always rich text: switching a TextEdit between formats turns its text into the markup of the other.
            text: row.html
            textFormat: TextEdit.RichText
            wrapMode: TextEdit.Wrap
            readOnly: true
            selectByMouse: true
            // Taking the focus on a click lets Ctrl+C copy what was selected.
            activeFocusOnPress: true
            persistentSelection: true
            font.pixelSize: Theme.fontBody
            color: row.own ? Theme.textOnBrand : Theme.text
            // The selection in strong contrast on both bubbles: white on blue turns blue on white and back.
            selectionColor: row.own ? Theme.textOnBrand : Theme.brand
            selectedTextColor: row.own ? Theme.brandBlue : Theme.textOnBrand
            // Links open only on a click, and only those the link filter lets through.
            onLinkActivated: (link) => {
                if (Format.isOpenableLink(link))
                    row.linkClicked(link)
            }
            onActiveFocusChanged: if (activeFocus) row.textFocused()

            // Right clicks only; the left button still selects text and follows links.
            MouseArea {
                anchors.fill: parent
                acceptedButtons: Qt.RightButton
                cursorShape: body.hoveredLink !== "" ? Qt.PointingHandCursor : Qt.IBeamCursor
                onClicked: (mouse) => {
                    var p = body.mapToItem(row, mouse.x, mouse.y)
                    row.menuRequested(p.x, p.y, body.linkAt(mouse.x, mouse.y))
                }
            }
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
