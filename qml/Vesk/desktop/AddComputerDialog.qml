import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// "Add a computer by address": one address or computer name, tried at once; the controller answers whether
// somebody running Vesk is there.
Popup {
    id: dialog

    property var controller
    property bool busy: false
    property bool found: false
    property string answer: ""

    // Made when asked for (see SettingsMenu): opens at once and goes when it is closed.
    Component.onCompleted: dialog.open()
    onClosed: dialog.destroy()

    function tryAddress() {
        if (busy || field.text.trim() === "")
            return
        busy = true
        answer = ""
        controller.addComputerByAddress(field.text)
    }

    parent: T.Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(460, parent ? parent.width - 2 * Theme.spacingXl : 460)
    modal: true
    focus: true
    padding: Theme.spacingXl
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    onOpened: field.forceActiveFocus()

    background: Rectangle {
        color: Theme.surface
        radius: Theme.radius
        border.color: Theme.divider
    }

    Connections {
        target: dialog.controller
        function onAddComputerAnswered(address, found, message) {
            dialog.busy = false
            dialog.found = found
            dialog.answer = message
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: Theme.spacingM

        Label {
            text: qsTr("Add a computer by address")
            color: Theme.text
            font.pixelSize: Theme.fontTitle
            font.bold: true
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            color: Theme.textMuted
            font.pixelSize: Theme.fontBody
            text: qsTr("For a colleague on another network: type the address or the name of their computer. Once found, Vesk remembers it and finds it again by itself.")
        }
        TextField {
            id: field
            objectName: "addComputerField"
            Layout.fillWidth: true
            enabled: !dialog.busy
            color: Theme.text
            font.pixelSize: Theme.fontBody
            placeholderText: "192.168.2.15"
            placeholderTextColor: Theme.textMuted
            selectByMouse: true
            Accessible.name: qsTr("Address or computer name")
            onAccepted: dialog.tryAddress()
            onTextEdited: dialog.answer = ""
            background: Rectangle {
                implicitHeight: Theme.controlHeight
                color: Theme.window
                radius: Theme.radius
                border.color: field.activeFocus ? Theme.focus : Theme.divider
                border.width: field.activeFocus ? 2 : 1
            }
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: Theme.spacingS
            visible: dialog.busy || dialog.answer !== ""
            BusyIndicator {
                visible: dialog.busy
                running: dialog.busy
                Layout.preferredWidth: 24
                Layout.preferredHeight: 24
            }
            Label {
                objectName: "addComputerAnswer"
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                font.pixelSize: Theme.fontBody
                color: dialog.busy ? Theme.textMuted : dialog.found ? Theme.accentText : Theme.danger
                text: dialog.busy ? qsTr("Looking for Vesk at %1\u2026").arg(field.text.trim()) : dialog.answer
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: Theme.spacingS
            spacing: Theme.spacingS
            Item { Layout.fillWidth: true }
            ActionButton {
                text: dialog.found ? qsTr("Done") : qsTr("Close")
                kind: "flat"
                onClicked: dialog.close()
            }
            ActionButton {
                text: qsTr("Add")
                kind: "primary"
                enabled: !dialog.busy && field.text.trim() !== ""
                onClicked: dialog.tryAddress()
            }
        }
    }
}
