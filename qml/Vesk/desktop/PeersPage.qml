import QtQuick
import QtQuick.Controls.Basic

// Tab 0: the people on the network, or the conversation with one of them. Which one shows follows the
// controller's selected peer, so a click on a chat popup opens the right conversation too.
Item {
    id: page

    property var controller
    property var peersModel
    property var chatModel
    property int revision: 0

    readonly property string chatPeer: controller ? controller.currentSelectedChatPeer : ""
    readonly property bool chatOpen: chatPeer !== ""

    function closeChat() {
        // Leaving the conversation clears the selection, so new messages from that peer count as unread again.
        controller.setCurrentSelectedChatPeer("")
        peerList.focusList()
    }

    onChatOpenChanged: {
        if (chatOpen && visible)
            Qt.callLater(chatView.focusComposer)
    }

    PeerList {
        id: peerList
        anchors.fill: parent
        visible: !page.chatOpen
        controller: page.controller
        peersModel: page.peersModel
        revision: page.revision
    }

    ChatView {
        id: chatView
        anchors.fill: parent
        visible: page.chatOpen
        controller: page.controller
        chatModel: page.chatModel
        peerId: page.chatPeer
        revision: page.revision
        onBackRequested: page.closeChat()
    }
}
