import QtQuick
import QtTest
import Vesk.Testing
import "../../qml/Vesk/desktop"

// The download meter follows the controller: a new current file starts a new measurement, growth reported by
// the controller is sampled, and the estimate of the time left goes back to the controller.
VeskTestCase {
    id: testCase
    name: "DownloadMeter"
    when: windowShown

    Component {
        id: fakeGlobals
        FakeGlobals {}
    }
    Component {
        id: queue
        FakeTableModel {
            roles: ["id", "status", "nodefrom", "filename", "filesize", "downloadsize", "timestamp"]
        }
    }
    Component {
        id: meterComponent
        DownloadMeter {}
    }

    function makeMeter() {
        var controller = createTemporaryObject(fakeGlobals, testCase)
        var model = createTemporaryObject(queue, testCase)
        model.rows = [{ id: "a", status: "queued", nodefrom: "{bob}", filename: "a.bin", filesize: "8000000",
                        downloadsize: "8000000", timestamp: "1" },
                      { id: "b", status: "queued", nodefrom: "{bob}", filename: "b.bin", filesize: 2000000,
                        downloadsize: "0", timestamp: "1" }]
        return createTemporaryObject(meterComponent, testCase, { controller: controller, queueModel: model })
    }

    function test_followsCurrentFile() {
        var meter = makeMeter()
        compare(meter.fileId, "")
        compare(meter.fileSize, 0)
        meter.controller.currentDownloadFileSize = 500000
        meter.controller.currentDownloadingFileId = "b"
        compare(meter.fileId, "b")
        compare(meter.fileSize, 2000000)
        compare(meter.bytesDone, 500000)
        meter.controller.currentDownloadingFileId = "a"
        compare(meter.fileSize, 8000000)
        compare(meter.bytesPerSecond, 0)
        compare(meter.secondsLeft, -1)
    }

    function test_controllerGrowthIsSampled() {
        var meter = makeMeter()
        meter.controller.currentDownloadingFileId = "a"
        meter.controller.currentDownloadFileSize = 1000000
        compare(meter.bytesDone, 1000000)
        wait(50)
        meter.controller.currentDownloadFileSize = 1500000
        compare(meter.bytesDone, 1500000)
        verify(meter.bytesPerSecond > 0)
        verify(meter.secondsLeft > 0)
        compare(meter.controller.numberOfSecondsRemainingForCurrentDownload, meter.secondsLeft)
    }

    function test_smoothedEstimate() {
        var meter = makeMeter()
        meter.controller.currentDownloadingFileId = "a"
        meter.sample(0, 0)
        meter.sample(2000000, 2000)     // 1 MB/s
        compare(meter.secondsLeft, 6)
        meter.sample(6000000, 4000)     // 2 MB/s at this step, 1.3 MB/s smoothed
        compare(Math.round(meter.bytesPerSecond), 1300000)
        compare(meter.secondsLeft, 2)
        meter.sample(8000000, 5000)
        compare(meter.secondsLeft, 0)
    }

    function test_noFileNoEstimate() {
        var meter = makeMeter()
        meter.sample(1000, 1000)
        compare(meter.bytesDone, 0)
        compare(meter.controller.numberOfSecondsRemainingForCurrentDownload, 0)
    }
}
