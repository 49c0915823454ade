import QtQuick
import "Format.js" as Format

// A file in the download queue. The one being fetched shows its progress, speed and time left; the others wait
// their turn (smallest first). Either can be paused back to the offered list.
TransferRow {
    id: row

    property var controller
    property string fileId
    property string nodeFrom
    property real fileSize: 0
    // Filled in by the page for the file being fetched.
    property bool current: false
    property real bytesDone: 0
    property real bytesPerSecond: -1
    property bool stalled: false
    property real secondsLeft: -1

    // The other side's alias comes with the row (role "peerAlias"), not from a query per row.
    property string peerAlias
    readonly property string senderName: Format.displayName(peerAlias)

    iconUrl: controller ? controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
    detail: current ? qsTr("From %1 · %2").arg(senderName).arg(Format.formatProgress(bytesDone, fileSize))
                    : qsTr("From %1 · %2 · queued").arg(senderName).arg(Format.formatBytes(fileSize))
    showProgress: current
    progress: Format.fraction(bytesDone, fileSize)
    note: !current ? ""
                           : stalled ? qsTr("Waiting for %1…").arg(senderName)
                                     : bytesPerSecond <= 0 ? qsTr("Starting…")
                                                           : secondsLeft >= 0
                                                             ? qsTr("%1 · %2 left").arg(Format.formatSpeed(bytesPerSecond))
                                                                                   .arg(Format.formatDuration(secondsLeft))
                                                             : Format.formatSpeed(bytesPerSecond)

    IconButton {
        objectName: "pauseButton"
        iconName: "pause"
        tint: Theme.textMuted
        tip: qsTr("Pause %1").arg(row.fileName)
        onClicked: row.controller.pauseFileToDownload(row.fileId)
    }
}
