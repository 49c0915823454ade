import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic
import "Format.js" as Format

// One file or folder picked for sending: its icon, name and size (a folder's with its number of files), ticked
// when it will be sent. Activating the row flips the tick; the cross takes it off the list.
ItemDelegate {
    id: row

    property var filesModel
    property string fileUrl
    property string fileName
    property real fileSize: 0
    property string thumbnail
    property bool selected: false
    property bool isFolder: false
    property int fileCount: 1
    readonly property string sizeText: isFolder ? Format.folderContents(fileCount, fileSize) : Format.formatBytes(fileSize)

    function toggle() {
        filesModel.toggleHighlightFlag(fileUrl)
    }

    focusPolicy: Qt.NoFocus
    implicitHeight: Theme.rowHeight
    leftPadding: Theme.spacingL
    rightPadding: Theme.spacingL
    Accessible.role: Accessible.CheckBox
    Accessible.checkable: true
    Accessible.checked: selected
    Accessible.name: (isFolder ? qsTr("Folder %1").arg(fileName) : fileName) + ", " + sizeText

    onClicked: toggle()

    background: Rectangle {
        color: row.down ? Theme.pressed : row.hovered ? Theme.hover : row.highlighted ? Theme.selected : "transparent"
        border.width: row.highlighted ? 2 : 0
        border.color: Theme.focus
        radius: row.highlighted ? 4 : 0
    }

    contentItem: RowLayout {
        spacing: Theme.spacingM

        CheckMark {
            checked: row.selected
        }
        Image {
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            source: row.isFolder ? "qrc:/qml/Vesk/pics/fileicons/folder-entry.png" : Format.imageUrl(row.thumbnail)
            sourceSize.width: 64
            sourceSize.height: 64
            fillMode: Image.PreserveAspectFit
            smooth: true
            opacity: row.selected ? 1 : 0.55
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Label {
                Layout.fillWidth: true
                text: row.fileName
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                font.pixelSize: Theme.fontBody
                color: row.selected ? Theme.text : Theme.textMuted
            }
            Label {
                Layout.fillWidth: true
                objectName: "sizeLabel"
                text: row.sizeText
                textFormat: Text.PlainText
                font.pixelSize: Theme.fontCaption
                color: Theme.textMuted
            }
        }
        IconButton {
            objectName: "removeFileButton"
            iconName: "close"
            tint: Theme.textMuted
            focusPolicy: Qt.NoFocus
            tip: qsTr("Remove %1 from the list").arg(row.fileName)
            onClicked: row.filesModel.removeFile(row.fileUrl)
        }
    }
}
