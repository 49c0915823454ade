import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import Vesk.Core
import "Security.js" as Security

// Above a conversation with a peer that came back with another key: says what that may mean, and leads to the
// codes to compare.
Rectangle {
    id: banner
    objectName: "keyChangedBanner"

    property int security: SecurityState.Plain
    property string name
    // The user asks to compare the codes and accept the new key.
    signal checkRequested()

    visible: security === SecurityState.KeyChanged
    implicitHeight: bannerRow.implicitHeight + 2 * Theme.spacingM
    color: Qt.tint(Theme.surface, Qt.rgba(Theme.danger.r, Theme.danger.g, Theme.danger.b, 0.12))

    RowLayout {
        id: bannerRow
        anchors.fill: parent
        anchors.margins: Theme.spacingM
        anchors.leftMargin: Theme.spacingL
        spacing: Theme.spacingM

        SecurityLock {
            Layout.alignment: Qt.AlignTop
            security: banner.security
            name: banner.name
            size: 22
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Label {
                Layout.fillWidth: true
                text: Security.describe(banner.security, banner.name)
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                font.pixelSize: Theme.fontBody
                font.bold: true
                color: Theme.danger
            }
            Label {
                objectName: "keyChangedReasons"
                Layout.fillWidth: true
                text: qsTr("Vesk may have been reinstalled on that computer, or someone else may be pretending to be %1. Nothing from the new key is accepted until you accept it.").arg(banner.name)
                textFormat: Text.PlainText
                wrapMode: Text.WordWrap
                font.pixelSize: Theme.fontCaption
                color: Theme.text
            }
            ActionButton {
                objectName: "checkKeyButton"
                Layout.topMargin: Theme.spacingXs
                text: qsTr("Check and accept…")
                kind: "secondary"
                onClicked: banner.checkRequested()
            }
        }
    }
    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Theme.divider
    }
}
