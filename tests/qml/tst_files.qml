import QtQuick
import QtTest
import Vesk.Testing
import "../../qml/Vesk/desktop"

// The send tab: the picked files with size and tick, the recipients, and when the send button may be used.
VeskTestCase {
    id: testCase
    name: "Files"
    width: 352
    height: 700
    visible: true
    when: windowShown

    Component {
        id: fakeGlobals
        FakeGlobals {}
    }
    Component {
        id: fakeFilesModel
        QtObject {
            property var calls: []
            function toggleHighlightFlag(url) { calls = calls.concat(["toggleHighlightFlag(" + url + ")"]) }
            function clearSelected() { calls = calls.concat(["clearSelected()"]) }
            function removeFile(url) { calls = calls.concat(["removeFile(" + url + ")"]) }
        }
    }
    Component {
        id: rowsModel
        FakeTableModel {}
    }
    Component {
        id: filesPage
        FilesPage {
            width: 352
            height: 700
        }
    }

    function makePage(files, peers, globalsProps) {
        var controller = createTemporaryObject(fakeGlobals, testCase, globalsProps || {})
        var filesModel = createTemporaryObject(fakeFilesModel, testCase)
        var view = createTemporaryObject(rowsModel, testCase,
                                         { roles: ["fileURL", "fileName", "totalByteSize", "thumbnail", "selected"] })
        view.rows = files
        var recipients = createTemporaryObject(rowsModel, testCase,
                                               { roles: ["id", "alias", "avatarPath", "status", "blocked"] })
        recipients.rows = peers
        var page = createTemporaryObject(filesPage, testCase, { controller: controller, filesModel: filesModel,
                                                                 filesView: view, recipientsModel: recipients })
        waitForRendering(page)
        return page
    }

    function file(name, size, selected) {
        return { fileURL: "file:///tmp/" + name, fileName: name, totalByteSize: size,
                 thumbnail: "qrc:/qml/Vesk/pics/fileicons/fileicon_bg.png", selected: selected }
    }
    function online(id, alias) {
        return { id: id, alias: alias, avatarPath: "", status: "on", blocked: "no" }
    }

    function test_emptyState() {
        var page = makePage([], [online("{bob}", "Bob")])
        verify(findChild(page, "filesEmpty").visible)
        verify(!findChild(page, "fileList").visible)
        verify(!findChild(page, "sendFilesButton").visible)
        findChild(page, "filesEmpty").actionTriggered()
        compare(page.controller.calls, ["selectFiles()"])
    }

    function test_rowsShowSizeAndTick() {
        var page = makePage([file("a.pdf", 1500000, true), file("b.txt", 12, false)], [])
        var list = findChild(page, "fileList")
        compare(list.count, 2)
        var a = list.itemAtIndex(0)
        compare(a.fileName, "a.pdf")
        compare(a.fileSize, 1500000)
        verify(a.selected)
        verify(!list.itemAtIndex(1).selected)
        verify(a.Accessible.name.indexOf("1.5 MB") > 0)
        mouseClick(list.itemAtIndex(1))
        compare(page.filesModel.calls, ["toggleHighlightFlag(file:///tmp/b.txt)"])
    }

    function test_keyboardToggles() {
        var page = makePage([file("a.pdf", 1, true)], [])
        var list = findChild(page, "fileList")
        list.forceActiveFocus()
        keyClick(Qt.Key_Space)
        compare(page.filesModel.calls, ["toggleHighlightFlag(file:///tmp/a.pdf)"])
    }

    function test_sendEnabledOnlyWithFilesAndPeers_data() {
        return [
            { tag: "nothing ticked", files: 0, peers: ["{bob}"], enabled: false, label: "Select files to send" },
            { tag: "nobody chosen", files: 1, peers: [], enabled: false, label: "Choose who gets them" },
            { tag: "ready", files: 2, peers: ["{bob}"], enabled: true, label: "Send 2 files to 1 person" }
        ]
    }
    function test_sendEnabledOnlyWithFilesAndPeers(data) {
        var page = makePage([file("a.pdf", 1, true), file("b.pdf", 1, true)], [online("{bob}", "Bob")],
                            { numberOfSelectedFiles: data.files, selectedPeers: data.peers })
        var button = findChild(page, "sendFilesButton")
        compare(button.enabled, data.enabled)
        compare(button.text, data.label)
        page.send()
        compare(page.controller.called("sendHighlightedFiles()"), data.enabled)
    }

    function test_recipientsToggle() {
        var page = makePage([file("a.pdf", 1, true)], [online("{bob}", "Bob"), online("{dan}", "Dan")],
                            { numberOfSelectedFiles: 1 })
        var list = findChild(page, "recipientList")
        compare(list.count, 2)
        var dan = list.itemAtIndex(1)
        verify(!dan.selected)
        mouseClick(dan)
        compare(page.controller.calls, ["togglePeerSelection({dan})"])
        verify(dan.selected)
        verify(findChild(page, "sendFilesButton").enabled)
        mouseClick(findChild(page, "sendFilesButton"))
        verify(page.controller.called("sendHighlightedFiles()"))
    }

    function test_nobodyOnline() {
        var page = makePage([file("a.pdf", 1, true)], [], { numberOfSelectedFiles: 1 })
        verify(findChild(page, "noRecipients").visible)
        verify(!findChild(page, "sendFilesButton").enabled)
    }
}
