import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic

// The window's content. The program publishes the controller as "globals" and its lists as models; this file is
// the only place that reads those names, and hands them to the pages, which take them as plain properties.
Rectangle {
    id: root

    // Whenever the peer lists are re-read (someone came online, changed picture, was blocked), facts the pages
    // read through the controller's getters are read again.
    property int peersRevision: 0
    property int ownAvatarRevision: 0

    color: Theme.window
    focus: true

    // A line for developers and the interface check (visible with VESK_LOG_TO_STDERR; never in the log file).
    Component.onCompleted: console.debug("Vesk interface loaded")

    // A refresh that finds the same people in the same order only changes values (dataChanged), so that the
    // lists keep their place; both kinds of change count.
    Connections {
        target: nodeData
        function onModelReset() { root.peersRevision++ }
        function onDataChanged() { root.peersRevision++ }
    }
    Connections {
        target: nodesProxyData
        function onModelReset() { root.peersRevision++ }
        function onDataChanged() { root.peersRevision++ }
    }
    Connections {
        target: globals
        function onUserAvatarChanged() { root.ownAvatarRevision++ }
    }

    Shortcut {
        sequences: ["Ctrl+1"]
        onActivated: globals.setCurrentSelectedTabIndex(0)
    }
    Shortcut {
        sequences: ["Ctrl+2"]
        onActivated: globals.setCurrentSelectedTabIndex(1)
    }
    Shortcut {
        sequences: ["Ctrl+3"]
        onActivated: globals.setCurrentSelectedTabIndex(2)
    }
    Shortcut {
        sequences: [StandardKey.Open]
        onActivated: globals.selectFiles()
    }
    Shortcut {
        sequences: [StandardKey.Refresh, "Ctrl+R"]
        onActivated: globals.refreshPeers()
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
            controller: globals
            onlineCount: { root.peersRevision; return nodesProxyData.rowCount() }
            avatarRevision: root.ownAvatarRevision
        }

        MainTabBar {
            id: tabs
            objectName: "mainTabs"
            Layout.fillWidth: true
            // Two-way: the controller switches tabs itself (a dropped file opens Send, sending opens Transfers).
            currentIndex: globals.currentSelectedTabIndex
            onCurrentIndexChanged: {
                if (currentIndex !== globals.currentSelectedTabIndex)
                    globals.setCurrentSelectedTabIndex(currentIndex)
            }
            unreadCount: globals.totalNumberOfUnReadMessages
            filesCount: globals.numberOfSelectedFiles
            offersCount: globals.numberOfPendingValidations
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: globals.currentSelectedTabIndex

            PeersPage {
                controller: globals
                peersModel: nodeData
                chatModel: chatsModel
                revision: root.peersRevision
            }
            FilesPage {
                controller: globals
                filesModel: filesData
                filesView: filesProxyData
                recipientsModel: nodesProxyData
                revision: root.peersRevision
            }
            TransfersPage {
                controller: globals
                pendingModel: pausedDownloads
                queueModel: queuedDownloads
                completedModel: completedDownloads
                uploadsModel: uploadsData
                revision: root.peersRevision
            }
        }
    }
}
