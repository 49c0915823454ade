import QtQuick
import QtTest
import Vesk.Testing
import "../../qml/Vesk/desktop"

// The send tab over the program's own files model: adding, ticking and removing files, when sending is possible.
VeskTestCase {
    name: "Files"

    Component { id: filesPage; FilesPage { width: 352; height: 900 } }
    Component { id: filesModel; FileStandardItemModel {} }
    Component { id: filesView; FileSortFilterProxyModel {} }

    // Adds the files as the program does when they are picked: ticked, sized, in the order given.
    function makePage(files, props) {
        var model = make(filesModel)
        var view = make(filesView, { sourceModel: model })
        view.sort(0)
        var page = show(filesPage, { controller: controller(props), filesModel: model, filesView: view,
                                     recipientsModel: table([{ id: "{bob}", alias: "Bob", avatarPath: "" }]) })
        verify(findChild(page, "filesEmpty").visible)
        model.insertColumns(0, 1)
        model.insertRows(0, files.length)
        files.forEach((name, row) => ["file:///tmp/" + name, name, name.length * 500000, "", true].forEach(
            (value, i) => model.setData(model.index(row, 0), value, FileStandardItemModel.FileURLRole + i)))
        waitForRendering(page)
        return page
    }

    function test_addTickAndRemove() {
        var list = findChild(makePage(["bb.txt", "A.pdf"]), "fileList")
        compare([0, 1].map(i => list.itemAtIndex(i).Accessible.name), ["A.pdf, 2.5 MB", "bb.txt, 3.0 MB"])
        mouseClick(list.itemAtIndex(1))
        compare([list.itemAtIndex(0).selected, list.itemAtIndex(1).selected], [true, false])
        mouseClick(findChild(list.itemAtIndex(0), "removeFileButton"))
        waitForRendering(list)
        compare([list.count, list.itemAtIndex(0).fileName], [1, "bb.txt"])
    }

    function test_sendButton_data() {
        return [
            { tag: "nothing ticked", files: 0, pick: true, enabled: false, label: "Select files to send" },
            { tag: "nobody chosen", files: 1, pick: false, enabled: false, label: "Choose who gets them" },
            { tag: "ready", files: 2, pick: true, enabled: true, label: "Send 2 files to 1 person" }
        ]
    }
    function test_sendButton(data) {
        var page = makePage(["a.pdf"], { numberOfSelectedFiles: data.files })
        if (data.pick)
            mouseClick(findChild(page, "recipientList").itemAtIndex(0))
        var button = findChild(page, "sendFilesButton")
        compare([page.controller.selectedPeersCount, button.enabled, button.text],
                [data.pick ? 1 : 0, data.enabled, data.label])
        mouseClick(button)
        compare(page.controller.calls.includes("sendHighlightedFiles()"), data.enabled)
    }
}
