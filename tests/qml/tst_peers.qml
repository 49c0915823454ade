import QtQuick
import QtTest
import "../../qml/Vesk/desktop"

// The people tab: who is online and who is not, opening a conversation, and the conversation itself.
VeskTestCase {
    name: "Peers"

    Component { id: peersPage; PeersPage { width: 352; height: 700 } }

    function peer(id, status, blocked) {
        return { id: id, alias: id, avatarPath: "", status: status, sysinfo: "Debian 12", blocked: blocked || "no" }
    }
    function message(text, from, status) {
        return { id: text, message: text, peerfrom: from, status: status, timesent: "1" }
    }
    function makePage(peers, chats, props) {
        return show(peersPage, { controller: controller(props), peersModel: table(peers), chatModel: table(chats) })
    }

    function test_listAndOpeningAConversation() {
        var page = makePage([peer("{bob}", "on"), peer("{cleo}", "off", "yes"), peer("{dan}", "off")])
        var list = findChild(page, "peerList")
        compare([0, 1, 2].map(i => list.itemAtIndex(i).detail), ["Debian 12", "Blocked", "Offline"])
        // One "Offline" heading, between the online and the offline people.
        var headings = findAll(list, "peerSection").filter(heading => heading.height > 0)
        compare(headings.length, 1)
        verify(headings[0].y > list.itemAtIndex(0).y && headings[0].y < list.itemAtIndex(1).y)
        mouseClick(list.itemAtIndex(0))
        verify(page.chatOpen)
        mouseClick(findChild(page, "backButton"))
        compare(page.controller.calls, ["setCurrentSelectedChatPeer({bob})", "setCurrentSelectedChatPeer()"])
        verify(!page.chatOpen)
    }

    function test_ownAndPeerMessages() {
        var page = makePage([], [message("hi", "{host}", "sent"), message("there?", "{host}", "unknown"),
                                 message("<b>yes</b>", "{bob}", "unknown")], { currentSelectedChatPeer: "{bob}" })
        var list = findChild(page, "messageList")
        var rows = [0, 1, 2].map(i => { list.positionViewAtIndex(i, ListView.Contain); return list.itemAtIndex(i) })
        compare(rows.map(r => findChild(r, "deliveryLabel").visible ? findChild(r, "deliveryLabel").text : ""),
                ["Delivered", "Waiting", ""])
        // Own bubbles on the right, the peer's on the left; what a peer writes shows as typed, never as markup.
        verify(findChild(rows[0], "bubble").x > findChild(rows[2], "bubble").x + 50)
        compare(findChild(rows[2], "messageText").textFormat, TextEdit.PlainText)
    }

    function test_composer_data() {
        return [
            { tag: "enter sends and clears", keys: [Qt.Key_H, Qt.Key_I], sent: ["sendChat({bob},hi)"] },
            { tag: "shift+enter breaks the line", keys: [Qt.Key_A, "shift", Qt.Key_B], sent: ["sendChat({bob},a\nb)"] },
            { tag: "white space is not sent", keys: [Qt.Key_Space, Qt.Key_Tab], sent: [], left: " \t" },
            { tag: "offline: sent later", status: "off", keys: [Qt.Key_H], sent: ["sendChat({bob},h)"], notice: true },
            { tag: "blocked: nothing", blocked: "yes", keys: [Qt.Key_H], sent: [], notice: true }
        ]
    }
    function test_composer(data) {
        var page = makePage([], [], { currentSelectedChatPeer: "{bob}", statuses: { "{bob}": data.status || "on" },
                                      blockedStatuses: { "{bob}": data.blocked || "no" } })
        findChild(page, "composerInput").forceActiveFocus()
        data.keys.forEach(key => key === "shift" ? keyClick(Qt.Key_Return, Qt.ShiftModifier) : keyClick(key))
        keyClick(Qt.Key_Return)
        compare(page.controller.calls, data.sent)
        compare(findChild(page, "composerInput").text, data.left || "")
        compare(findChild(page, "chatNotice").visible, !!data.notice)
    }
}
