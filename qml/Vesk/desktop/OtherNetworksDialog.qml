import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// "Other networks": subnets and computers beyond this network's broadcast that Vesk also announces itself to.
// The controller checks the list; a list with a bad row is not kept, and every problem is listed under the field.
Popup {
    id: dialog

    property var controller
    property bool saved: false

    // Made when asked for (see SettingsMenu): opens at once and goes when it is closed.
    Component.onCompleted: dialog.open()
    onClosed: dialog.destroy()

    parent: T.Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(560, parent ? parent.width - 2 * Theme.spacingXl : 560)
    modal: true
    focus: true
    padding: Theme.spacingXl
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    onOpened: {
        field.text = controller ? controller.otherNetworks : ""
        field.forceActiveFocus()
    }

    background: Rectangle {
        color: Theme.surface
        radius: Theme.radius
        border.color: Theme.divider
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: Theme.spacingM

        Label {
            text: qsTr("Other networks")
            color: Theme.text
            font.pixelSize: Theme.fontTitle
            font.bold: true
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            color: Theme.textMuted
            font.pixelSize: Theme.fontBody
            text: qsTr("Vesk finds the people on this network by itself. To find colleagues on another subnet, floor or VPN, add their network here: an address (192.168.2.15), a range (192.168.2.0/24, at most /22) or a computer name. Separate them with commas.")
        }
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 96
            color: Theme.window
            radius: Theme.radius
            border.color: field.activeFocus ? Theme.focus : Theme.divider
            border.width: field.activeFocus ? 2 : 1

            ScrollView {
                anchors.fill: parent
                anchors.margins: 2
                TextArea {
                    id: field
                    objectName: "otherNetworksField"
                    wrapMode: TextEdit.Wrap
                    color: Theme.text
                    font.pixelSize: Theme.fontBody
                    // Short enough for the narrow window: a placeholder is cut, never wrapped.
                    placeholderText: "192.168.2.0/24, pc-anna.lan"
                    placeholderTextColor: Theme.textMuted
                    selectByMouse: true
                    background: null
                    Accessible.name: qsTr("Other networks")
                    onTextChanged: dialog.saved = false
                }
            }
        }
        Repeater {
            id: problems
            model: dialog.controller ? dialog.controller.otherNetworksProblems : []
            Label {
                required property string modelData
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                color: Theme.danger
                font.pixelSize: Theme.fontCaption + 1
                text: "\u2022 " + modelData
            }
        }
        Label {
            Layout.fillWidth: true
            visible: dialog.saved
            wrapMode: Text.WordWrap
            color: Theme.accentText
            font.pixelSize: Theme.fontCaption + 1
            text: field.text.trim() === "" ? qsTr("Saved. Vesk looks for people on this network only.")
                  : problems.count > 0 ? qsTr("Saved. Vesk is announcing itself to the other entries now.")
                                       : qsTr("Saved. Vesk is announcing itself to these networks now.")
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: Theme.spacingS
            spacing: Theme.spacingS
            Item { Layout.fillWidth: true }
            ActionButton {
                text: qsTr("Close")
                kind: "flat"
                onClicked: dialog.close()
            }
            ActionButton {
                objectName: "saveOtherNetworks"
                text: qsTr("Save")
                kind: "primary"
                onClicked: {
                    const ok = dialog.controller.setOtherNetworks(field.text)
                    if (ok)
                        field.text = dialog.controller.otherNetworks
                    dialog.saved = ok
                }
            }
        }
    }
}
