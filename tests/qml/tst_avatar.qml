import QtQuick
import QtTest
import "../../qml/Vesk/desktop"

// The round picture of a person: a picture of other proportions fills the circle with its centre square, neither
// squashed nor letterboxed.
VeskTestCase {
    id: testCase
    name: "Avatar"
    width: 200
    height: 200
    visible: true
    when: windowShown

    // Paints a test picture: red in the centre square, blue on the rest of the longer side.
    Component {
        id: pictureComponent
        Canvas {
            property bool painted: false
            renderStrategy: Canvas.Immediate
            renderTarget: Canvas.Image
            onPaint: {
                var ctx = getContext("2d")
                ctx.fillStyle = "#0000ff"
                ctx.fillRect(0, 0, width, height)
                ctx.fillStyle = "#ff0000"
                var side = Math.min(width, height)
                ctx.fillRect((width - side) / 2, (height - side) / 2, side, side)
                painted = true
            }
        }
    }

    Component {
        id: avatarComponent
        Avatar {
            size: 100
        }
    }

    function picture(w, h) {
        var canvas = createTemporaryObject(pictureComponent, testCase, { width: w, height: h })
        tryVerify(() => canvas.available)
        canvas.requestPaint()
        tryVerify(() => canvas.painted)
        return canvas.toDataURL("image/png")
    }

    function test_centreSquareFillsTheCircle_data() {
        return [
            { tag: "wide", w: 300, h: 100 },
            { tag: "tall", w: 100, h: 300 },
            { tag: "square", w: 120, h: 120 },
        ]
    }

    function test_centreSquareFillsTheCircle(data) {
        var avatar = createTemporaryObject(avatarComponent, testCase, { source: picture(data.w, data.h) })
        waitForRendering(avatar)
        var image
        // The picture loads asynchronously; wait until its middle is painted.
        tryVerify(() => {
            image = grabImage(avatar)
            return image.pixel(50, 50) == Qt.rgba(1, 0, 0, 1)
        })
        // Just inside the circle on all four sides: a squashed picture would show blue on two of them.
        for (const [x, y] of [[4, 50], [96, 50], [50, 4], [50, 96]])
            compare(image.pixel(x, y), Qt.rgba(1, 0, 0, 1), "at " + x + "," + y)
    }
}
