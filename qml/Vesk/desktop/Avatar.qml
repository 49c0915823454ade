import QtQuick
import "Format.js" as Format

// A round picture of a person, with an optional presence dot. source is a URL (the lists' avatarUrl, which changes
// when the picture file is rewritten) or a local path.
Item {
    id: root

    property string source
    property int size: 40
    property bool showPresence: false
    property bool online: false
    property color ringColor: Theme.surface

    readonly property string imageUrl: Format.imageUrl(source)
    readonly property string fallbackUrl: "qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png"
    readonly property alias shownUrl: canvas.shown

    implicitWidth: size
    implicitHeight: size

    Canvas {
        id: canvas
        anchors.fill: parent

        property string wanted: root.imageUrl === "" ? root.fallbackUrl : root.imageUrl
        // The picture actually drawn: the wanted one once it loaded, the default one if it cannot be read.
        property string shown: ""

        function pick() {
            // A picture another view already loaded is ready at once, and then no imageLoaded follows: look
            // again right after asking for it.
            if (!isImageLoaded(wanted) && !isImageError(wanted))
                loadImage(wanted)
            if (isImageLoaded(wanted)) {
                shown = wanted
            } else if (isImageError(wanted)) {
                shown = root.fallbackUrl
                loadImage(shown)
            }
            requestPaint()
        }

        onWantedChanged: pick()
        onImageLoaded: pick()
        Component.onCompleted: pick()

        onPaint: {
            var ctx = getContext("2d")
            ctx.reset()
            ctx.save()
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, Math.min(width, height) / 2, 0, 2 * Math.PI)
            ctx.closePath()
            ctx.clip()
            ctx.fillStyle = Theme.avatarFill
            ctx.fillRect(0, 0, width, height)
            if (shown !== "" && isImageLoaded(shown)) {
                // The centre square of the picture, so that peers' pictures of other proportions lose their edges
                // rather than being squashed into the circle.
                var w = natural.sourceSize.width
                var h = natural.sourceSize.height
                if (w > 0 && h > 0) {
                    var side = Math.min(w, h)
                    ctx.drawImage(shown, (w - side) / 2, (h - side) / 2, side, side, 0, 0, width, height)
                } else {
                    ctx.drawImage(shown, 0, 0, width, height)
                }
            }
            ctx.restore()
        }
    }

    // Tells the drawn picture's own size; never shown (it shares the loaded picture with the canvas).
    Image {
        id: natural
        visible: false
        source: canvas.shown
        onStatusChanged: canvas.requestPaint()
    }

    Rectangle {
        visible: root.showPresence
        width: Math.max(10, Math.round(root.size * 0.3))
        height: width
        radius: width / 2
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        color: root.online ? Theme.online : Theme.offline
        border.width: 2
        border.color: root.ringColor
    }
}
