import QtQuick
import "Format.js" as Format

// A file a peer offered: download it or turn it down.
TransferRow {
    id: row

    property var controller
    property string fileId
    property string nodeFrom
    property real fileSize: 0
    property int revision: 0

    readonly property string senderName: { revision; return controller ? Format.displayName(controller.getAliasForNode(nodeFrom)) : "" }

    iconUrl: controller ? controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
    detail: qsTr("From %1 · %2").arg(senderName).arg(Format.formatBytes(fileSize))

    IconButton {
        objectName: "downloadButton"
        iconName: "download"
        tint: Theme.accentText
        tip: qsTr("Download %1").arg(row.fileName)
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
