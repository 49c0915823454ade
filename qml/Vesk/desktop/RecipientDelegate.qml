import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// One online peer as a possible recipient, ticked when the files will go to them.
ItemDelegate {
    id: row

    property var controller
    property string peerId
    property string alias
    property string avatarUrl
    // The controller keeps the selection; re-read it whenever its count changes.
    readonly property bool selected: {
        if (!controller)
            return false
        controller.selectedPeersCount
        return controller.isPeerSelected(peerId)
    }

    function toggle() {
        controller.togglePeerSelection(peerId)
    }

    focusPolicy: Qt.NoFocus
    implicitHeight: 48
    leftPadding: Theme.spacingL
    rightPadding: Theme.spacingL
    Accessible.role: Accessible.CheckBox
    Accessible.checkable: true
    Accessible.checked: selected
    Accessible.name: Format.displayName(alias)

    onClicked: toggle()

    background: Rectangle {
        color: row.down ? Theme.pressed : row.hovered ? Theme.hover : row.highlighted ? Theme.selected : "transparent"
        border.width: row.highlighted ? 2 : 0
        border.color: Theme.focus
        radius: row.highlighted ? 4 : 0
    }

    contentItem: RowLayout {
        spacing: Theme.spacingM

        CheckMark {
            checked: row.selected
        }
        Avatar {
            size: 30
            source: row.avatarUrl
        }
        Label {
            Layout.fillWidth: true
            text: Format.displayName(row.alias)
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.pixelSize: Theme.fontBody
            color: Theme.text
        }
    }
}
