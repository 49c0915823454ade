import QtQuick
import QtQuick.Controls.Basic

// The application menu: profile, the two preferences, looking for peers again, the downloads folder, quitting.
Menu {
    id: menu

    property var controller

    width: 300

    MenuItem {
        text: qsTr("Edit profile…")
        onTriggered: menu.controller.launchProfileWizard()
    }
    MenuItem {
        text: qsTr("Look for people again")
        onTriggered: menu.controller.refreshPeers()
    }
    MenuItem {
        text: qsTr("Open downloads folder")
        onTriggered: menu.controller.openDownloadedFilesFolder()
    }
    MenuSeparator {}
    MenuItem {
        objectName: "startOnLoginItem"
        text: qsTr("Start Vesk when I log in")
        checkable: true
        checked: !!menu.controller && menu.controller.startOnLogin
        // The controller owns the setting: ask it to flip, then show what it holds.
        onTriggered: {
            menu.controller.toggleStartOnLogin()
            checked = Qt.binding(() => !!menu.controller && menu.controller.startOnLogin)
        }
    }
    MenuItem {
        objectName: "autoOpenItem"
        text: qsTr("Open received files automatically")
        checkable: true
        checked: !!menu.controller && menu.controller.automaticallyOpenDownloadedFiles
        onTriggered: {
            menu.controller.toggleAutomaticallyOpenDownloadedFiles()
            checked = Qt.binding(() => !!menu.controller && menu.controller.automaticallyOpenDownloadedFiles)
        }
    }
    MenuSeparator {}
    MenuItem {
        text: qsTr("Quit Vesk…")
        onTriggered: Qt.quit()
    }
}
