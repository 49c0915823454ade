import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// First screen: who this installation is on the network. The full interface replaces it.
Rectangle {
    id: root
    color: palette.window

    SystemPalette { id: palette }

    ColumnLayout {
        anchors.centerIn: parent
        width: parent.width - 48
        spacing: 16

        Image {
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 128
            Layout.preferredHeight: 128
            source: globals.userAvatar.indexOf("qrc:") === 0 ? globals.userAvatar : "file://" + globals.userAvatar
            fillMode: Image.PreserveAspectFit
            smooth: true
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: globals.userAlias
            font.pixelSize: 22
            font.bold: true
            elide: Text.ElideRight
            color: palette.windowText
        }
        Label {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            text: qsTr("Vesk is running. Others on this network running Vesk will find you automatically.")
            color: palette.windowText
            opacity: 0.7
        }
    }
}
