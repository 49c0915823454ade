import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import Vesk.Core
import "Format.js" as Format

// The people Vesk found on this network, then those offline you have talked with (or who left unread messages).
// With nobody there yet it says what to check.
Item {
    id: page

    property var controller
    property var peersModel

    readonly property alias count: list.count
    // The heading counts the people it is about: those online now, not the offline ones listed below them.
    property int onlineCount: 0

    function countOnline() {
        var n = 0
        for (var i = 0; i < presence.count; ++i) {
            var entry = presence.objectAt(i)
            if (entry && entry.online) // qmllint disable type
                ++n
        }
        onlineCount = n
    }
    component Presence: QtObject {
        required property var model
        readonly property bool online: model.online === true
    }
    Instantiator {
        id: presence
        model: page.peersModel
        delegate: Presence {}
        onObjectAdded: Qt.callLater(page.countOnline) // qmllint disable type
        onObjectRemoved: Qt.callLater(page.countOnline) // qmllint disable type
    }
    Connections {
        target: page.peersModel
        ignoreUnknownSignals: true
        function onModelReset() { Qt.callLater(page.countOnline) } // qmllint disable type
        function onDataChanged() { Qt.callLater(page.countOnline) } // qmllint disable type
    }

    function focusList() {
        list.forceActiveFocus()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        SectionHeader {
            Layout.fillWidth: true
            visible: list.count > 0
            objectName: "peersHeading"
            title: qsTr("People on this network")
            count: page.onlineCount
            IconButton {
                iconName: "refresh"
                tip: qsTr("Look for people again (Ctrl+R)")
                tint: Theme.textMuted
                onClicked: page.controller.refreshPeers()
            }
        }

        KeyList {
            id: list
            objectName: "peerList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: count > 0
            model: page.peersModel
            Accessible.name: qsTr("People")

            delegate: PeerDelegate {
                required property var model
                required property int index
                width: ListView.view.width
                // The page's own property: qmllint 6.4 counts it as unqualified in a delegate with required
                // properties, and the bound components that would tell it otherwise break the section delegate.
                controller: page.controller // qmllint disable unqualified
                peerId: Format.str(model.id)
                alias: Format.str(model.alias)
                avatarUrl: Format.str(model.avatarUrl)
                online: model.online === true
                sysinfo: Format.str(model.sysinfo)
                isBlocked: model.isBlocked === true
                security: model.security ?? SecurityState.Plain
                unread: Format.toCount(model.unreadCount)
                highlighted: ListView.isCurrentItem && ListView.view.activeFocus
            }

            // Offline people you have talked with stay listed, greyed, below the online ones.
            // Sections go by the text of a role: "false" is the offline group.
            section.property: "online"
            section.delegate: Item {
                id: sectionItem
                required property string section
                readonly property bool offline: section === "false"
                objectName: "peerSection"
                width: ListView.view.width
                height: offline ? offlineLabel.implicitHeight : 0
                Label {
                    id: offlineLabel
                    visible: sectionItem.offline
                    leftPadding: Theme.spacingL
                    topPadding: Theme.spacingS
                    bottomPadding: Theme.spacingXs
                    text: qsTr("Offline")
                    font.pixelSize: Theme.fontCaption
                    font.bold: true
                    color: Theme.textMuted
                }
            }

            onRowActivated: (item) => item.open()
            onRowMenuRequested: (item) => item.openMenu()
        }

        EmptyState {
            objectName: "peersEmpty"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: list.count === 0
            illustration: "illus-peers"
            title: qsTr("Nobody else on this network is running Vesk yet")
            text: qsTr("Vesk finds the others by itself. If someone is missing, check that:")
            actionText: qsTr("Look again")
            actionIcon: "refresh"
            onActionTriggered: page.controller.refreshPeers()

            Repeater {
                model: [
                    qsTr("Vesk is running on their computer too"),
                    qsTr("you are both on the same network (the same Wi-Fi or office LAN), or theirs is listed under \u201cOther networks\u2026\u201d in the menu"),
                    qsTr("a firewall on either computer lets UDP port 45000 and TCP port 25001 in")
                ]
                delegate: RowLayout {
                    id: reason
                    required property string modelData
                    Layout.fillWidth: true
                    spacing: Theme.spacingS
                    Rectangle {
                        Layout.alignment: Qt.AlignTop
                        Layout.topMargin: 7
                        width: 6
                        height: 6
                        radius: 3
                        color: Theme.brandTeal
                    }
                    Label {
                        Layout.fillWidth: true
                        text: reason.modelData
                        textFormat: Text.PlainText
                        wrapMode: Text.WordWrap
                        font.pixelSize: Theme.fontBody
                        color: Theme.text
                    }
                }
            }
        }
    }
}
