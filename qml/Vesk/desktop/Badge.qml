import QtQuick
import "Format.js" as Format

// A count in a pill, hidden at zero.
Rectangle {
    id: badge

    property int count: 0
    property color fill: Theme.badge

    visible: count > 0
    implicitHeight: 20
    implicitWidth: Math.max(implicitHeight, label.implicitWidth + 12)
    radius: height / 2
    color: fill

    Accessible.role: Accessible.StaticText
    Accessible.name: label.text

    Text {
        id: label
        anchors.centerIn: parent
        text: Format.badgeText(badge.count)
        textFormat: Text.PlainText
        color: Theme.textOnBrand
        font.pixelSize: Theme.fontCaption
        font.bold: true
    }
}
