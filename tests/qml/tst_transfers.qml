import QtQuick
import QtTest
import "../../qml/Vesk/desktop"
import "../../qml/Vesk/desktop/Format.js" as Format

// The transfers tab: what each kind of row tells and asks the controller for, and the sizes and times it shows.
VeskTestCase {
    name: "Transfers"

    Component { id: transfersPage; TransfersPage { width: 352; height: 900 } }

    function download(id, size) {
        return { id: id, status: "queued", nodefrom: "{bob}", filename: id + ".mkv", filesize: "" + size,
                 peerAlias: "Bob" }
    }
    function makePage(lists, props) {
        return show(transfersPage, { controller: controller(props),
                                     pendingModel: table(lists.pending), queueModel: table(lists.queued),
                                     completedModel: table(), uploadsModel: table(lists.uploads) })
    }

    function test_rows_data() {
        return [
            { tag: "offered", row: "pendingRow", text: ["From Bob · 4.0 MB", "", false] },
            { tag: "paused", row: "pendingRow", onDisk: 1000000, text: ["1.0 MB of 4.0 MB", "Paused by you", false] },
            { tag: "owner away", row: "pendingRow", onDisk: 1000000, waiting: true,
              text: ["1.0 MB of 4.0 MB", "Waiting for Bob to come back", false] },
            { tag: "offer not confirmed", row: "uploadRow", status: "unknown",
              text: ["To Bob · 5.0 MB", "Not delivered yet", false] },
            { tag: "offer confirmed", row: "uploadRow",
              text: ["To Bob · 5.0 MB", "Delivered · not downloaded yet", false] },
            { tag: "offer being fetched", row: "uploadRow", sent: "2000000",
              text: ["To Bob · 5.0 MB", "Downloaded 2.0 MB of 5.0 MB", true] }
        ]
    }
    function test_rows(data) {
        var upload = { id: "u1", url: "/tmp/a.zip", nodeto: "{bob}", filename: "a.zip", filesize: 5000000,
                       bytesSent: data.sent || 0, timesent: "1", status: data.status || "sent", peerAlias: "Bob" }
        var row = findChild(makePage({ pending: [download("d1", 4000000)], uploads: [upload] },
                                     { onDisk: { d1: data.onDisk || 0 }, waitingForOwner: { d1: !!data.waiting } }),
                            data.row)
        compare([row.detail, row.note, row.showProgress], data.text)
        mouseClick(findChild(row, data.row === "pendingRow" ? "downloadButton" : "withdrawButton"))
        compare(row.controller.calls, [data.row === "pendingRow" ? "queueFileToDownload(d1)" : "deleteFileToSend(u1)"])
    }

    function test_currentDownload() {
        var page = makePage({ queued: [download("d2", 10000000), download("d4", 90000000)] },
                            { currentDownloadingFileId: "d2" })
        page.meter.sample(1000000, 10000)
        page.meter.sample(3000000, 12000)
        var rows = findAll(page, "queuedRow")
        compare(rows.map(r => [r.showProgress, r.progress, r.detail, r.note]),
                [[true, 0.3, "From Bob · 3.0 MB of 10.0 MB", "1.0 MB/s · 7 s left"],
                 [false, 0, "From Bob · 90.0 MB · queued", ""]])
        compare(page.controller.numberOfSecondsRemainingForCurrentDownload, 7)
        page.meter.stallAfterMs = 100
        tryCompare(rows[0], "note", "Waiting for Bob…", 3000)
        mouseClick(findChild(rows[0], "pauseButton"))
        compare(page.controller.calls, ["pauseFileToDownload(d2)"])
    }

    function test_formats_data() {
        var now = new Date(2024, 5, 15, 12, 0).getTime(), christmas2013 = new Date(2013, 11, 24).getTime()
        return [
            { tag: "bytes", text: Format.formatBytes(999), expected: "999 B" },
            { tag: "two digits keep a decimal", text: Format.formatBytes(15250000), expected: "15.3 MB" },
            { tag: "over 4 GB", text: Format.formatBytes(4294967296), expected: "4.3 GB" },
            { tag: "minutes", text: Format.formatDuration(125), expected: "2 min 5 s" },
            { tag: "days", text: Format.formatDuration(273600), expected: "3 d 4 h" },
            { tag: "today", text: Format.formatTimestamp(now - 3 * 3600000, now), expected: "09:00" },
            { tag: "yesterday", text: Format.formatTimestamp(now - 24 * 3600000, now), expected: "Yesterday 12:00" },
            { tag: "earlier year", text: Format.formatTimestamp(christmas2013, now), expected: "24 Dec 2013" }
        ]
    }
    function test_formats(data) { compare(data.text, data.expected) }
}
