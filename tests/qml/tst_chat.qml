import QtQuick
import QtTest
import Vesk.Testing
import "../../qml/Vesk/desktop"

// The conversation view: delivery states of own messages, plain-text rendering of what peers send, the
// composer's keys and enabled states, blocking and leaving the conversation.
VeskTestCase {
    id: testCase
    name: "Chat"
    width: 352
    height: 700
    visible: true
    when: windowShown

    Component {
        id: fakeGlobals
        FakeGlobals {
            aliases: ({ "{bob}": "Bob" })
            statuses: ({ "{bob}": "on" })
        }
    }
    Component {
        id: chatRows
        FakeTableModel {
            roles: ["id", "message", "peerfrom", "peerto", "status", "timesent"]
        }
    }
    Component {
        id: chatView
        ChatView {
            width: 352
            height: 700
            peerId: "{bob}"
        }
    }

    function makeView(rows, globalsProps) {
        var controller = createTemporaryObject(fakeGlobals, testCase, globalsProps || {})
        var model = createTemporaryObject(chatRows, testCase)
        model.rows = rows
        var view = createTemporaryObject(chatView, testCase, { controller: controller, chatModel: model })
        verify(view)
        waitForRendering(view)
        return view
    }

    function messageDelegates(view) {
        var list = findChild(view, "messageList")
        var items = []
        for (var i = 0; i < list.count; ++i) {
            list.positionViewAtIndex(i, ListView.Contain)
            items.push(list.itemAtIndex(i))
        }
        return items
    }

    function test_deliveryStates() {
        var now = Date.now()
        var view = makeView([
            { id: "1", message: "hi Bob", peerfrom: "{host}", peerto: "{bob}", status: "sent", timesent: "" + now },
            { id: "2", message: "are you there?", peerfrom: "{host}", peerto: "{bob}", status: "unknown",
              timesent: "" + now },
            { id: "3", message: "yes", peerfrom: "{bob}", peerto: "{host}", status: "unknown", timesent: "" + now }
        ])
        var items = messageDelegates(view)
        compare(items.length, 3)
        verify(items[0].own)
        compare(items[0].deliveryText, "Delivered")
        compare(findChild(items[0], "deliveryLabel").text, "Delivered")
        compare(items[1].deliveryText, "Waiting")
        verify(!items[2].own)
        compare(items[2].deliveryText, "")
        verify(!findChild(items[2], "deliveryLabel").visible)
        // Own bubbles sit on the right, the peer's on the left.
        verify(items[0].children[1].x > items[2].children[1].x)
    }

    function test_peerTextIsPlain() {
        var view = makeView([
            { id: "1", message: "<b>bold</b> & <img src=x>", peerfrom: "{bob}", peerto: "{host}",
              status: "unknown", timesent: "1" }
        ])
        var item = messageDelegates(view)[0]
        compare(item.message, "<b>bold</b> & <img src=x>")
        var texts = []
        function collect(node) {
            for (var i = 0; i < node.children.length; ++i) {
                var child = node.children[i]
                if (child.textFormat !== undefined && child.text === item.message)
                    texts.push(child)
                collect(child)
            }
        }
        collect(item)
        verify(texts.length > 0)
        for (var t = 0; t < texts.length; ++t)
            compare(texts[t].textFormat, Text.PlainText)
    }

    function test_enterSendsShiftEnterBreaksLine() {
        var view = makeView([])
        var input = findChild(view, "composerInput")
        input.forceActiveFocus()
        keyClick(Qt.Key_H)
        keyClick(Qt.Key_I)
        keyClick(Qt.Key_Return, Qt.ShiftModifier)
        keyClick(Qt.Key_Y)
        compare(input.text, "hi\ny")
        verify(view.controller.calls.length === 0)
        keyClick(Qt.Key_Return)
        compare(view.controller.calls, ["sendChat({bob},hi\ny)"])
        compare(input.text, "")
    }

    function test_whiteSpaceIsNotSent() {
        var view = makeView([])
        var input = findChild(view, "composerInput")
        var send = findChild(view, "sendButton")
        verify(!send.enabled)
        input.forceActiveFocus()
        keyClick(Qt.Key_Space)
        keyClick(Qt.Key_Tab)
        verify(!send.enabled)
        keyClick(Qt.Key_Enter)
        compare(view.controller.calls, [])
        keyClick(Qt.Key_A)
        verify(send.enabled)
        mouseClick(send)
        compare(view.controller.calls.length, 1)
        // Leading and trailing space are the author's: kept.
        compare(view.controller.calls[0], "sendChat({bob}, \ta)")
    }

    function test_blockedPeer() {
        var view = makeView([], { blockedStatuses: { "{bob}": "yes" } })
        verify(view.blocked)
        var input = findChild(view, "composerInput")
        verify(!input.enabled)
        verify(!findChild(view, "sendButton").enabled)
        var notice = findChild(view, "chatNotice")
        verify(notice.visible)
        compare(notice.text, "You blocked Bob.")
    }

    function test_offlineNotice() {
        var view = makeView([], { statuses: { "{bob}": "off" } })
        verify(!view.online)
        var notice = findChild(view, "chatNotice")
        verify(notice.visible)
        verify(notice.text.indexOf("Bob is offline") === 0)
        verify(findChild(view, "composerInput").enabled)
    }

    function test_onlinePeerHasNoNotice() {
        var view = makeView([])
        verify(!findChild(view, "chatNotice").visible)
    }

    function test_escapeAndBackLeave() {
        var view = makeView([])
        var spy = createTemporaryObject(signalSpyComponent, testCase, { target: view, signalName: "backRequested" })
        findChild(view, "composerInput").forceActiveFocus()
        keyClick(Qt.Key_Escape)
        compare(spy.count, 1)
        mouseClick(findChild(view, "backButton"))
        compare(spy.count, 2)
    }

    function test_revisionRereadsPeerFacts() {
        var view = makeView([])
        compare(view.alias, "Bob")
        view.controller.aliases = { "{bob}": "Robert" }
        view.revision++
        compare(view.alias, "Robert")
    }

    Component {
        id: signalSpyComponent
        SignalSpy {}
    }
}
