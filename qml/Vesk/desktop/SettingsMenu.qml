import QtQuick

// The application menu: profile, looking for peers again, other networks, the downloads folder and where it is,
// the preferences, quitting.
AppMenu {
    id: menu

    property var controller
    // The choices kept in the settings; each toggle stores the flipped value.
    readonly property var preferences: controller ? controller.preferences : null

    implicitWidth: 320

    // The dialogs of other networks are made when asked for; each goes when it is closed.
    function openDialog(file) {
        Qt.createComponent(file).createObject(menu.parent, { controller: menu.controller })
    }

    AppMenuItem {
        text: qsTr("Edit profile…")
        // A dialog opened from inside the handler would find the menu still drawn behind it: it opens once the
        // menu has closed.
        onTriggered: Qt.callLater(menu.controller.launchProfileWizard) // qmllint disable type
    }
    AppMenuItem {
        text: qsTr("Look for people again")
        onTriggered: menu.controller.refreshPeers()
    }
    AppMenuItem {
        objectName: "addComputerItem"
        text: qsTr("Add a computer by address…")
        onTriggered: menu.openDialog("AddComputerDialog.qml")
    }
    AppMenuItem {
        objectName: "otherNetworksItem"
        text: qsTr("Other networks…")
        onTriggered: menu.openDialog("OtherNetworksDialog.qml")
    }
    AppMenuItem {
        text: qsTr("Open downloads folder")
        onTriggered: menu.controller.openDownloadedFilesFolder()
    }
    AppMenuItem {
        objectName: "downloadsFolderItem"
        text: qsTr("Change downloads folder…")
        description: !!menu.controller ? qsTr("Received files go to %1").arg(menu.controller.downloadsFolder) : ""
        // The folder chooser opens once the menu has closed, like the other dialogs.
        onTriggered: Qt.callLater(menu.controller.chooseDownloadsFolder) // qmllint disable type
    }
    AppMenuSeparator {}
    AppMenuItem {
        objectName: "startOnLoginItem"
        text: qsTr("Start Vesk when I log in")
        checkable: true
        checked: !!menu.preferences && menu.preferences.startOnLogin
        // The preferences own the setting: ask them to flip it, then show what they hold.
        onTriggered: {
            menu.preferences.toggleStartOnLogin()
            checked = Qt.binding(() => !!menu.preferences && menu.preferences.startOnLogin)
        }
    }
    AppMenuItem {
        objectName: "autoOpenItem"
        text: qsTr("Open received files automatically")
        description: qsTr("Hand each file to its usual program as soon as it arrives (never programs or scripts). Off by default: files come from computers nobody verified.")
        checkable: true
        checked: !!menu.preferences && menu.preferences.automaticallyOpenDownloadedFiles
        onTriggered: {
            menu.preferences.toggleAutomaticallyOpenDownloadedFiles()
            checked = Qt.binding(() => !!menu.preferences && menu.preferences.automaticallyOpenDownloadedFiles)
        }
    }
    AppMenuItem {
        objectName: "resumeItem"
        text: qsTr("Resume interrupted downloads")
        description: qsTr("Downloads you queued go on by themselves after Vesk or the sender restarts")
        checkable: true
        checked: !!menu.preferences && menu.preferences.resumeInterruptedDownloads
        onTriggered: {
            menu.preferences.toggleResumeInterruptedDownloads()
            checked = Qt.binding(() => !!menu.preferences && menu.preferences.resumeInterruptedDownloads)
        }
    }
    AppMenuItem {
        objectName: "noticesItem"
        text: qsTr("Show notices")
        description: qsTr("A notice for each new message or offered file")
        checkable: true
        checked: !!menu.preferences && menu.preferences.showNotices
        onTriggered: {
            menu.preferences.toggleShowNotices()
            checked = Qt.binding(() => !!menu.preferences && menu.preferences.showNotices)
        }
    }
    AppMenuSeparator {}
    AppMenuItem {
        text: qsTr("Quit Vesk…")
        destructive: true
        onTriggered: Qt.callLater(Qt.quit) // qmllint disable type
    }
}
