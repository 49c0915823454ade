import QtQuick
import QtTest
import Vesk.Testing
import "../../qml/Vesk/desktop"

// The transfers tab: each row's actions reach the controller with the right id, the current download shows its
// progress, speed and time left, offers show their state, and an empty tab says so.
VeskTestCase {
    id: testCase
    name: "Transfers"
    width: 352
    height: 900
    visible: true
    when: windowShown

    readonly property var downloadRoles: ["id", "status", "nodefrom", "filename", "filesize", "downloadsize", "timestamp", "peerAlias"]
    readonly property var uploadRoles: ["id", "url", "nodeto", "filename", "filesize", "bytesSent", "timesent", "status", "peerAlias"]

    Component {
        id: fakeGlobals
        FakeGlobals {
            downloadPaths: ({ "d3": "/home/ann/Documents/Vesk/notes.txt" })
        }
    }
    Component {
        id: rowsModel
        FakeTableModel {}
    }
    Component {
        id: transfersPage
        TransfersPage {
            width: 352
            height: 900
        }
    }

    // The rows carry the other side's alias, as the program's transfer lists do.
    readonly property var aliases: ({ "{bob}": "Bob", "{cleo}": "Cleo" })
    function download(id, status, from, name, size) {
        return { id: id, status: status, nodefrom: from, filename: name, filesize: "" + size, downloadsize: "0",
                 timestamp: "" + Date.now(), peerAlias: aliases[from] }
    }
    function upload(id, to, name, size, sent, status) {
        return { id: id, url: "/tmp/" + name, nodeto: to, filename: name, filesize: size, bytesSent: sent,
                 timesent: Date.now(), status: status, peerAlias: aliases[to] }
    }

    function makePage(pending, queued, completed, uploads, globalsProps) {
        var controller = createTemporaryObject(fakeGlobals, testCase, globalsProps || {})
        function model(roles, rows) {
            var m = createTemporaryObject(rowsModel, testCase, { roles: roles })
            m.rows = rows
            return m
        }
        var page = createTemporaryObject(transfersPage, testCase, {
            controller: controller,
            pendingModel: model(downloadRoles, pending),
            queueModel: model(downloadRoles, queued),
            completedModel: model(downloadRoles, completed),
            uploadsModel: model(uploadRoles, uploads)
        })
        waitForRendering(page)
        return page
    }

    function rowFor(page, objectName) {
        var button = findChild(page, objectName)
        verify(button, objectName)
        return button
    }

    function test_empty() {
        var page = makePage([], [], [], [])
        verify(page.empty)
        verify(findChild(page, "transfersEmpty").visible)
    }

    function test_pendingActions() {
        var page = makePage([download("d1", "unknown", "{bob}", "song.mp3", 4000000)], [], [], [])
        compare(page.pendingCount, 1)
        verify(!findChild(page, "transfersEmpty").visible)
        mouseClick(rowFor(page, "downloadButton"))
        mouseClick(rowFor(page, "deleteButton"))
        mouseClick(rowFor(page, "downloadAllButton"))
        compare(page.controller.calls, ["queueFileToDownload(d1)", "deleteFileToDownload(d1)", "downloadAllPending()"])
        var row = findChild(page, "downloadButton").parent.parent.parent
        compare(row.detail, "From Bob · 4.0 MB")
    }

    function test_queueProgressSpeedAndTimeLeft() {
        var page = makePage([], [download("d2", "queued", "{bob}", "film.mkv", 10000000),
                                 download("d4", "queued", "{cleo}", "big.iso", 90000000)], [], [],
                            { currentDownloadingFileId: "d2", currentDownloadFileSize: 1000000 })
        var meter = page.meter
        compare(meter.fileId, "d2")
        compare(meter.fileSize, 10000000)
        meter.sample(1000000, 10000)
        meter.sample(3000000, 12000)
        compare(meter.bytesPerSecond, 1000000)
        compare(meter.secondsLeft, 7)
        // The estimate goes to the controller, which keeps it for everyone who shows it.
        compare(page.controller.numberOfSecondsRemainingForCurrentDownload, 7)

        var pauses = []
        function collect(node) {
            for (var i = 0; i < node.children.length; ++i) {
                var c = node.children[i]
                if (c.fileId !== undefined && c.current !== undefined)
                    pauses.push(c)
                collect(c)
            }
        }
        collect(page)
        compare(pauses.length, 2)
        var current = pauses[0].current ? pauses[0] : pauses[1]
        var waiting = pauses[0].current ? pauses[1] : pauses[0]
        compare(current.fileId, "d2")
        verify(current.showProgress)
        compare(current.progress, 0.3)
        compare(current.detail, "From Bob · 3.0 MB of 10.0 MB")
        compare(current.note, "1.0 MB/s · 7 s left")
        verify(!waiting.showProgress)
        compare(waiting.detail, "From Cleo · 90.0 MB · queued")

        mouseClick(findChild(current, "pauseButton"))
        mouseClick(rowFor(page, "pauseAllButton"))
        compare(page.controller.calls, ["pauseFileToDownload(d2)", "pauseAllPendingDownloads()"])
    }

    function test_stalledDownloadSaysSo() {
        var page = makePage([], [download("d2", "queued", "{bob}", "film.mkv", 10000000)], [], [],
                            { currentDownloadingFileId: "d2" })
        page.meter.stallAfterMs = 100
        page.meter.sample(1000, Date.now() - 1000)
        tryVerify(() => page.meter.stalled, 3000)
    }

    function test_uploads_data() {
        return [
            { tag: "not confirmed", status: "unknown", sent: "0", progress: false, note: "Not delivered yet" },
            { tag: "confirmed", status: "sent", sent: "0", progress: false, note: "Delivered · not downloaded yet" },
            { tag: "being fetched", status: "sent", sent: "2000000", progress: true,
              note: "Downloaded 2.0 MB of 5.0 MB" }
        ]
    }
    function test_uploads(data) {
        var page = makePage([], [], [], [upload("u1", "{cleo}", "photos.zip", "5000000", data.sent, data.status)])
        var button = rowFor(page, "withdrawButton")
        var row = button.parent.parent.parent
        compare(row.detail, "To Cleo · 5.0 MB")
        compare(row.note, data.note)
        compare(row.showProgress, data.progress)
        mouseClick(button)
        mouseClick(rowFor(page, "withdrawAllButton"))
        compare(page.controller.calls, ["deleteFileToSend(u1)", "clearAllPendingUploads()"])
    }

    function test_completed() {
        var page = makePage([], [], [download("d3", "downloaded", "{cleo}", "notes.txt", 1200)], [])
        mouseClick(rowFor(page, "openButton"))
        mouseClick(rowFor(page, "openFolderButton"))
        mouseClick(rowFor(page, "clearButton"))
        compare(page.controller.calls, ["openDownloadedFile(/home/ann/Documents/Vesk/notes.txt)",
                                        "openDownloadedFilesFolder()", "clearAllPendingDownloads()"])
    }
}
