import QtQuick
import "Format.js" as Format

// A file a peer offered: download it or turn it down.
TransferRow {
    id: row

    property var controller
    property string fileId
    property string nodeFrom
    property real fileSize: 0

    // The other side's alias comes with the row (role "peerAlias"), not from a query per row.
    property string peerAlias
    readonly property string senderName: Format.displayName(peerAlias)
    // A download that was started keeps its bytes: say how far it got, and whether it waits for its owner
    // (it goes on by itself when they are back) or was paused by you.
    readonly property real onDisk: controller ? controller.bytesOnDisk(fileId) : 0
    readonly property bool waiting: !!controller && controller.isWaitingForOwner(fileId)
    // Paused because its file could not be written (a full or read-only disk): the reason comes first.
    readonly property string problem: controller ? controller.downloadProblem(fileId) : ""
    readonly property string progressText: qsTr("%1 of %2").arg(Format.formatBytes(onDisk)).arg(Format.formatBytes(fileSize))

    iconUrl: controller ? controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
    detail: onDisk <= 0 ? qsTr("From %1 · %2").arg(senderName).arg(Format.formatBytes(fileSize)) : progressText
    note: problem !== "" ? problem : onDisk <= 0 ? "" : waiting ? qsTr("Waiting for %1 to come back").arg(senderName) : qsTr("Paused by you")

    IconButton {
        objectName: "downloadButton"
        iconName: "download"
        tint: Theme.accentText
        tip: row.onDisk > 0 ? qsTr("Resume %1").arg(row.fileName) : qsTr("Download %1").arg(row.fileName)
        onClicked: row.controller.queueFileToDownload(row.fileId)
    }
    IconButton {
        objectName: "deleteButton"
        iconName: "close"
        tint: Theme.textMuted
        tip: qsTr("Turn down %1").arg(row.fileName)
        onClicked: row.controller.deleteFileToDownload(row.fileId)
    }
}
