import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// The band at the top: who you are on the network, how many people are around, and the application menu.
Rectangle {
    id: header

    property var controller
    property int onlineCount: 0

    function openMenu() {
        settingsMenu.popup(menuButton, menuButton.width - settingsMenu.width, menuButton.height)
    }

    implicitHeight: 64
    gradient: Gradient {
        orientation: Gradient.Horizontal
        GradientStop { position: 0; color: Theme.brandTeal }
        GradientStop { position: 1; color: Theme.brandBlue }
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.spacingL
        anchors.rightMargin: Theme.spacingS
        spacing: Theme.spacingM

        AbstractButton {
            id: profileButton
            Layout.preferredWidth: 40
            Layout.preferredHeight: 40
            focusPolicy: Qt.StrongFocus
            Accessible.name: qsTr("Edit profile")
            ToolTip.visible: hovered || visualFocus
            ToolTip.text: qsTr("Edit your name and picture")
            ToolTip.delay: 500
            onClicked: header.controller.launchProfileWizard()
            contentItem: Avatar {
                size: 40
                source: header.controller ? header.controller.userAvatarUrl : ""
            }
            background: Rectangle {
                radius: width / 2
                color: "transparent"
                border.width: profileButton.visualFocus ? 2 : 0
                border.color: Theme.textOnBrand
                anchors.margins: -3
                anchors.fill: parent
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 0
            Label {
                Layout.fillWidth: true
                text: Format.displayName(header.controller ? header.controller.userAlias : "")
                textFormat: Text.PlainText
                elide: Text.ElideRight
                font.pixelSize: Theme.fontTitle
                font.bold: true
                color: Theme.textOnBrand
            }
            Label {
                objectName: "onlineSummary"
                Layout.fillWidth: true
                text: header.onlineCount === 0 ? qsTr("Nobody else online")
                                               : header.onlineCount === 1 ? qsTr("1 person online")
                                                                          : qsTr("%1 people online").arg(header.onlineCount)
                textFormat: Text.PlainText
                elide: Text.ElideRight
                font.pixelSize: Theme.fontCaption
                color: Theme.textOnBrand
                opacity: 0.9
            }
        }

        IconButton {
            id: menuButton
            objectName: "menuButton"
            iconName: "menu"
            tint: Theme.textOnBrand
            tip: qsTr("Menu (F10)")
            ToolTip.visible: (hovered || visualFocus) && !settingsMenu.visible
            onClicked: header.openMenu()
        }
    }

    SettingsMenu {
        id: settingsMenu
        objectName: "settingsMenu"
        controller: header.controller
    }
}
