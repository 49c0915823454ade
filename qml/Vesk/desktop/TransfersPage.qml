pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// Tab 2: everything on the move. Files offered to you (download or turn down), the download queue with the
// current file's progress, the files you offer to others, and what arrived. Sections with nothing in them stay
// out of the way.
Item {
    id: page

    property var controller
    property var pendingModel      // offered, waiting for the user ("pausedDownloads")
    property var queueModel        // accepted, waiting or downloading ("queuedDownloads")
    property var completedModel    // the latest arrivals ("completedDownloads")
    property var uploadsModel      // offers this node made ("uploadsData")
    // The folders of each list, one entry per folder (their files are not in the lists above).
    property var pendingFolders
    property var queuedFolders
    property var completedFolders
    property var uploadFolders

    readonly property int pendingCount: pending.count + pendingFolderRows.count
    readonly property int queuedCount: queued.count + queuedFolderRows.count
    readonly property int uploadCount: uploads.count + uploadFolderRows.count
    readonly property int completedCount: completed.count + completedFolderRows.count
    readonly property int deliveredCount: delivered.count
    readonly property bool empty: pendingCount + queuedCount + uploadCount + completedCount + deliveredCount === 0
    // The download in progress as the controller measures it: its file (and folder), bytes, speed and time left.
    readonly property string currentFileId: controller ? controller.currentDownloadingFileId : ""
    readonly property string currentFolderId: controller ? controller.currentDownloadFolderId : ""
    readonly property real currentBytes: currentFileId !== "" ? Number(controller.currentDownloadFileSize) || 0 : 0
    readonly property real bytesPerSecond: controller ? controller.currentDownloadBytesPerSecond : -1
    readonly property real secondsLeft: controller ? controller.numberOfSecondsRemainingForCurrentDownload : -1
    readonly property bool stalled: controller ? controller.currentDownloadStalled : false
    // The history lists show their newest rows until the user asks for all of them.
    readonly property int historyShown: 10
    property bool allDelivered: false
    // The folders whose files are shown beneath them, by id.
    property var openFolders: ({})
    function toggleFolder(id) {
        var open = Object.assign({}, openFolders)
        open[id] = !open[id]
        openFolders = open
    }
    property bool allReceived: false

    // Tabbing through the rows' buttons scrolls them into view.
    function ensureVisible(item) {
        if (!item || !scroller.visible)
            return
        var flick = scroller.contentItem as Flickable
        var p = item.mapToItem(content, 0, 0)
        if (p.y < flick.contentY)
            flick.contentY = Math.max(0, p.y - Theme.spacingS)
        else if (p.y + item.height > flick.contentY + flick.height)
            flick.contentY = Math.min(content.height - flick.height, p.y + item.height - flick.height + Theme.spacingS)
    }

    Connections {
        target: page.Window.window
        ignoreUnknownSignals: true
        function onActiveFocusItemChanged() {
            var item = page.Window.activeFocusItem
            for (var it = item; it; it = it.parent) {
                if (it === content) {
                    page.ensureVisible(item)
                    return
                }
            }
        }
    }

    ScrollView {
        id: scroller
        anchors.fill: parent
        visible: !page.empty
        contentWidth: availableWidth
        ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

        ColumnLayout {
            id: content
            width: scroller.availableWidth
            spacing: 0

            // Anchored rather than laid out: the row must come out right when the page appears from empty.
            Item {
                Layout.fillWidth: true
                implicitHeight: folderButton.implicitHeight + Theme.spacingXs * 2
                ActionButton {
                    id: folderButton
                    objectName: "openFolderButton"
                    anchors.left: parent.left
                    anchors.leftMargin: Theme.spacingS
                    anchors.verticalCenter: parent.verticalCenter
                    kind: "flat"
                    iconName: "folder"
                    text: qsTr("Downloads folder")
                    tip: qsTr("Open the folder received files are saved in")
                    onClicked: page.controller.openDownloadedFilesFolder()
                }
                ActionButton {
                    objectName: "clearButton"
                    anchors.right: parent.right
                    anchors.rightMargin: Theme.spacingS
                    anchors.verticalCenter: parent.verticalCenter
                    visible: page.pendingCount + page.queuedCount + page.completedCount > 0
                    kind: "danger"
                    iconName: "trash"
                    text: qsTr("Clear")
                    tip: qsTr("Empty the lists of offered, queued and received files. Files on disk stay.")
                    onClicked: page.controller.clearAllPendingDownloads()
                }
            }

            SectionHeader {
                Layout.fillWidth: true
                visible: page.pendingCount > 0
                title: qsTr("Offered to you")
                count: page.pendingCount
                ActionButton {
                    objectName: "downloadAllButton"
                    kind: "flat"
                    iconName: "download"
                    text: qsTr("Download all")
                    tip: qsTr("Queue every offered file, smallest first")
                    onClicked: page.controller.downloadAllPending()
                }
            }
            Repeater {
                id: pendingFolderRows
                model: page.pendingFolders
                delegate: FolderDelegate {
                    required property var model
                    expanded: page.openFolders[folderId] === true
                    onExpandToggled: page.toggleFolder(folderId)
                    Layout.fillWidth: true
                    controller: page.controller
                    folders: page.pendingFolders
                    kind: "offered"
                    folderId: Format.str(model.id)
                    folderName: Format.str(model.name)
                    peerAlias: Format.str(model.peerAlias)
                    fileCount: Format.toCount(model.files)
                    filesDone: Format.toCount(model.filesDone)
                    totalBytes: Format.toCount(model.byteSize)
                    bytesDone: Format.toCount(model.bytesDone)
                }
            }
            Repeater {
                id: pending
                model: page.pendingModel
                delegate: PendingDownloadDelegate {
                    required property var model
                    objectName: "pendingRow"
                    Layout.fillWidth: true
                    controller: page.controller
                    fileId: Format.str(model.id)
                    fileName: Format.str(model.filename)
                    nodeFrom: Format.str(model.nodefrom)
                    peerAlias: Format.str(model.peerAlias)
                    fileSize: Format.toCount(model.byteSize)
                }
            }

            SectionHeader {
                Layout.fillWidth: true
                visible: page.queuedCount > 0
                title: qsTr("Downloading")
                count: page.queuedCount
                ActionButton {
                    objectName: "pauseAllButton"
                    kind: "flat"
                    iconName: "pause"
                    text: qsTr("Pause all")
                    tip: qsTr("Move every queued file back to the offered list")
                    onClicked: page.controller.pauseAllPendingDownloads()
                }
            }
            Repeater {
                id: queuedFolderRows
                model: page.queuedFolders
                delegate: FolderDelegate {
                    required property var model
                    expanded: page.openFolders[folderId] === true
                    onExpandToggled: page.toggleFolder(folderId)
                    Layout.fillWidth: true
                    controller: page.controller
                    folders: page.queuedFolders
                    kind: "queued"
                    folderId: Format.str(model.id)
                    folderName: Format.str(model.name)
                    peerAlias: Format.str(model.peerAlias)
                    fileCount: Format.toCount(model.files)
                    filesDone: Format.toCount(model.filesDone)
                    totalBytes: Format.toCount(model.byteSize)
                    bytesDone: Format.toCount(model.bytesDone)
                    currentFileId: folderId !== "" && folderId === page.currentFolderId ? page.currentFileId : ""
                    currentBytes: page.currentBytes
                    bytesPerSecond: page.bytesPerSecond
                    secondsLeft: page.secondsLeft
                    stalled: page.stalled
                }
            }
            Repeater {
                id: queued
                model: page.queueModel
                delegate: QueuedDownloadDelegate {
                    required property var model
                    objectName: "queuedRow"
                    Layout.fillWidth: true
                    controller: page.controller
                    fileId: Format.str(model.id)
                    fileName: Format.str(model.filename)
                    nodeFrom: Format.str(model.nodefrom)
                    peerAlias: Format.str(model.peerAlias)
                    fileSize: Format.toCount(model.byteSize)
                    current: fileId !== "" && fileId === page.currentFileId
                    bytesDone: current ? page.currentBytes : 0
                    bytesPerSecond: current ? page.bytesPerSecond : -1
                    stalled: current && page.stalled
                    secondsLeft: current ? page.secondsLeft : -1
                }
            }

            SectionHeader {
                Layout.fillWidth: true
                visible: page.uploadCount > 0
                title: qsTr("Sending")
                count: page.uploadCount
                ActionButton {
                    objectName: "withdrawAllButton"
                    kind: "danger"
                    text: qsTr("Stop all")
                    tip: qsTr("Stop offering every file listed here")
                    onClicked: page.controller.clearAllPendingUploads()
                }
            }
            Repeater {
                id: uploadFolderRows
                model: page.uploadFolders
                delegate: FolderDelegate {
                    required property var model
                    expanded: page.openFolders[folderId] === true
                    onExpandToggled: page.toggleFolder(folderId)
                    Layout.fillWidth: true
                    controller: page.controller
                    folders: page.uploadFolders
                    kind: "sending"
                    folderId: Format.str(model.id)
                    folderName: Format.str(model.name)
                    peerAlias: Format.str(model.peerAlias)
                    fileCount: Format.toCount(model.files)
                    filesDone: Format.toCount(model.filesDone)
                    totalBytes: Format.toCount(model.byteSize)
                    bytesDone: Format.toCount(model.bytesDone)
                    confirmed: Number(model.confirmed) === 1
                }
            }
            Repeater {
                id: uploads
                model: page.uploadsModel
                delegate: UploadDelegate {
                    required property var model
                    objectName: "uploadRow"
                    Layout.fillWidth: true
                    controller: page.controller
                    uploadId: Format.str(model.id)
                    fileName: Format.str(model.filename)
                    nodeTo: Format.str(model.nodeto)
                    peerAlias: Format.str(model.peerAlias)
                    fileSize: Format.toCount(model.byteSize)
                    bytesSent: Format.toCount(model.sentBytes)
                    confirmed: model.delivered === true
                }
            }

            SectionHeader {
                Layout.fillWidth: true
                visible: delivered.count > 0
                title: qsTr("Delivered")
                count: delivered.count
                ActionButton {
                    objectName: "showAllDeliveredButton"
                    visible: delivered.count > page.historyShown
                    kind: "flat"
                    text: page.allDelivered ? qsTr("Show fewer") : qsTr("Show all")
                    onClicked: page.allDelivered = !page.allDelivered
                }
            }
            Repeater {
                id: delivered
                model: page.controller ? page.controller.deliveredFiles : []
                delegate: TransferRow {
                    required property var modelData
                    required property int index
                    visible: page.allDelivered || index < page.historyShown
                    readonly property string receiverName: Format.displayName(modelData.alias)
                    objectName: "deliveredRow"
                    Layout.fillWidth: true
                    fileName: Format.str(modelData.fileName)
                    iconUrl: page.controller ? page.controller.getThumbnailFromFileSuffix(Format.fileSuffix(fileName)) : ""
                    detail: qsTr("%1 received it · %2").arg(receiverName).arg(Format.formatTimestamp(Number(modelData.at) || 0))
                }
            }

            SectionHeader {
                Layout.fillWidth: true
                visible: page.completedCount > 0
                title: qsTr("Received")
                count: page.completedCount
                ActionButton {
                    objectName: "showAllReceivedButton"
                    visible: page.completedCount > page.historyShown
                    kind: "flat"
                    text: page.allReceived ? qsTr("Show fewer") : qsTr("Show all")
                    onClicked: page.allReceived = !page.allReceived
                }
            }
            Repeater {
                id: completedFolderRows
                model: page.completedFolders
                delegate: FolderDelegate {
                    required property var model
                    expanded: page.openFolders[folderId] === true
                    onExpandToggled: page.toggleFolder(folderId)
                    required property int index
                    visible: page.allReceived || index < page.historyShown
                    Layout.fillWidth: true
                    controller: page.controller
                    folders: page.completedFolders
                    kind: "received"
                    folderId: Format.str(model.id)
                    folderName: Format.str(model.name)
                    peerAlias: Format.str(model.peerAlias)
                    fileCount: Format.toCount(model.files)
                    filesDone: Format.toCount(model.filesDone)
                    totalBytes: Format.toCount(model.byteSize)
                    bytesDone: Format.toCount(model.bytesDone)
                    finishedAt: Format.toCount(model.finishedAt)
                }
            }
            Repeater {
                id: completed
                model: page.completedModel
                delegate: CompletedDownloadDelegate {
                    required property var model
                    required property int index
                    visible: page.allReceived || completedFolderRows.count + index < page.historyShown
                    objectName: "completedRow"
                    Layout.fillWidth: true
                    controller: page.controller
                    fileId: Format.str(model.id)
                    fileName: Format.str(model.filename)
                    nodeFrom: Format.str(model.nodefrom)
                    peerAlias: Format.str(model.peerAlias)
                    fileSize: Format.toCount(model.byteSize)
                    finishedAt: Format.toCount(model.timestampMs)
                }
            }
            Item {
                Layout.fillWidth: true
                implicitHeight: Theme.spacingL
            }
        }
    }

    EmptyState {
        objectName: "transfersEmpty"
        anchors.fill: parent
        visible: page.empty
        illustration: "illus-transfers"
        title: qsTr("No transfers yet")
        text: qsTr("Files people offer you show up here to download. Files you send are followed here too.")
        actionText: qsTr("Open downloads folder")
        actionIcon: "folder"
        onActionTriggered: page.controller.openDownloadedFilesFolder()
    }
}
