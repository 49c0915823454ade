import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic

// What a list shows when it has nothing yet: a picture, a sentence, what to do about it, and optionally one
// action, or two side by side. Extra content (a checklist) goes below the text.
Item {
    id: empty

    property string illustration
    property string title
    property string text
    property string actionText
    property string actionIcon
    property string secondActionText
    property string secondActionIcon
    default property alias extra: extraColumn.data

    signal actionTriggered()
    signal secondActionTriggered()

    implicitHeight: column.implicitHeight + Theme.spacingXl * 2

    ColumnLayout {
        id: column
        anchors.centerIn: parent
        width: Math.min(parent.width - Theme.spacingXl * 2, 300)
        spacing: Theme.spacingM

        Image {
            visible: empty.illustration !== ""
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 88
            Layout.preferredHeight: 88
            source: empty.illustration === "" ? "" : Qt.resolvedUrl("icons/" + empty.illustration + ".png")
            sourceSize.width: 176
            sourceSize.height: 176
            fillMode: Image.PreserveAspectFit
            smooth: true
        }
        Label {
            Layout.fillWidth: true
            text: empty.title
            textFormat: Text.PlainText
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            font.pixelSize: Theme.fontTitle
            font.bold: true
            color: Theme.text
        }
        Label {
            visible: empty.text !== ""
            Layout.fillWidth: true
            text: empty.text
            textFormat: Text.PlainText
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            font.pixelSize: Theme.fontBody
            lineHeight: 1.15
            color: Theme.textMuted
        }
        ColumnLayout {
            id: extraColumn
            Layout.fillWidth: true
            spacing: Theme.spacingS
        }
        // Two actions stand side by side where they fit, else one above the other, as wide as each other: never
        // wider than the column, which would push the text above out of the window.
        GridLayout {
            id: actions
            readonly property bool sideBySide: !secondAction.visible || !firstAction.visible
                                               || firstAction.implicitWidth + secondAction.implicitWidth
                                                  + columnSpacing <= column.width
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: Theme.spacingXs
            Layout.maximumWidth: column.width
            columns: sideBySide ? 2 : 1
            columnSpacing: Theme.spacingS
            rowSpacing: Theme.spacingS
            ActionButton {
                id: firstAction
                objectName: "emptyAction"
                visible: empty.actionText !== ""
                Layout.fillWidth: !actions.sideBySide
                kind: "primary"
                text: empty.actionText
                iconName: empty.actionIcon
                onClicked: empty.actionTriggered()
            }
            ActionButton {
                id: secondAction
                objectName: "emptySecondAction"
                visible: empty.secondActionText !== ""
                Layout.fillWidth: !actions.sideBySide
                text: empty.secondActionText
                iconName: empty.secondActionIcon
                onClicked: empty.secondActionTriggered()
            }
        }
    }
}
