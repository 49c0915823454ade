import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import Vesk.Core
import "Format.js" as Format

// The conversation with one peer: who it is and whether they are reachable, the last hundred messages, and the
// composer. Escape (or the back button) returns to the list of people; Ctrl+F searches the messages. It opens at
// the newest message and follows new ones, unless the reader scrolled back: then a button says more came in.
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
    readonly property int security: peer.security ?? SecurityState.Plain
    readonly property bool keyChanged: security === SecurityState.KeyChanged
    readonly property string hostId: controller ? controller.hostId : ""
    readonly property alias messageCount: messages.count
    readonly property alias composer: composer

    // The search over the messages shown: which rows hold the text, and which of them is the current one.
    property bool searching: false
    readonly property string searchQuery: searching ? searchField.text : ""
    readonly property int currentMatchRow: search.currentRow
    readonly property alias unseenMessages: messages.unseen

    signal backRequested()

    function openSearch() {
        searching = true
        searchField.selectAll()
        searchField.forceActiveFocus()
    }
    function closeSearch() {
        searching = false
        searchField.clear()
        composer.focusInput()
    }
    function showMatch() {
        if (currentMatchRow < 0)
            return
        messages.followEnd = false
        messages.positionViewAtIndex(currentMatchRow, ListView.Center)
    }
    ChatSearch {
        id: search
        model: view.chatModel ?? null
        text: view.searchQuery
        // Once the list has taken in the rows that were searched.
        onMatchesChanged: Qt.callLater(view.showMatch) // qmllint disable type
    }

    function openLink(url) {
        if (Format.isOpenableLink(url))
            Qt.openUrlExternally(url)
    }

    // Files just offered from here, told for a few seconds above the composer.
    property string offeredNote
    Connections {
        target: view.controller
        ignoreUnknownSignals: true
        function onFilesOfferedToPeer(peerId: string, fileNames: list<string>) {
            if (peerId !== view.peerId)
                return
            view.offeredNote = fileNames.length === 1
                ? qsTr("%1 is offered to %2.").arg(fileNames[0]).arg(view.alias)
                : qsTr("%1 files are offered to %2.").arg(fileNames.length).arg(view.alias)
            offeredTimer.restart()
        }
    }
    Timer {
        id: offeredTimer
        interval: 6000
        onTriggered: view.offeredNote = ""
    }

    // Reinstalled here: the peer takes nothing from this computer until its user accepts the new key.
    property bool refusesOurKey: false

    function readPeer() {
        peer = peersModel && peerId !== "" ? peersModel.rowById(peerId) : {}
        refusesOurKey = controller && peerId !== "" ? controller.peerRefusesOurKey(peerId) : false
    }
    Connections {
        target: view.controller
        function onPeerSecurityChanged(nodeId: string) { if (nodeId === view.peerId) view.readPeer() }
    }
    onPeerIdChanged: {
        readPeer()
        searching = false
        searchField.clear()
        messages.showNewest()
    }
    // Opening a conversation, from the list or from a popup's Reply, shows its newest message.
    onVisibleChanged: if (visible) messages.showNewest()
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
        enabled: view.visible && !peerMenu.visible && !textMenu.visible && !searchField.activeFocus
        onActivated: view.backRequested()
    }
    Shortcut {
        sequences: [StandardKey.Find] // qmllint disable unqualified
        enabled: view.visible
        onActivated: view.openSearch()
    }

    // Every message shown, for the newest one's row.
    component MessageRow: QtObject {
        required property var model
    }
    Instantiator {
        id: messageRows
        model: view.chatModel
        delegate: MessageRow {}
    }

    // Puts text on the clipboard, for a message copied whole.
    TextEdit {
        id: clipboard
        visible: false
        textFormat: TextEdit.PlainText
        function copyText(text) {
            clipboard.text = text
            clipboard.selectAll()
            clipboard.copy()
            clipboard.text = ""
        }
    }

    AppMenu {
        id: textMenu
        objectName: "messageMenu"
        property var row: null
        property string link
        implicitWidth: 200
        AppMenuItem {
            objectName: "copyItem"
            text: textMenu.row && textMenu.row.selectedText !== "" ? qsTr("Copy") : qsTr("Copy message")
            onTriggered: {
                if (textMenu.row.selectedText !== "")
                    textMenu.row.copySelection()
                else
                    clipboard.copyText(textMenu.row.message)
            }
        }
        AppMenuItem {
            objectName: "copyLinkItem"
            visible: textMenu.link !== ""
            height: visible ? implicitHeight : 0
            text: textMenu.link.toLowerCase().indexOf("mailto:") === 0 ? qsTr("Copy address") : qsTr("Copy link")
            onTriggered: clipboard.copyText(textMenu.link.replace(/^mailto:/i, ""))
        }
        AppMenuItem {
            visible: textMenu.link !== ""
            height: visible ? implicitHeight : 0
            text: qsTr("Open link")
            onTriggered: view.openLink(textMenu.link)
        }
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
                    // The name, the lock right after it; a long name is cut short, not the lock.
                    Item {
                        Layout.fillWidth: true
                        implicitHeight: titleLabel.implicitHeight
                        Label {
                            id: titleLabel
                            width: Math.min(implicitWidth, parent.width - headerLock.width - Theme.spacingS)
                            text: view.alias
                            textFormat: Text.PlainText
                            elide: Text.ElideRight
                            font.pixelSize: Theme.fontTitle
                            font.bold: true
                            color: Theme.text
                        }
                        SecurityLock {
                            id: headerLock
                            objectName: "chatLock"
                            x: titleLabel.width + Theme.spacingS
                            anchors.verticalCenter: titleLabel.verticalCenter
                            security: view.security
                            name: view.alias
                            size: 16
                        }
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
                    objectName: "searchButton"
                    iconName: "search"
                    tip: qsTr("Search this conversation (Ctrl+F)")
                    checkable: true
                    checked: view.searching
                    onClicked: view.searching ? view.closeSearch() : view.openSearch()
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
                name: view.alias
                security: view.security
                blocked: view.blocked
                showOpenChat: false
            }
        }

        // A peer that came back with another key: nothing from it is taken until the user looks at the codes and
        // accepts it. The conversation so far stays.
        KeyChangedBanner {
            Layout.fillWidth: true
            security: view.security
            name: view.alias
            onCheckRequested: peerMenu.openSecurity()
        }

        Label {
            objectName: "refusesOurKeyNote"
            Layout.fillWidth: true
            visible: view.refusesOurKey
            padding: Theme.spacingM
            text: qsTr("%1 has to accept your new security key before your messages reach them.").arg(view.alias)
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            font.pixelSize: Theme.fontCaption
            color: Theme.danger
            background: Rectangle {
                color: Qt.tint(Theme.surface, Qt.rgba(Theme.danger.r, Theme.danger.g, Theme.danger.b, 0.12))
            }
        }

        Rectangle {
            objectName: "searchBar"
            Layout.fillWidth: true
            visible: view.searching
            implicitHeight: searchRow.implicitHeight + Theme.spacingXs * 2
            color: Theme.surface

            RowLayout {
                id: searchRow
                anchors.fill: parent
                anchors.leftMargin: Theme.spacingM
                anchors.rightMargin: Theme.spacingXs
                spacing: Theme.spacingXs

                TextField {
                    id: searchField
                    objectName: "searchField"
                    Layout.fillWidth: true
                    placeholderText: qsTr("Search messages")
                    placeholderTextColor: Theme.textMuted
                    color: Theme.text
                    selectByMouse: true
                    font.pixelSize: Theme.fontBody
                    Accessible.name: qsTr("Search messages")
                    Accessible.description: qsTr("Enter finds the next older match, Shift+Enter the next newer one")
                    background: Rectangle {
                        implicitHeight: Theme.controlHeight
                        radius: Theme.radius
                        color: Theme.surfaceAlt
                        border.width: searchField.activeFocus ? 2 : 0
                        border.color: Theme.focus
                    }
                    Keys.onPressed: (event) => {
                        if (event.key === Qt.Key_Escape) {
                            event.accepted = true
                            view.closeSearch()
                        } else if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
                            event.accepted = true
                            search.step(event.modifiers & Qt.ShiftModifier ? 1 : -1)
                        }
                    }
                }
                Label {
                    objectName: "searchCount"
                    visible: searchField.text !== ""
                    // Matches are counted by message, newest last, as the list shows them.
                    text: search.count === 0 ? qsTr("No matches") : qsTr("%1 of %2").arg(search.current + 1).arg(search.count)
                    textFormat: Text.PlainText
                    font.pixelSize: Theme.fontCaption
                    color: search.count === 0 ? Theme.danger : Theme.textMuted
                }
                IconButton {
                    objectName: "previousMatchButton"
                    iconName: "up"
                    tip: qsTr("Older match (Enter)")
                    enabled: search.count > 1
                    onClicked: search.step(-1)
                }
                IconButton {
                    objectName: "nextMatchButton"
                    iconName: "down"
                    tip: qsTr("Newer match (Shift+Enter)")
                    enabled: search.count > 1
                    onClicked: search.step(1)
                }
                IconButton {
                    iconName: "close"
                    tip: qsTr("Close search (Esc)")
                    onClicked: view.closeSearch()
                }
            }
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: Theme.divider
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
                // Room above the first and below the last message, as items: the end the list is kept at includes it.
                header: Item { height: Theme.spacingS }
                footer: Item { height: Theme.spacingS }
                boundsBehavior: Flickable.StopAtBounds
                activeFocusOnTab: false
                ScrollBar.vertical: ScrollBar { id: scrollBar }
                Accessible.name: qsTr("Messages")

                // The list is re-read as a whole whenever a message arrives or is confirmed. Follow the newest
                // message when the reader was at the end, and stay put when they had scrolled back; then a button
                // tells that newer messages came. The list is never more than 100 rows, so a new message shows as
                // a new last row rather than as a larger count.
                property bool followEnd: true
                property bool unseen: false
                property real keptY: 0
                property string keptLastId
                function lastRow() {
                    var entry = messageRows.objectAt(messageRows.count - 1)
                    return entry ? entry.model : null // qmllint disable type
                }
                function showNewest() {
                    followEnd = true
                    unseen = false
                    Qt.callLater(messages.stickToEnd) // qmllint disable type
                }
                function stickToEnd() {
                    if (followEnd && !moving)
                        positionViewAtEnd()
                }
                function readerMoved() {
                    followEnd = atYEnd
                    if (followEnd)
                        unseen = false
                }
                onMovementEnded: readerMoved()
                Connections {
                    target: scrollBar
                    function onPressedChanged() {
                        if (!scrollBar.pressed)
                            messages.readerMoved()
                    }
                }
                Connections {
                    target: view.chatModel ? view.chatModel : null
                    ignoreUnknownSignals: true
                    function onModelAboutToBeReset() {
                        messages.keptY = messages.contentY
                        var last = messages.lastRow()
                        messages.keptLastId = last ? Format.str(last.id) : ""
                    }
                    function onModelReset() {
                        Qt.callLater(messages.restorePosition) // qmllint disable type
                    }
                }
                function restorePosition() {
                    var last = lastRow()
                    var arrived = last !== null && Format.str(last.id) !== keptLastId
                    // What the user just sent is always shown.
                    if (arrived && Format.str(last.peerfrom) === view.hostId)
                        followEnd = true
                    if (followEnd) {
                        positionViewAtEnd()
                    } else {
                        contentY = Math.min(keptY, Math.max(originY, contentHeight - height + originY))
                        if (arrived)
                            unseen = true
                    }
                }
                // Delegates find their heights as they are made, and the banners above and below take room:
                // whoever reads at the end stays at the end.
                onCountChanged: Qt.callLater(stickToEnd) // qmllint disable type
                onContentHeightChanged: Qt.callLater(stickToEnd) // qmllint disable type
                onHeightChanged: Qt.callLater(stickToEnd) // qmllint disable type

                delegate: MessageDelegate {
                    id: messageRow
                    required property var model
                    required property int index
                    width: ListView.view.width
                    message: Format.str(model.message)
                    own: Format.str(model.peerfrom) === view.hostId
                    delivered: model.delivered === true
                    timeSent: Format.toCount(model.timesentMs)
                    query: view.searchQuery // qmllint disable unqualified
                    currentMatch: index === view.currentMatchRow // qmllint disable unqualified
                    onLinkClicked: (link) => view.openLink(link)
                    onMenuRequested: (x, y, link) => {
                        textMenu.row = messageRow
                        textMenu.link = Format.isOpenableLink(link) ? link : ""
                        textMenu.popup(messageRow, x, y)
                    }
                    // One selection in the conversation at a time: a new one clears the last.
                    onTextFocused: messages.selectionTakenBy(messageRow) // qmllint disable unqualified
                }
                property var selectionRow: null
                function selectionTakenBy(row) {
                    if (selectionRow && selectionRow !== row)
                        selectionRow.clearSelection()
                    selectionRow = row
                }
            }

            ActionButton {
                objectName: "newMessagesButton"
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.bottom: parent.bottom
                anchors.bottomMargin: Theme.spacingS
                // Back to the newest message from wherever the reader (or a search) left the list; it says so
                // when newer messages came in the meantime.
                visible: !messages.followEnd && (messages.unseen || !messages.atYEnd) && !view.searching
                kind: "primary"
                text: messages.unseen ? qsTr("New messages") : qsTr("Newest")
                iconName: "down"
                onClicked: messages.showNewest()
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

        // Why a message may not arrive right now, with the way out where there is one. A peer that refuses our
        // new key is not reachable either, but the note above says why: "offline" would contradict it. A peer
        // whose key changed may well be online: what we write waits all the same, for its known key or the user.
        Rectangle {
            Layout.fillWidth: true
            visible: view.blocked || view.keyChanged || (!view.online && !view.refusesOurKey)
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
                        : view.keyChanged
                        ? qsTr("Your messages to %1 wait until you accept the new key.").arg(view.alias)
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

        Rectangle {
            objectName: "offeredNote"
            Layout.fillWidth: true
            visible: view.offeredNote !== ""
            implicitHeight: offeredRow.implicitHeight + Theme.spacingXs * 2
            color: Theme.selected
            RowLayout {
                id: offeredRow
                anchors.fill: parent
                anchors.leftMargin: Theme.spacingL
                anchors.rightMargin: Theme.spacingS
                Label {
                    Layout.fillWidth: true
                    text: view.offeredNote
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    font.pixelSize: Theme.fontCaption
                    color: Theme.text
                }
                ActionButton {
                    kind: "flat"
                    text: qsTr("Show in Transfers")
                    onClicked: {
                        view.offeredNote = ""
                        view.controller.setCurrentSelectedTabIndex(2)
                    }
                }
            }
        }

        ChatComposer {
            id: composer
            Layout.fillWidth: true
            canWrite: !view.blocked
            placeholder: view.blocked ? qsTr("Unblock %1 to write").arg(view.alias)
                                      : qsTr("Message %1").arg(view.alias)
            onSendRequested: (text) => {
                // Not saved, so not sent (the program says why): the words stay to be sent again.
                if (view.controller.sendChat(view.peerId, text) === false)
                    composer.text = text
            }
            onAttachRequested: view.controller.offerChosenFilesToPeer(view.peerId)
        }
    }
}
