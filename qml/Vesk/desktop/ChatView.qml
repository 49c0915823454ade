import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// The conversation with one peer: who it is and whether they are reachable, the last hundred messages, and the
// composer. Escape (or the back button) returns to the list of people.
Rectangle {
    id: view

    property var controller
    property var chatModel
    property var peersModel        // the listed peers; read again whenever it changes
    property string peerId

    // The peer's row as the lists see it, read from the database itself: the peer may have left the list (gone
    // offline before anything was written).
    property var peer: ({})
    readonly property string alias: Format.displayName(peer.alias)
    readonly property string avatarUrl: Format.str(peer.avatarUrl)
    readonly property bool online: peer.online === true
    readonly property bool blocked: peer.isBlocked === true
    readonly property string hostId: controller ? controller.hostId : ""
    readonly property alias messageCount: messages.count
    readonly property alias composer: composer

    signal backRequested()

    function readPeer() {
        peer = peersModel && peerId !== "" ? peersModel.readRow("vesk_peers", peerId) : {}
    }
    onPeerIdChanged: readPeer()
    onPeersModelChanged: readPeer()
    // A refresh that finds the same people in the same order only changes values: both kinds of change count.
    Connections {
        target: view.peersModel
        function onModelReset() { view.readPeer() }
        function onDataChanged() { view.readPeer() }
    }

    function focusComposer() {
        composer.focusInput()
    }

    color: Theme.window

    // Escape leaves the conversation wherever the focus is in the window (an open menu takes Escape first).
    Shortcut {
        sequences: ["Esc", "Alt+Left"]
        enabled: view.visible && !peerMenu.visible
        onActivated: view.backRequested()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 60
            color: Theme.surface

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: Theme.spacingXs
                anchors.rightMargin: Theme.spacingXs
                spacing: Theme.spacingS

                IconButton {
                    objectName: "backButton"
                    iconName: "back"
                    tip: qsTr("Back to people (Esc)")
                    onClicked: view.backRequested()
                }
                Avatar {
                    size: 36
                    source: view.avatarUrl
                    showPresence: true
                    online: view.online && !view.blocked
                    ringColor: Theme.surface
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 1
                    Label {
                        Layout.fillWidth: true
                        text: view.alias
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        font.pixelSize: Theme.fontTitle
                        font.bold: true
                        color: Theme.text
                    }
                    Label {
                        Layout.fillWidth: true
                        text: view.blocked ? qsTr("Blocked") : view.online ? qsTr("Online") : qsTr("Offline")
                        textFormat: Text.PlainText
                        font.pixelSize: Theme.fontCaption
                        color: view.blocked ? Theme.danger : view.online ? Theme.online : Theme.textMuted
                    }
                }
                IconButton {
                    id: moreButton
                    iconName: "more"
                    tip: qsTr("More")
                    ToolTip.visible: (hovered || visualFocus) && !peerMenu.visible
                    onClicked: peerMenu.popup(moreButton, moreButton.width - peerMenu.width, moreButton.height)
                }
            }
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: Theme.divider
            }
            PeerMenu {
                id: peerMenu
                controller: view.controller
                peerId: view.peerId
                blocked: view.blocked
                showOpenChat: false
            }
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            ListView {
                id: messages
                objectName: "messageList"
                anchors.fill: parent
                clip: true
                model: view.chatModel
                topMargin: Theme.spacingS
                bottomMargin: Theme.spacingS
                boundsBehavior: Flickable.StopAtBounds
                activeFocusOnTab: false
                ScrollBar.vertical: ScrollBar { id: scrollBar }
                Accessible.name: qsTr("Messages")

                // The list is re-read as a whole whenever a message arrives or is confirmed. Follow the newest
                // message when the reader was at the end, and stay put when they had scrolled back.
                property bool followEnd: true
                property real keptY: 0
                onMovementEnded: followEnd = atYEnd
                Connections {
                    target: scrollBar
                    function onPressedChanged() {
                        if (!scrollBar.pressed)
                            messages.followEnd = messages.atYEnd
                    }
                }
                Connections {
                    target: view.chatModel ? view.chatModel : null
                    ignoreUnknownSignals: true
                    function onModelAboutToBeReset() {
                        messages.keptY = messages.contentY
                    }
                    function onModelReset() {
                        Qt.callLater(messages.restorePosition) // qmllint disable type
                    }
                }
                function restorePosition() {
                    if (followEnd)
                        positionViewAtEnd()
                    else
                        contentY = Math.min(keptY, Math.max(originY, contentHeight - height + originY))
                }
                onCountChanged: if (followEnd) Qt.callLater(positionViewAtEnd) // qmllint disable type

                delegate: MessageDelegate {
                    required property var model
                    width: ListView.view.width
                    message: Format.str(model.message)
                    own: Format.str(model.peerfrom) === view.hostId
                    delivered: model.delivered === true
                    timeSent: Format.toCount(model.timesentMs)
                }
            }

            EmptyState {
                anchors.fill: parent
                visible: messages.count === 0
                illustration: "illus-chat"
                title: view.blocked ? qsTr("You blocked %1").arg(view.alias) : qsTr("Say hello to %1").arg(view.alias)
                text: view.blocked ? qsTr("Vesk ignores their messages and files until you unblock them.")
                                   : qsTr("Messages go straight to their computer, no server in between.")
            }
        }

        // Why a message may not arrive right now, with the way out where there is one.
        Rectangle {
            Layout.fillWidth: true
            visible: view.blocked || !view.online
            implicitHeight: notice.implicitHeight + Theme.spacingS * 2
            color: Theme.surfaceAlt

            RowLayout {
                id: notice
                anchors.fill: parent
                anchors.leftMargin: Theme.spacingL
                anchors.rightMargin: Theme.spacingS
                spacing: Theme.spacingS
                Label {
                    objectName: "chatNotice"
                    Layout.fillWidth: true
                    text: view.blocked ? qsTr("You blocked %1.").arg(view.alias)
                                       : qsTr("%1 is offline. Your messages go out when %1 is back.").arg(view.alias)
                    textFormat: Text.PlainText
                    wrapMode: Text.WordWrap
                    font.pixelSize: Theme.fontCaption
                    color: Theme.textMuted
                }
                ActionButton {
                    visible: view.blocked
                    kind: "flat"
                    text: qsTr("Unblock")
                    iconName: "unblock"
                    onClicked: view.controller.unblockUser(view.peerId)
                }
            }
        }

        ChatComposer {
            id: composer
            Layout.fillWidth: true
            canWrite: !view.blocked
            placeholder: view.blocked ? qsTr("Unblock %1 to write").arg(view.alias)
                                      : qsTr("Message %1").arg(view.alias)
            onSendRequested: (text) => view.controller.sendChat(view.peerId, text)
        }
    }
}
