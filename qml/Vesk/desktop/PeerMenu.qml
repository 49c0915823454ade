import QtQuick

// What can be done with one peer: open the conversation, block or unblock. Blocking asks for confirmation in
// the controller's own dialog.
AppMenu {
    id: menu

    property var controller
    property string peerId
    property bool blocked: false
    property bool showOpenChat: true

    implicitWidth: 200

    AppMenuItem {
        text: qsTr("Open chat")
        visible: menu.showOpenChat
        height: visible ? implicitHeight : 0
        enabled: !menu.blocked
        onTriggered: menu.controller.setCurrentSelectedChatPeer(menu.peerId)
    }
    AppMenuItem {
        text: menu.blocked ? qsTr("Unblock") : qsTr("Block…")
        destructive: !menu.blocked
        onTriggered: {
            if (menu.blocked)
                menu.controller.unblockUser(menu.peerId)
            else // the question opens once the menu has closed, not with the menu drawn behind it
                Qt.callLater(menu.controller.blockUser, menu.peerId) // qmllint disable type
        }
    }
}
