import QtQuick
import QtQuick.Templates as T
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

    // Withdrawing a file the peer is fetching ends their download half way: that is asked once. The question
    // belongs to the window, not to the row: the list may re-create its rows while it is open.
    function withdraw() {
        const controller = row.controller, id = row.uploadId
        if (!confirmed || bytesSent <= 0) {
            controller.deleteFileToSend(id)
            return
        }
        const dialog = Qt.createComponent("ConfirmDialog.qml").createObject(T.Overlay.overlay, {
            title: qsTr("Stop sending %1?").arg(fileName),
            text: qsTr("%1 has received %2 of it so far. Their download stops, and what they have of it is removed.")
                  .arg(recipientName).arg(Format.formatProgress(bytesSent, fileSize)),
            verb: qsTr("Stop sending") })
        dialog.confirmed.connect(() => controller.deleteFileToSend(id))
    }

    IconButton {
        objectName: "withdrawButton"
        iconName: "close"
        tint: Theme.textMuted
        tip: qsTr("Stop offering %1 to %2").arg(row.fileName).arg(row.recipientName)
        onClicked: row.withdraw()
    }
}
