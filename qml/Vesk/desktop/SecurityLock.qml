import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Controls.impl
import Vesk.Core
import "Security.js" as Security

// A peer's lock: open for a plain peer, closed when messages are encrypted, with a tick once codes were compared,
// a warning sign when its security key changed. Hovering it tells what it means in words.
Item {
    id: lock

    property int security: SecurityState.Plain
    property string name
    property int size: 16
    readonly property string text: Security.describe(security, name)
    readonly property color tint: security === SecurityState.KeyChanged ? Theme.danger
                                : security === SecurityState.Verified ? Theme.online
                                : security === SecurityState.Sealed ? Theme.accentText : Theme.textMuted

    implicitWidth: size
    implicitHeight: size
    Accessible.role: Accessible.Graphic
    Accessible.name: text

    IconImage {
        anchors.fill: parent
        source: Qt.resolvedUrl("icons/" + Security.icon(lock.security) + ".png")
        sourceSize.width: lock.size
        sourceSize.height: lock.size
        color: lock.tint
    }
    HoverHandler {
        id: hover
    }
    ToolTip.visible: hover.hovered
    ToolTip.text: text
    ToolTip.delay: 500
}
