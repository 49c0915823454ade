import QtQuick
import QtTest
import "../../qml/Vesk/desktop"

// The window's content as the program loads it, over the fake controller and models that the test runner
// publishes under the program's names: tabs bound both ways to the controller, shortcuts, the header's count.
VeskTestCase {
    id: testCase
    name: "Main"
    width: 352
    height: 800
    visible: true
    when: windowShown

    Loader {
        id: loader
        width: 352
        height: 800
        source: "../../qml/Vesk/desktop/main.qml"
    }

    function prepare() {
        globals.currentSelectedTabIndex = 0
        globals.currentSelectedChatPeer = ""
        globals.reset()
        nodesProxyData.rows = []
        nodeData.rows = []
        tryVerify(() => loader.status === Loader.Ready)
        waitForRendering(loader.item)
    }

    function peer(id, alias) {
        return { id: id, alias: alias, avatarPath: "", ipAddress: "10.0.0.2", status: "on", unreadMessagesCount: "0",
                 sysinfo: "Linux", timestamp: "1", blocked: "no" }
    }

    function test_controllerSwitchesTabs() {
        var tabs = findChild(loader.item, "mainTabs")
        compare(tabs.currentIndex, 0)
        globals.currentSelectedTabIndex = 2
        compare(tabs.currentIndex, 2)
        globals.currentSelectedTabIndex = 1
        compare(tabs.currentIndex, 1)
        // Following the controller does not echo back into it.
        compare(globals.calls, [])
    }

    function test_clickingATabTellsTheController() {
        var tabs = findChild(loader.item, "mainTabs")
        mouseClick(tabs.itemAt(2))
        compare(globals.calls, ["setCurrentSelectedTabIndex(2)"])
        compare(globals.currentSelectedTabIndex, 2)
        mouseClick(tabs.itemAt(0))
        compare(globals.currentSelectedTabIndex, 0)
        // The binding survives the clicks: the controller still moves the tabs.
        globals.currentSelectedTabIndex = 1
        compare(tabs.currentIndex, 1)
    }

    function test_shortcuts() {
        loader.item.forceActiveFocus()
        keyClick(Qt.Key_3, Qt.ControlModifier)
        compare(globals.currentSelectedTabIndex, 2)
        keyClick(Qt.Key_O, Qt.ControlModifier)
        verify(globals.called("selectFiles()"))
        keyClick(Qt.Key_R, Qt.ControlModifier)
        verify(globals.called("refreshPeers()"))
    }

    function test_headerCountsOnlinePeers() {
        var summary = findChild(loader.item, "onlineSummary")
        compare(summary.text, "Nobody else online")
        nodesProxyData.rows = [peer("{b}", "Bob")]
        compare(summary.text, "1 person online")
        nodesProxyData.rows = [peer("{b}", "Bob"), peer("{c}", "Cleo")]
        compare(summary.text, "2 people online")
    }

    function test_emptyNetworkExplainsItself() {
        var empty = findChild(loader.item, "peersEmpty")
        verify(empty.visible)
        nodeData.rows = [peer("{b}", "Bob")]
        verify(!empty.visible)
    }

    function menuItem(menu, name) {
        for (var i = 0; i < menu.count; ++i) {
            if (menu.itemAt(i).objectName === name)
                return menu.itemAt(i)
        }
        return null
    }

    function test_settingsMenuSaysWhatAutomaticOpeningDoes() {
        var menu = findChild(loader.item, "settingsMenu")
        mouseClick(findChild(loader.item, "menuButton"))
        tryVerify(() => menu.opened)
        var autoOpen = menuItem(menu, "autoOpenItem")
        var explanation = findChild(autoOpen, "description")
        verify(explanation.visible)
        compare(explanation.text, "Open received files when they arrive (never programs or scripts)")
        // Both lines fit in the entry.
        verify(explanation.mapToItem(autoOpen, 0, explanation.height).y <= autoOpen.height)
        verify(!findChild(menuItem(menu, "startOnLoginItem"), "description").visible)
        mouseClick(autoOpen)
        verify(globals.called("toggleAutomaticallyOpenDownloadedFiles()"))
        menu.close()
        tryVerify(() => !menu.visible)
    }
}
