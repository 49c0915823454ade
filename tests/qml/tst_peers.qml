import QtQuick
import QtTest
import Vesk.Testing
import "../../qml/Vesk/desktop"

// The list of people and the peers tab: what a row shows, what activating it asks the controller for, the empty
// state, and switching between the list and a conversation.
VeskTestCase {
    id: testCase
    name: "Peers"
    width: 352
    height: 700
    visible: true
    when: windowShown

    Component {
        id: fakeGlobals
        FakeGlobals {}
    }
    Component {
        id: peerRows
        FakeTableModel {
            roles: ["id", "alias", "avatarPath", "ipAddress", "status", "unreadMessagesCount", "sysinfo", "timestamp",
                    "blocked"]
        }
    }
    Component {
        id: peersPage
        PeersPage {
            width: 352
            height: 700
        }
    }

    function peer(id, alias, status, unread, blocked) {
        return { id: id, alias: alias, avatarPath: "qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png",
                 ipAddress: "10.0.0.2", status: status, unreadMessagesCount: unread, sysinfo: "Debian 12",
                 timestamp: "1", blocked: blocked }
    }

    function makePage(rows) {
        var controller = createTemporaryObject(fakeGlobals, testCase)
        var model = createTemporaryObject(peerRows, testCase)
        model.rows = rows
        var page = createTemporaryObject(peersPage, testCase, { controller: controller, peersModel: model })
        waitForRendering(page)
        return page
    }

    function test_emptyState() {
        var page = makePage([])
        var empty = findChild(page, "peersEmpty")
        verify(empty.visible)
        compare(empty.title, "Nobody else on this network is running Vesk yet")
        verify(!findChild(page, "peerList").visible)
        // The checklist names both ports.
        var found = false
        function scan(node) {
            for (var i = 0; i < node.children.length; ++i) {
                var c = node.children[i]
                if (typeof c.text === "string" && c.text.indexOf("UDP port 45000") >= 0
                        && c.text.indexOf("TCP port 25001") >= 0)
                    found = true
                scan(c)
            }
        }
        scan(empty)
        verify(found)
        empty.actionTriggered()
        compare(page.controller.calls, ["refreshPeers()"])
    }

    function test_rows() {
        var page = makePage([peer("{bob}", "Bob", "on", "3", "no"), peer("{cleo}", "", "off", "0", "yes"),
                             peer("{dan}", "Dan", "off", "1", null)])
        var list = findChild(page, "peerList")
        verify(list.visible)
        compare(list.count, 3)
        var bob = list.itemAtIndex(0)
        compare(bob.unread, 3)
        verify(bob.online)
        compare(bob.detail, "Debian 12")
        var cleo = list.itemAtIndex(1)
        verify(cleo.isBlocked)
        compare(cleo.detail, "Blocked")
        var dan = list.itemAtIndex(2)
        compare(dan.detail, "Offline")
        verify(!dan.isBlocked)
    }

    function test_clickOpensChat() {
        var page = makePage([peer("{bob}", "Bob", "on", "0", "no")])
        var list = findChild(page, "peerList")
        mouseClick(list.itemAtIndex(0))
        compare(page.controller.calls, ["setCurrentSelectedChatPeer({bob})"])
        verify(page.chatOpen)
    }

    function test_keyboardOpensChat() {
        var page = makePage([peer("{bob}", "Bob", "on", "0", "no"), peer("{dan}", "Dan", "on", "0", "no")])
        var list = findChild(page, "peerList")
        list.forceActiveFocus()
        keyClick(Qt.Key_Down)
        compare(list.currentIndex, 1)
        verify(list.currentItem.highlighted)
        keyClick(Qt.Key_Return)
        compare(page.controller.calls, ["setCurrentSelectedChatPeer({dan})"])
    }

    function test_controllerOpensAndBackCloses() {
        var page = makePage([peer("{bob}", "Bob", "on", "0", "no")])
        verify(!page.chatOpen)
        page.controller.currentSelectedChatPeer = "{bob}"
        verify(page.chatOpen)
        page.closeChat()
        compare(page.controller.calls, ["setCurrentSelectedChatPeer()"])
        verify(!page.chatOpen)
    }

    function test_blockFromMenu() {
        var page = makePage([peer("{bob}", "Bob", "on", "0", "no")])
        var row = findChild(page, "peerList").itemAtIndex(0)
        var menu = findChild(row, "peerMenu")
        row.openMenu()
        tryVerify(() => menu.opened)
        // Second entry: Block (the first opens the chat).
        menu.itemAt(1).triggered()
        compare(page.controller.calls, ["blockUser({bob})"])
    }
}
