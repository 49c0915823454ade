import QtQuick
import QtQuick.Controls.impl

// The tick box of a selectable row; drawn rather than a CheckBox so the whole row stays one control.
Rectangle {
    id: box

    property bool checked: false

    implicitWidth: 20
    implicitHeight: 20
    radius: 5
    color: checked ? Theme.brand : "transparent"
    border.width: checked ? 0 : 2
    border.color: Theme.textMuted

    IconImage {
        anchors.centerIn: parent
        visible: box.checked
        source: Qt.resolvedUrl("icons/check.png")
        sourceSize.width: 16
        sourceSize.height: 16
        color: Theme.textOnBrand
    }
}
