import QtQuick
import QtQuick.Templates as T
import Vesk.Core
import "Security.js" as Security

// What can be done with one peer: open the conversation, compare security codes (or accept a changed key), block
// or unblock. Blocking asks for confirmation in the controller's own dialog.
AppMenu {
    id: menu

    property var controller
    property string peerId
    property string name
    property int security: SecurityState.Plain
    property bool blocked: false
    property bool showOpenChat: true

    implicitWidth: 260

    // The code's dialog belongs to the window, not to the row that asked for it: the list may re-create its rows
    // while the dialog is open.
    function openSecurity() {
        Qt.createComponent("SecurityCodeDialog.qml").createObject(T.Overlay.overlay, {
            controller: menu.controller, peerId: menu.peerId, name: menu.name })
    }

    AppMenuItem {
        text: qsTr("Open chat")
        visible: menu.showOpenChat
        height: visible ? implicitHeight : 0
        enabled: !menu.blocked
        onTriggered: menu.controller.setCurrentSelectedChatPeer(menu.peerId)
    }
    AppMenuItem {
        objectName: "compareCodeItem"
        text: qsTr("Compare security code…")
        visible: menu.security !== SecurityState.KeyChanged
        height: visible ? implicitHeight : 0
        // A plain peer has no code: the entry says why.
        enabled: menu.security !== SecurityState.Plain
        description: menu.security === SecurityState.Plain ? Security.describe(menu.security, menu.name)
                   : menu.security === SecurityState.Verified ? qsTr("Verified") : ""
        onTriggered: menu.openSecurity()
    }
    AppMenuItem {
        objectName: "acceptKeyItem"
        text: qsTr("Accept new security key…")
        visible: menu.security === SecurityState.KeyChanged
        height: visible ? implicitHeight : 0
        description: Security.describe(menu.security, menu.name)
        destructive: true
        onTriggered: menu.openSecurity()
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
