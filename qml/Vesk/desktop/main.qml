import QtQuick
import QtQuick.Layouts

// The window's content. The program publishes the controller as "globals" and its lists as models; this file is
// the only place that reads those names, and hands them to the pages, which take them as plain properties.
// StandardKey is the key sequences' enumeration of QtQuick, unknown to qmllint only.
Rectangle {
    id: root

    // The program publishes the controller and its lists in the window's context; these are the only lines that
    // read those names (they are not declared in any QML file, which qmllint cannot know).
    // qmllint disable unqualified
    readonly property var controller: globals
    readonly property var peers: nodeData
    readonly property var reachablePeers: nodesProxyData
    readonly property var chats: chatsModel
    readonly property var pickedFiles: filesData
    readonly property var pickedFilesSorted: filesProxyData
    readonly property var transfers: transferLists
    // qmllint enable unqualified

    color: Theme.window
    focus: true

    // A line for developers and the interface check (visible with VESK_LOG_TO_STDERR; never in the log file).
    Component.onCompleted: console.debug("Vesk interface loaded")

    Shortcut {
        sequences: ["Ctrl+1"]
        onActivated: root.controller.setCurrentSelectedTabIndex(0)
    }
    Shortcut {
        sequences: ["Ctrl+2"]
        onActivated: root.controller.setCurrentSelectedTabIndex(1)
    }
    Shortcut {
        sequences: ["Ctrl+3"]
        onActivated: root.controller.setCurrentSelectedTabIndex(2)
    }
    Shortcut {
        sequences: [StandardKey.Open] // qmllint disable unqualified
        onActivated: root.controller.selectFiles()
    }
    Shortcut {
        sequences: [StandardKey.Refresh, "Ctrl+R"] // qmllint disable unqualified
        onActivated: root.controller.refreshPeers()
    }
    Shortcut {
        sequences: ["Alt+M", "F10"]
        onActivated: header.openMenu()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        AppHeader {
            id: header
            Layout.fillWidth: true
            controller: root.controller
            onlineCount: root.reachablePeers.count
        }

        MainTabBar {
            id: tabs
            objectName: "mainTabs"
            Layout.fillWidth: true
            // Two-way: the controller switches tabs itself (a dropped file opens Send, sending opens Transfers).
            currentIndex: root.controller.currentSelectedTabIndex
            onCurrentIndexChanged: {
                if (currentIndex !== root.controller.currentSelectedTabIndex)
                    root.controller.setCurrentSelectedTabIndex(currentIndex)
            }
            unreadCount: root.controller.totalNumberOfUnReadMessages
            filesCount: root.controller.numberOfSelectedFiles
            offersCount: root.controller.numberOfPendingValidations
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: root.controller.currentSelectedTabIndex

            PeersPage {
                controller: root.controller
                peersModel: root.peers
                chatModel: root.chats
            }
            FilesPage {
                controller: root.controller
                filesModel: root.pickedFiles
                filesView: root.pickedFilesSorted
                recipientsModel: root.reachablePeers
            }
            TransfersPage {
                controller: root.controller
                // A folder is one entry: the lists of files leave out the files of folders.
                pendingModel: root.transfers.pausedFiles
                queueModel: root.transfers.queuedFiles
                completedModel: root.transfers.completedFiles
                uploadsModel: root.transfers.uploadFiles
                pendingFolders: root.transfers.pausedFolders
                queuedFolders: root.transfers.queuedFolders
                completedFolders: root.transfers.completedFolders
                uploadFolders: root.transfers.uploadFolders
            }
        }
    }
}
