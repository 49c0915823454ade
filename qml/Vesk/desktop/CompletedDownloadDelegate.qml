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
    property int revision: 0

    readonly property string senderName: { revision; return controller ? Format.displayName(controller.getAliasForNode(nodeFrom)) : "" }

    function open() {
        controller.openDownloadedFile(controller.getFilePathForDownloadedFile(fileId))
    }

    iconUrl: controller ? controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
    detail: qsTr("From %1 · %2 · %3").arg(senderName).arg(Format.formatBytes(fileSize))
                                      .arg(Format.formatTimestamp(finishedAt))

    IconButton {
        objectName: "openButton"
        iconName: "open"
        tint: Theme.accentText
        tip: qsTr("Open %1").arg(row.fileName)
        onClicked: row.open()
    }
}
