import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Controls.impl
import QtQuick.Templates as T
import Vesk.Core
import "Security.js" as Security

// The security code of one peer, to compare with the code on that person's screen (in person or on the phone, not
// through Vesk itself): two lines of twenty digits, one per computer's key, the same on both screens only when each
// side holds the other's real key.
// After comparing, the user marks the peer verified. When the peer came with a new key, the dialog says why that
// may be, shows the code of the new key and is where the user accepts it; until then nothing from it is taken.
Popup {
    id: dialog

    property var controller
    property string peerId
    property string name
    // Read again from the controller whenever it announces a change, so the dialog never shows a stale state.
    property int security: SecurityState.Plain
    property string code

    function read() {
        if (!controller)
            return
        security = controller.peerSecurityState(peerId)
        code = controller.peerSecurityCode(peerId)
    }

    // Made when asked for (see PeerMenu): opens at once and goes when it is closed.
    Component.onCompleted: {
        read()
        dialog.open()
    }
    onClosed: dialog.destroy()

    Connections {
        target: dialog.controller
        ignoreUnknownSignals: true
        function onPeerSecurityChanged(nodeId: string) {
            if (nodeId === dialog.peerId)
                dialog.read()
        }
    }

    readonly property bool changed: security === SecurityState.KeyChanged

    parent: T.Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(480, parent ? parent.width - 2 * Theme.spacingXl : 480)
    modal: true
    focus: true
    padding: Theme.spacingXl
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    background: Rectangle {
        color: Theme.surface
        radius: Theme.radius
        border.color: Theme.divider
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: Theme.spacingM

        RowLayout {
            Layout.fillWidth: true
            spacing: Theme.spacingS
            SecurityLock {
                security: dialog.security
                name: dialog.name
                size: 20
            }
            Label {
                objectName: "securityTitle"
                Layout.fillWidth: true
                text: dialog.changed ? Security.describe(dialog.security, dialog.name)
                                     : qsTr("Security code for %1").arg(dialog.name)
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                color: dialog.changed ? Theme.danger : Theme.text
                font.pixelSize: Theme.fontTitle
                font.bold: true
            }
        }
        Label {
            objectName: "securityExplanation"
            Layout.fillWidth: true
            visible: dialog.changed
            wrapMode: Text.WordWrap
            textFormat: Text.PlainText
            color: Theme.text
            font.pixelSize: Theme.fontBody
            text: qsTr("This happens when Vesk was reinstalled on that computer, or when someone else on the network is pretending to be %1. Nothing sent with the new key is accepted until you accept it; your conversation stays as it is.").arg(dialog.name)
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            textFormat: Text.PlainText
            color: Theme.textMuted
            font.pixelSize: Theme.fontBody
            text: qsTr("Compare this with the code on %1's screen").arg(dialog.name)
        }
        Rectangle {
            Layout.fillWidth: true
            // The digits as drawn: on a narrow dialog they are smaller than the size asked for.
            implicitHeight: codeLabel.contentHeight + 2 * Theme.spacingL
            radius: Theme.radius
            color: Theme.surfaceAlt
            Label {
                id: codeLabel
                objectName: "securityCode"
                anchors.centerIn: parent
                // Large enough to read aloud across a desk; smaller only where the dialog is too narrow for it.
                width: parent.width - 2 * Theme.spacingM
                height: contentHeight
                horizontalAlignment: Text.AlignHCenter
                fontSizeMode: Text.HorizontalFit
                minimumPixelSize: 16
                text: dialog.code
                textFormat: Text.PlainText
                color: Theme.text
                font.family: "monospace"
                font.pixelSize: 30
                font.bold: true
                Accessible.name: qsTr("Security code %1").arg(dialog.code.split("").join(" "))
            }
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            textFormat: Text.PlainText
            color: Theme.textMuted
            font.pixelSize: Theme.fontCaption
            text: dialog.changed
                ? qsTr("Accept the new key only if the codes match, or if you know Vesk was reinstalled there.")
                : qsTr("Compare in person or on the phone, not through Vesk. If the codes match, nobody else on the network can read or change your messages.")
        }
        RowLayout {
            objectName: "verifiedNote"
            Layout.fillWidth: true
            visible: dialog.security === SecurityState.Verified
            spacing: Theme.spacingS
            IconImage {
                source: Qt.resolvedUrl("icons/check.png")
                sourceSize.width: 18
                sourceSize.height: 18
                color: Theme.online
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                textFormat: Text.PlainText
                color: Theme.text
                font.pixelSize: Theme.fontBody
                text: qsTr("You have verified %1. Nothing more to do.").arg(dialog.name)
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: Theme.spacingS
            spacing: Theme.spacingS
            Item { Layout.fillWidth: true }
            ActionButton {
                objectName: "securityCloseButton"
                text: dialog.security === SecurityState.Sealed || dialog.changed ? qsTr("Not now") : qsTr("Close")
                kind: "flat"
                onClicked: dialog.close()
            }
            ActionButton {
                objectName: "markVerifiedButton"
                visible: dialog.security === SecurityState.Sealed
                text: qsTr("Mark as verified")
                kind: "primary"
                onClicked: {
                    dialog.controller.markPeerVerified(dialog.peerId)
                    dialog.read()
                }
            }
            ActionButton {
                objectName: "acceptKeyButton"
                visible: dialog.changed
                text: qsTr("Accept new key")
                kind: "primary"
                onClicked: {
                    dialog.controller.acceptPeerSecurityKey(dialog.peerId)
                    dialog.read()
                }
            }
        }
    }
}
