import QtQuick
import "Format.js" as Format

// A file that arrived. Opening it hands it to the desktop's default application.
TransferRow {
    id: row

    property var controller
    property string fileId
    property string nodeFrom
    property real fileSize: 0
    property real finishedAt: 0

    // The other side's alias comes with the row (role "peerAlias"), not from a query per row.
    property string peerAlias
    readonly property string senderName: Format.displayName(peerAlias)

    function open() {
        controller.openDownloadedFile(controller.getFilePathForDownloadedFile(fileId))
    }

    // An older file of the same name that was in the way was kept under another name: say which.
    readonly property string keptAs: controller ? controller.keptAsideAs(fileId) : ""

    iconUrl: controller ? controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
    detail: qsTr("From %1 · %2 · %3").arg(senderName).arg(Format.formatBytes(fileSize))
                                      .arg(Format.formatTimestamp(finishedAt))
    note: keptAs === "" ? "" : qsTr("The older file was kept as %1").arg(keptAs)

    IconButton {
        objectName: "openButton"
        iconName: "open"
        tint: Theme.accentText
        tip: qsTr("Open %1").arg(row.fileName)
        onClicked: row.open()
    }
}
