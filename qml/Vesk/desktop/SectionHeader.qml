import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic

// The title of a list section, with its count and the actions that apply to the whole list on the right.
Item {
    id: header

    property string title
    property int count: -1
    default property alias actions: actionRow.data

    implicitHeight: Math.max(40, actionRow.implicitHeight + Theme.spacingXs * 2)
    Accessible.role: Accessible.Heading
    Accessible.name: title

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.spacingL
        anchors.rightMargin: Theme.spacingS
        spacing: Theme.spacingS

        Label {
            text: header.title
            textFormat: Text.PlainText
            font.pixelSize: Theme.fontCaption
            font.bold: true
            font.capitalization: Font.AllUppercase
            font.letterSpacing: 0.6
            color: Theme.textMuted
        }
        Label {
            visible: header.count >= 0
            text: header.count
            textFormat: Text.PlainText
            font.pixelSize: Theme.fontCaption
            color: Theme.textMuted
        }
        Item { Layout.fillWidth: true }
        RowLayout {
            id: actionRow
            spacing: Theme.spacingXs
        }
    }
}
