import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic

// The common shape of a transfer list row: type icon, file name, one line of detail, an optional progress bar,
// and the row's actions on the right.
Item {
    id: row

    property string fileName
    property string iconUrl
    property string detail
    property color detailColor: Theme.textMuted
    property bool showProgress: false
    property real progress: 0
    // A third line under the bar: speed, time left, the state of an offer.
    property string note
    default property alias actions: actionRow.data

    implicitHeight: Math.max(Theme.rowHeight, layout.implicitHeight + Theme.spacingS * 2)
    Accessible.role: Accessible.ListItem
    Accessible.name: fileName + ", " + detail + (note !== "" ? ", " + note : "")

    RowLayout {
        id: layout
        anchors.fill: parent
        anchors.leftMargin: Theme.spacingL
        anchors.rightMargin: Theme.spacingS
        spacing: Theme.spacingM

        Image {
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            Layout.alignment: Qt.AlignVCenter
            source: row.iconUrl
            sourceSize.width: 64
            sourceSize.height: 64
            fillMode: Image.PreserveAspectFit
            smooth: true
        }
        ColumnLayout {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignVCenter
            spacing: 3
            Label {
                Layout.fillWidth: true
                text: row.fileName
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                font.pixelSize: Theme.fontBody
                color: Theme.text
            }
            // Wrapped rather than cut: its end ("of 310 MB") is what the line is for.
            Label {
                Layout.fillWidth: true
                text: row.detail
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                maximumLineCount: 3
                elide: Text.ElideRight
                font.pixelSize: Theme.fontCaption
                color: row.detailColor
            }
            ProgressBar {
                id: bar
                visible: row.showProgress
                Layout.fillWidth: true
                Layout.topMargin: 2
                value: row.progress
                background: Rectangle {
                    implicitHeight: 6
                    radius: 3
                    color: Theme.track
                }
                contentItem: Item {
                    implicitHeight: 6
                    Rectangle {
                        width: bar.visualPosition * parent.width
                        height: parent.height
                        radius: 3
                        gradient: Gradient {
                            orientation: Gradient.Horizontal
                            GradientStop { position: 0; color: Theme.brandTeal }
                            GradientStop { position: 1; color: Theme.brandBlue }
                        }
                    }
                }
            }
            Label {
                objectName: "note"
                visible: row.note !== ""
                Layout.fillWidth: true
                text: row.note
                textFormat: Text.PlainText
                // A reason the user acts on ("14.8 MB more needed") must not be cut off in a narrow window.
                wrapMode: Text.Wrap
                maximumLineCount: 3
                elide: Text.ElideRight
                font.pixelSize: Theme.fontCaption
                color: Theme.textMuted
            }
        }
        RowLayout {
            id: actionRow
            Layout.alignment: Qt.AlignVCenter
            spacing: 0
        }
    }
}
