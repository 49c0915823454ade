import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Controls.impl

// The text button of the interface. "primary" is the one main action of a screen (filled brand blue),
// "secondary" an outlined action, "flat" a quiet one, "danger" a flat action that removes something.
Button {
    id: control

    property string kind: "secondary"
    property string iconName
    property string tip
    readonly property bool primary: kind === "primary"
    readonly property color contentColor: !enabled ? (primary ? Theme.textMuted : Theme.disabledText)
                                                   : primary ? Theme.textOnBrand
                                                             : kind === "danger" ? Theme.danger : Theme.accentText

    focusPolicy: Qt.StrongFocus
    font.pixelSize: Theme.fontBody
    font.bold: primary
    leftPadding: iconName === "" ? Theme.spacingL : Theme.spacingM
    rightPadding: Theme.spacingL
    topPadding: Theme.spacingS
    bottomPadding: Theme.spacingS
    spacing: Theme.spacingS - 2
    icon.source: iconName === "" ? "" : Qt.resolvedUrl("icons/" + iconName + ".png")
    icon.width: 18
    icon.height: 18
    icon.color: contentColor
    Accessible.name: text
    Accessible.description: tip
    ToolTip.visible: tip !== "" && (hovered || visualFocus)
    ToolTip.text: tip
    ToolTip.delay: 500

    contentItem: IconLabel {
        spacing: control.spacing
        display: control.display
        icon: control.icon
        text: control.text
        font: control.font
        color: control.contentColor
    }

    background: Rectangle {
        implicitHeight: Theme.controlHeight
        implicitWidth: 64
        radius: Theme.radius
        color: control.primary ? (!control.enabled ? Theme.surfaceAlt
                                                   : control.down ? Theme.brandPressed
                                                                  : control.hovered ? Theme.brandHover : Theme.brand)
                               : control.down ? Theme.pressed : control.hovered ? Theme.hover : "transparent"
        border.width: control.kind === "secondary" ? 1 : 0
        border.color: Theme.divider

        // The focus ring sits just outside the button, so it shows on a filled button too.
        Rectangle {
            anchors.fill: parent
            anchors.margins: -3
            radius: parent.radius + 3
            color: "transparent"
            visible: control.visualFocus
            border.width: 2
            border.color: Theme.focus
        }
    }
}
