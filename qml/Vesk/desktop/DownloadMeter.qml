import QtQuick
import "DownloadEstimate.js" as Estimate

// Watches the download in progress: how far it is, how fast it goes, how long it still takes. The controller
// reports the size on disk about every two seconds while it grows; the estimate of the time left is written
// back to the controller, which keeps it for everyone else who shows it.
Item {
    id: meter

    property var controller
    property var queueModel            // the queued downloads, to learn the offered size of the current one
    property int stallAfterMs: 5000    // no growth for this long: show that we are waiting for the peer

    readonly property string fileId: controller ? controller.currentDownloadingFileId : ""
    // The folder the file belongs to, if any: the folder's entry shows the progress.
    property string folderId
    property real fileSize: 0
    property real bytesDone: 0
    property real bytesPerSecond: 0
    property real secondsLeft: -1
    property bool stalled: false

    property var last: null   // {bytes, ms, speed} of the previous sample
    property string measuredId: ""

    // The offered size of a download, from its row (it may not be listed yet when its first bytes arrive).
    function sizeOf(id) {
        return queueModel ? Number(queueModel.readRow("vesk_downloads", id).byteSize) || 0 : 0
    }

    function restart() {
        measuredId = fileId
        last = null
        bytesPerSecond = 0
        secondsLeft = -1
        stalled = false
        fileSize = fileId === "" ? 0 : sizeOf(fileId)
        var row = fileId === "" || !queueModel ? null : queueModel.readRow("vesk_downloads", fileId)
        folderId = row && row.folderId ? String(row.folderId) : ""
        bytesDone = fileId === "" || !controller ? 0 : Number(controller.currentDownloadFileSize) || 0
        if (fileId !== "")
            last = { bytes: bytesDone, ms: Date.now(), speed: 0 }
    }

    // One reading of the size on disk at time ms.
    function sample(bytes, ms) {
        if (fileId !== measuredId)
            restart()
        if (fileId === "")
            return
        if (fileSize <= 0)
            fileSize = sizeOf(fileId)
        var speed = Estimate.nextSpeed(last, bytes, ms)
        last = { bytes: bytes, ms: ms, speed: speed }
        bytesDone = bytes
        bytesPerSecond = speed
        stalled = false
        secondsLeft = Estimate.secondsRemaining(fileSize, bytes, speed)
        if (secondsLeft >= 0 && controller)
            controller.numberOfSecondsRemainingForCurrentDownload = secondsLeft
    }

    // The controller re-announces the current id with every packet; only a different file starts afresh.
    onFileIdChanged: {
        if (fileId !== measuredId)
            restart()
    }

    Connections {
        target: meter.controller
        ignoreUnknownSignals: true
        function onCurrentDownloadFileSizeChanged() {
            meter.sample(Number(meter.controller.currentDownloadFileSize) || 0, Date.now())
        }
    }

    Timer {
        interval: 1000
        repeat: true
        running: meter.fileId !== ""
        onTriggered: {
            if (meter.last && Date.now() - meter.last.ms > meter.stallAfterMs)
                meter.stalled = true
        }
    }
}
