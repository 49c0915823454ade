import QtQuick
import QtQuick.Controls.Basic

// A round, icon-only button with a tooltip. The tooltip text is also its accessible name.
ToolButton {
    id: control

    property string iconName
    property color tint: Theme.text
    property string tip

    text: tip
    display: AbstractButton.IconOnly
    focusPolicy: Qt.StrongFocus
    padding: 8
    implicitWidth: Theme.controlHeight
    implicitHeight: Theme.controlHeight
    icon.source: iconName === "" ? "" : Qt.resolvedUrl("icons/" + iconName + ".png")
    icon.width: Theme.iconSize
    icon.height: Theme.iconSize
    icon.color: enabled ? tint : Theme.disabledText

    Accessible.name: tip
    ToolTip.visible: tip !== "" && (hovered || visualFocus)
    ToolTip.text: tip
    ToolTip.delay: 500

    background: Rectangle {
        radius: width / 2
        color: control.down ? Theme.pressed : control.hovered ? Theme.hover : "transparent"
        opacity: control.tint === Theme.textOnBrand ? 0.25 : 1
        border.width: control.visualFocus ? 2 : 0
        border.color: control.tint === Theme.textOnBrand ? Theme.textOnBrand : Theme.focus
    }
}
