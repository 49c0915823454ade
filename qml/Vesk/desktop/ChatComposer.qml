import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Basic

// Where a message is written. Enter sends, Shift+Enter starts a new line. Emits the text as typed (not trimmed);
// a text of nothing but white space is never sent. The paperclip offers files to the same person.
Rectangle {
    id: composer

    property string placeholder: qsTr("Write a message")
    property bool canWrite: true
    readonly property bool canSend: canWrite && area.text.trim() !== ""
    property alias text: area.text

    signal sendRequested(string text)
    signal attachRequested()

    function submit() {
        if (!canSend)
            return
        // A line break typed with Shift+Enter can arrive as the Unicode line separator; peers expect "\n".
        var message = area.text.replace(/\u2028/g, "\n")
        area.clear()
        sendRequested(message)
    }
    function focusInput() {
        area.forceActiveFocus()
    }

    implicitHeight: layout.implicitHeight + Theme.spacingS * 2
    color: Theme.surface

    Rectangle {
        anchors.top: parent.top
        width: parent.width
        height: 1
        color: Theme.divider
    }

    RowLayout {
        id: layout
        anchors.fill: parent
        anchors.margins: Theme.spacingS
        spacing: Theme.spacingS

        IconButton {
            objectName: "attachButton"
            Layout.alignment: Qt.AlignBottom
            Layout.bottomMargin: 2
            iconName: "attach"
            tint: Theme.textMuted
            tip: qsTr("Send files")
            enabled: composer.canWrite
            onClicked: composer.attachRequested()
        }

        ScrollView {
            id: scroller
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(Math.max(area.implicitHeight, Theme.controlHeight + 4), 132)
            Layout.alignment: Qt.AlignBottom
            ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

            TextArea {
                id: area
                objectName: "composerInput"
                enabled: composer.canWrite
                placeholderText: composer.placeholder
                placeholderTextColor: Theme.textMuted
                textFormat: TextEdit.PlainText
                wrapMode: TextEdit.Wrap
                font.pixelSize: Theme.fontBody
                color: Theme.text
                selectionColor: Theme.selected
                selectedTextColor: Theme.text
                selectByMouse: true
                topPadding: 9
                bottomPadding: 9
                leftPadding: Theme.spacingM
                rightPadding: Theme.spacingM
                Accessible.name: qsTr("Message")
                Accessible.description: qsTr("Enter sends, Shift+Enter starts a new line")
                background: Rectangle {
                    radius: Theme.radius * 2
                    color: Theme.surfaceAlt
                    border.width: area.activeFocus ? 2 : 0
                    border.color: Theme.focus
                }

                Keys.onPressed: (event) => {
                    if (event.key !== Qt.Key_Return && event.key !== Qt.Key_Enter)
                        return
                    event.accepted = true
                    if (event.modifiers & Qt.ShiftModifier) {
                        if (area.selectedText !== "")
                            area.remove(area.selectionStart, area.selectionEnd)
                        area.insert(area.cursorPosition, "\n")
                    } else {
                        composer.submit()
                    }
                }
            }
        }

        RoundButton {
            id: sendButton
            objectName: "sendButton"
            Layout.alignment: Qt.AlignBottom
            Layout.bottomMargin: 2
            implicitWidth: 40
            implicitHeight: 40
            enabled: composer.canSend
            focusPolicy: Qt.StrongFocus
            text: qsTr("Send")
            display: AbstractButton.IconOnly
            icon.source: Qt.resolvedUrl("icons/send.png")
            icon.width: 20
            icon.height: 20
            icon.color: enabled ? Theme.textOnBrand : Theme.disabledText
            Accessible.name: qsTr("Send message")
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Send (Enter)")
            ToolTip.delay: 500
            onClicked: composer.submit()
            background: Rectangle {
                radius: width / 2
                color: !sendButton.enabled ? Theme.surfaceAlt
                                           : sendButton.down ? Theme.brandPressed
                                                             : sendButton.hovered ? Theme.brandHover : Theme.brand
                border.width: sendButton.visualFocus ? 2 : 0
                border.color: Theme.focus
            }
        }
    }
}
