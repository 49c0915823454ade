import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// A question asked once before something that cannot be undone: the button that goes ahead says what it does.
// Made when asked for, in the window's overlay: opens at once and goes when it is closed.
Popup {
    id: dialog

    property string title
    property string text
    property string verb
    signal confirmed()

    Component.onCompleted: dialog.open()
    onClosed: dialog.destroy()

    parent: T.Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(420, parent ? parent.width - 2 * Theme.spacingXl : 420)
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

        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: dialog.title
            color: Theme.text
            font.pixelSize: Theme.fontTitle
            font.bold: true
        }
        Label {
            objectName: "confirmText"
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            textFormat: Text.PlainText
            text: dialog.text
            color: Theme.textMuted
            font.pixelSize: Theme.fontBody
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: Theme.spacingS
            spacing: Theme.spacingS
            Item { Layout.fillWidth: true }
            ActionButton {
                objectName: "confirmCancelButton"
                text: qsTr("Cancel")
                kind: "flat"
                onClicked: dialog.close()
            }
            ActionButton {
                objectName: "confirmButton"
                text: dialog.verb
                kind: "primary"
                onClicked: {
                    dialog.confirmed()
                    dialog.close()
                }
            }
        }
    }
}
