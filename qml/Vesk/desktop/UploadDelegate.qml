import QtQuick
import "Format.js" as Format

// A file offered to one peer: whether the offer reached them, how much they fetched, and the way to withdraw it.
TransferRow {
    id: row

    property var controller
    property string uploadId
    property string nodeTo
    property real fileSize: 0
    property real bytesSent: 0
    // The peer confirmed the offer.
    property bool confirmed: false

    // The other side's alias comes with the row (role "peerAlias"), not from a query per row.
    property string peerAlias
    readonly property string recipientName: Format.displayName(peerAlias)

    iconUrl: controller ? controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
    detail: qsTr("To %1 · %2").arg(recipientName).arg(Format.formatBytes(fileSize))
    showProgress: confirmed && bytesSent > 0
    progress: Format.fraction(bytesSent, fileSize)
    note: Format.uploadStateLabel(confirmed, bytesSent, fileSize)

    IconButton {
        objectName: "withdrawButton"
        iconName: "close"
        tint: Theme.textMuted
        tip: qsTr("Stop offering %1 to %2").arg(row.fileName).arg(row.recipientName)
        onClicked: row.controller.deleteFileToSend(row.uploadId)
    }
}
