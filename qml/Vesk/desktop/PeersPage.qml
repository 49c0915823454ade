import QtQuick

// Tab 0: the people on the network, or the conversation with one of them. Which one shows follows the
// controller's selected peer, so a click on a chat popup opens the right conversation too.
Item {
    id: page

    property var controller
    property var peersModel
    property var chatModel

    readonly property string chatPeer: controller ? controller.currentSelectedChatPeer : ""
    readonly property bool chatOpen: chatPeer !== ""

    function closeChat() {
        // Leaving the conversation clears the selection, so new messages from that peer count as unread again.
        controller.setCurrentSelectedChatPeer("")
        peerList.focusList()
    }

    onChatOpenChanged: {
        if (chatOpen && visible)
            Qt.callLater(chatView.focusComposer) // qmllint disable type
    }

    PeerList {
        id: peerList
        anchors.fill: parent
        visible: !page.chatOpen
        controller: page.controller
        peersModel: page.peersModel
    }

    ChatView {
        id: chatView
        anchors.fill: parent
        visible: page.chatOpen
        controller: page.controller
        chatModel: page.chatModel
        peersModel: page.peersModel
        peerId: page.chatPeer
        onBackRequested: page.closeChat()
    }
}
