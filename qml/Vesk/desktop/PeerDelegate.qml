import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import Vesk.Core
import "Format.js" as Format
import "Security.js" as Security

// One person in the list: picture with presence, name with its lock, what they run, unread count. Activating the
// row opens the conversation; the menu button (or the Menu key) offers the security code and blocking.
ItemDelegate {
    id: row

    property var controller
    property string peerId
    property string alias
    property string avatarUrl
    property bool online: false
    property string sysinfo
    property bool isBlocked: false
    property int security: SecurityState.Plain
    property int unread: 0

    readonly property string detail: isBlocked ? qsTr("Blocked")
                                               : online ? (sysinfo.trim() === "" ? qsTr("Online") : sysinfo)
                                                        : qsTr("Offline")

    function open() {
        controller.setCurrentSelectedChatPeer(peerId)
    }
    function openMenu() {
        menu.popup(moreButton, 0, moreButton.height)
    }

    focusPolicy: Qt.NoFocus
    implicitHeight: Theme.rowHeight + Theme.spacingS
    leftPadding: Theme.spacingL
    rightPadding: Theme.spacingXs
    Accessible.name: Format.displayName(alias) + ", " + detail + ", " + Security.describe(security, Format.displayName(alias))
                     + (unread > 0 ? ", " + qsTr("%n unread", "", unread) : "")

    onClicked: open()

    background: Rectangle {
        color: row.down ? Theme.pressed : row.hovered ? Theme.hover : row.highlighted ? Theme.selected : "transparent"
        border.width: row.highlighted ? 2 : 0
        border.color: Theme.focus
        radius: row.highlighted ? 4 : 0
    }

    contentItem: RowLayout { // qmllint disable deferred-property-id
        spacing: Theme.spacingM

        Avatar {
            size: 40
            source: row.avatarUrl
            showPresence: true
            online: row.online && !row.isBlocked
            ringColor: Theme.window
            opacity: row.isBlocked || !row.online ? 0.5 : 1
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            // The name, the lock right after it; a long name is cut short, never the lock.
            Item {
                Layout.fillWidth: true
                implicitHeight: nameLabel.implicitHeight
                Label {
                    id: nameLabel
                    width: Math.min(implicitWidth, parent.width - rowLock.width - Theme.spacingXs)
                    text: Format.displayName(row.alias)
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    font.pixelSize: Theme.fontBody
                    font.bold: row.unread > 0
                    color: row.online ? Theme.text : Theme.textMuted
                }
                SecurityLock {
                    id: rowLock
                    objectName: "peerLock"
                    x: nameLabel.width + Theme.spacingXs
                    anchors.verticalCenter: nameLabel.verticalCenter
                    security: row.security
                    name: Format.displayName(row.alias)
                    size: 16
                }
            }
            Label {
                Layout.fillWidth: true
                text: row.detail
                textFormat: Text.PlainText
                elide: Text.ElideRight
                font.pixelSize: Theme.fontCaption
                color: row.isBlocked ? Theme.danger : Theme.textMuted
            }
        }
        Badge {
            count: row.unread
        }
        IconButton {
            id: moreButton
            iconName: "more"
            tip: qsTr("More for %1").arg(Format.displayName(row.alias))
            tint: Theme.textMuted
            focusPolicy: Qt.NoFocus
            ToolTip.visible: hovered && !menu.visible
            onClicked: row.openMenu()
        }
    }

    PeerMenu {
        id: menu
        objectName: "peerMenu"
        controller: row.controller
        peerId: row.peerId
        name: Format.displayName(row.alias)
        security: row.security
        blocked: row.isBlocked
    }
}
