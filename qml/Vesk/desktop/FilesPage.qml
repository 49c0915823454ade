pragma ComponentBehavior: Bound
import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// Tab 1: the files collected for sending (picked in a dialog or dropped on the window), who gets them, and the
// button that offers them. Unticked files stay in the list but are not sent.
Item {
    id: page

    property var controller
    property var filesModel         // the model with toggleHighlightFlag/clearSelected ("filesData")
    property var filesView          // the sorted view of it ("filesProxyData")
    property var recipientsModel    // online, unblocked peers ("nodesProxyData")

    readonly property int selectedFiles: controller ? controller.numberOfSelectedFiles : 0
    // Ticked folders among them, for the button's words; read from the list whenever it changes.
    property int selectedFolders: 0
    function countSelectedFolders() {
        var n = 0
        for (var row = 0; filesView && row < filesView.rowCount(); ++row) {
            var index = filesView.index(row, 0)
            if (filesView.data(index, 37) === true && filesView.data(index, 38) === true) // selected, isFolder
                ++n
        }
        selectedFolders = n
    }
    onFilesViewChanged: countSelectedFolders()
    onSelectedFilesChanged: countSelectedFolders()
    Connections {
        target: page.filesView ? page.filesView : null
        ignoreUnknownSignals: true
        function onRowsInserted() { page.countSelectedFolders() }
        function onRowsRemoved() { page.countSelectedFolders() }
        function onModelReset() { page.countSelectedFolders() }
        function onDataChanged() { page.countSelectedFolders() }
    }
    readonly property int selectedPeers: controller ? controller.selectedPeersCount : 0
    readonly property bool canSend: selectedFiles > 0 && selectedPeers > 0
    readonly property alias fileCount: files.count
    readonly property alias recipientCount: recipients.count

    function send() {
        if (canSend)
            controller.sendHighlightedFiles()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        SectionHeader {
            Layout.fillWidth: true
            visible: files.count > 0
            title: qsTr("Files to send")
            count: files.count > 0 ? files.count : -1
            ActionButton {
                visible: page.selectedFiles > 0
                kind: "flat"
                text: qsTr("Untick all")
                onClicked: page.filesModel.clearSelected()
            }
            ActionButton {
                id: addButton
                objectName: "addFilesButton"
                visible: files.count > 0
                kind: "flat"
                iconName: "add"
                text: qsTr("Add")
                Accessible.name: qsTr("Add files or a folder")
                onClicked: addMenu.popup(addButton, 0, addButton.height)
                AppMenu {
                    id: addMenu
                    objectName: "addMenu"
                    implicitWidth: 200
                    AppMenuItem {
                        text: qsTr("Files… (Ctrl+O)")
                        onTriggered: page.controller.selectFiles()
                    }
                    AppMenuItem {
                        objectName: "addFolderItem"
                        text: qsTr("Folder…")
                        onTriggered: page.controller.selectFolder()
                    }
                }
            }
        }

        KeyList {
            id: files
            objectName: "fileList"
            Layout.fillWidth: true
            // As tall as its rows, at most what the page has room for; the recipients follow right below.
            Layout.fillHeight: true
            Layout.maximumHeight: contentHeight
            visible: count > 0
            model: page.filesView
            Accessible.name: qsTr("Files to send")

            delegate: FileDelegate {
                required property var model
                width: ListView.view.width
                filesModel: page.filesModel
                fileUrl: Format.str(model.fileURL)
                fileName: Format.str(model.fileName)
                fileSize: Number(model.totalByteSize) || 0
                thumbnail: Format.str(model.thumbnail)
                isFolder: model.isFolder === true
                fileCount: Format.toCount(model.fileCount)
                selected: model.selected === true
                highlighted: ListView.isCurrentItem && ListView.view.activeFocus
            }
            onRowActivated: (item) => item.toggle()
        }

        EmptyState {
            objectName: "filesEmpty"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: files.count === 0
            illustration: "illus-files"
            title: qsTr("Choose files to send")
            text: qsTr("Drop files or folders anywhere on this window, or pick them here. Then tick who gets them.")
            actionText: qsTr("Choose files…")
            actionIcon: "file"
            onActionTriggered: page.controller.selectFiles()
            secondActionText: qsTr("Choose folder…")
            secondActionIcon: "folder"
            onSecondActionTriggered: page.controller.selectFolder()
        }

        Rectangle {
            visible: files.count > 0
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.divider
        }

        SectionHeader {
            visible: files.count > 0
            Layout.fillWidth: true
            title: qsTr("Send to")
            count: recipients.count > 0 ? recipients.count : -1
        }

        KeyList {
            id: recipients
            objectName: "recipientList"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(contentHeight, 48 * 4.5)
            visible: files.count > 0 && count > 0
            model: page.recipientsModel
            Accessible.name: qsTr("Recipients")

            delegate: RecipientDelegate {
                required property var model
                width: ListView.view.width
                controller: page.controller
                peerId: Format.str(model.id)
                alias: Format.str(model.alias)
                avatarUrl: Format.str(model.avatarUrl)
                highlighted: ListView.isCurrentItem && ListView.view.activeFocus
            }
            onRowActivated: (item) => item.toggle()
        }

        Label {
            objectName: "noRecipients"
            visible: files.count > 0 && recipients.count === 0
            Layout.fillWidth: true
            Layout.leftMargin: Theme.spacingL
            Layout.rightMargin: Theme.spacingL
            Layout.bottomMargin: Theme.spacingS
            text: qsTr("Nobody is online to send to right now. The people tab tells you what to check.")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            font.pixelSize: Theme.fontBody
            color: Theme.textMuted
        }

        Item {
            visible: files.count > 0
            Layout.fillWidth: true
            Layout.fillHeight: true
        }

        Rectangle {
            visible: files.count > 0
            Layout.fillWidth: true
            implicitHeight: sendButton.implicitHeight + Theme.spacingM * 2
            color: Theme.surface

            Rectangle {
                width: parent.width
                height: 1
                color: Theme.divider
            }
            ActionButton {
                id: sendButton
                objectName: "sendFilesButton"
                anchors.fill: parent
                anchors.margins: Theme.spacingM
                kind: "primary"
                iconName: page.canSend ? "send" : ""
                enabled: page.canSend
                text: Format.sendSummary(page.selectedFiles, page.selectedPeers, page.selectedFolders)
                onClicked: page.send()
            }
        }
    }
}
