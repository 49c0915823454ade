pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// A folder on the move, as one entry whatever the number of its files: how many of them and how many bytes are
// done, one bar, the time left, and one set of buttons for all of it. Opened, it shows its files beneath it, in a
// list of their own that only makes the rows in sight.
ColumnLayout {
    id: entry

    property var controller
    property var folders               // the list of folders this entry is from (gives the folder's files)
    property string kind               // "offered", "queued", "received" or "sending"
    property string folderId
    property string folderName
    property string peerAlias
    property real fileCount: 0
    property real filesDone: 0
    property real totalBytes: 0
    property real bytesDone: 0
    property bool confirmed: false     // sending: the peer has the offer
    property real finishedAt: 0        // received
    // Filled in by the page while one of the folder's files is being fetched.
    property string currentFileId
    property real currentBytes: 0
    property real bytesPerSecond: -1
    property real secondsLeft: -1      // the whole folder's
    property bool stalled: false
    // Whether the files show beneath; kept by the page, so that a list refreshed or a folder moved to another
    // list stays open.
    property bool expanded: false
    signal expandToggled()

    readonly property bool current: currentFileId !== ""
    readonly property string peerName: Format.displayName(peerAlias)
    readonly property real doneBytes: Math.min(totalBytes, bytesDone + (current ? currentBytes : 0))
    readonly property string progressText: Format.folderProgress(filesDone, fileCount, doneBytes, totalBytes)
    readonly property alias row: row
    readonly property alias fileList: files

    spacing: 0

    TransferRow {
        id: row
        objectName: "folderRow"
        Layout.fillWidth: true
        fileName: entry.folderName
        iconUrl: "qrc:/qml/Vesk/pics/fileicons/folder-entry.png"
        detail: {
            switch (entry.kind) {
            case "sending":
                return qsTr("To %1 · %2").arg(entry.peerName).arg(Format.folderContents(entry.fileCount, entry.totalBytes))
            case "received": // the time kept on one line when the detail wraps
                return qsTr("From %1 · %2 · %3").arg(entry.peerName).arg(Format.folderContents(entry.fileCount, entry.totalBytes))
                                                 .arg(Format.formatTimestamp(entry.finishedAt).replace(/ /g, "\u00a0"))
            case "queued":
                return qsTr("From %1 · %2").arg(entry.peerName).arg(entry.progressText)
            }
            return entry.filesDone > 0 ? entry.progressText
                                       : qsTr("From %1 · %2").arg(entry.peerName).arg(Format.folderContents(entry.fileCount, entry.totalBytes))
        }
        showProgress: entry.kind === "queued" || (entry.kind === "sending" && entry.confirmed && entry.bytesDone > 0)
        progress: Format.fraction(entry.doneBytes, entry.totalBytes)
        note: {
            switch (entry.kind) {
            case "sending":
                return !entry.confirmed ? qsTr("Not delivered yet")
                                        : entry.bytesDone <= 0 ? qsTr("Delivered · not downloaded yet")
                                                               : qsTr("Downloaded %1").arg(Format.formatProgress(entry.bytesDone, entry.totalBytes))
            case "queued":
                return !entry.current ? qsTr("Queued")
                                      : entry.stalled ? qsTr("Waiting for %1…").arg(entry.peerName)
                                                      : entry.bytesPerSecond <= 0 ? qsTr("Starting…")
                                                                                  : entry.secondsLeft >= 0
                                                                                    ? qsTr("%1 · %2 left").arg(Format.formatSpeed(entry.bytesPerSecond))
                                                                                                          .arg(Format.formatDuration(entry.secondsLeft))
                                                                                    : Format.formatSpeed(entry.bytesPerSecond)
            case "offered":
                return entry.filesDone > 0 ? qsTr("Paused") : ""
            }
            return ""
        }
        Accessible.role: Accessible.TreeItem
        Accessible.name: qsTr("Folder %1, %2").arg(entry.folderName).arg(detail)

        IconButton {
            objectName: "expandButton"
            iconName: entry.expanded ? "up" : "down"
            tint: Theme.textMuted
            tip: entry.expanded ? qsTr("Hide the files of %1").arg(entry.folderName)
                                : qsTr("Show the files of %1").arg(entry.folderName)
            onClicked: entry.expandToggled()
        }
        IconButton {
            objectName: "downloadButton"
            visible: entry.kind === "offered"
            iconName: "download"
            tint: Theme.accentText
            tip: entry.filesDone > 0 ? qsTr("Resume %1").arg(entry.folderName) : qsTr("Download %1").arg(entry.folderName)
            onClicked: entry.controller.queueFileToDownload(entry.folderId)
        }
        IconButton {
            objectName: "pauseButton"
            visible: entry.kind === "queued"
            iconName: "pause"
            tint: Theme.textMuted
            tip: qsTr("Pause %1").arg(entry.folderName)
            onClicked: entry.controller.pauseFileToDownload(entry.folderId)
        }
        IconButton {
            objectName: "openButton"
            visible: entry.kind === "received"
            iconName: "open"
            tint: Theme.accentText
            tip: qsTr("Show %1 in the file manager").arg(entry.folderName)
            onClicked: entry.controller.openDownloadedFolder(entry.folderId)
        }
        IconButton {
            objectName: "removeButton"
            visible: entry.kind === "offered" || entry.kind === "sending"
            iconName: "close"
            tint: Theme.textMuted
            tip: entry.kind === "sending" ? qsTr("Stop offering %1 to %2").arg(entry.folderName).arg(entry.peerName)
                                          : qsTr("Turn down %1").arg(entry.folderName)
            onClicked: entry.kind === "sending" ? entry.controller.deleteFileToSend(entry.folderId)
                                                : entry.controller.deleteFileToDownload(entry.folderId)
        }
    }

    // The files beneath: at most eight rows high, scrolled within; made only while the folder is open.
    ListView {
        id: files
        objectName: "folderFiles"
        readonly property int fileRowHeight: 32
        visible: entry.expanded
        Layout.fillWidth: true
        Layout.preferredHeight: visible ? Math.min(count, 8) * fileRowHeight : 0
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        model: entry.expanded && entry.folders ? entry.folders.filesOf(entry.folderId) : null
        ScrollBar.vertical: ScrollBar { policy: files.count > 8 ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded }

        delegate: Item {
            id: file
            required property var model
            readonly property string fileId: Format.str(model.id)
            readonly property string path: Format.str(model.path) !== "" ? Format.str(model.path) : Format.str(model.filename)
            readonly property bool done: Number(model.done) === 1
            readonly property bool fetching: fileId !== "" && fileId === entry.currentFileId
            objectName: "folderFileRow"
            width: ListView.view.width
            height: files.fileRowHeight
            Accessible.role: Accessible.ListItem
            Accessible.name: path + ", " + state.text

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: Theme.spacingL + 32 + Theme.spacingM
                anchors.rightMargin: Theme.spacingL
                spacing: Theme.spacingS
                Image {
                    Layout.preferredWidth: 18
                    Layout.preferredHeight: 18
                    source: entry.controller ? entry.controller.getThumbnailFromFileSuffix(Format.fileSuffix(file.path)) : ""
                    sourceSize.width: 36
                    sourceSize.height: 36
                    fillMode: Image.PreserveAspectFit
                }
                Label {
                    Layout.fillWidth: true
                    text: file.path
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    font.pixelSize: Theme.fontCaption
                    color: file.done ? Theme.textMuted : Theme.text
                }
                Label {
                    id: state
                    objectName: "fileState"
                    text: file.done ? qsTr("Received")
                                    : file.fetching ? Format.formatProgress(entry.currentBytes, file.model.byteSize)
                                                    : Format.formatBytes(file.model.byteSize)
                    textFormat: Text.PlainText
                    font.pixelSize: Theme.fontCaption
                    color: file.done ? Theme.accentText : Theme.textMuted
                }
            }
        }
    }
}
