import QtQuick
import QtTest
import "../../qml/Vesk/desktop/Format.js" as Format
import "../../qml/Vesk/desktop/DownloadEstimate.js" as Estimate

// The text helpers every list uses: sizes, speeds, durations, times, state labels, image URLs.
VeskTestCase {
    name: "Format"

    function test_formatBytes_data() {
        return [
            { tag: "zero", value: 0, expected: "0 B" },
            { tag: "bytes", value: 999, expected: "999 B" },
            { tag: "one KB", value: 1000, expected: "1.0 KB" },
            { tag: "text from SQL", value: "1500", expected: "1.5 KB" },
            { tag: "rounds up into next unit", value: 999999, expected: "1.0 MB" },
            { tag: "two digits keep a decimal", value: 15250000, expected: "15.3 MB" },
            { tag: "three digits drop it", value: 152000000, expected: "152 MB" },
            { tag: "gigabytes", value: 4294967295, expected: "4.3 GB" },
            { tag: "negative", value: -5, expected: "0 B" },
            { tag: "not a number", value: "abc", expected: "0 B" },
            { tag: "null", value: null, expected: "0 B" },
            { tag: "undefined", value: undefined, expected: "0 B" }
        ]
    }
    function test_formatBytes(data) {
        compare(Format.formatBytes(data.value), data.expected)
    }

    function test_formatSpeed() {
        compare(Format.formatSpeed(1250000), "1.3 MB/s")
        compare(Format.formatSpeed(0), "0 B/s")
    }

    function test_formatProgress_data() {
        return [
            { tag: "partial", done: 3000000, total: "10000000", expected: "3.0 MB of 10.0 MB" },
            { tag: "clamped to total", done: 12000, total: 10000, expected: "10.0 KB of 10.0 KB" },
            { tag: "nothing yet", done: 0, total: 512, expected: "0 B of 512 B" }
        ]
    }
    function test_formatProgress(data) {
        compare(Format.formatProgress(data.done, data.total), data.expected)
    }

    function test_formatDuration_data() {
        return [
            { tag: "zero", seconds: 0, expected: "0 s" },
            { tag: "seconds", seconds: 45, expected: "45 s" },
            { tag: "one minute", seconds: 60, expected: "1 min" },
            { tag: "minutes and seconds", seconds: 125, expected: "2 min 5 s" },
            { tag: "ten minutes drop seconds", seconds: 605, expected: "10 min" },
            { tag: "hours and minutes", seconds: 4800, expected: "1 h 20 min" },
            { tag: "whole hours", seconds: 7200, expected: "2 h" },
            { tag: "days and hours", seconds: 273600, expected: "3 d 4 h" },
            { tag: "negative", seconds: -3, expected: "0 s" },
            { tag: "text", seconds: "90", expected: "1 min 30 s" }
        ]
    }
    function test_formatDuration(data) {
        compare(Format.formatDuration(data.seconds), data.expected)
    }

    // Times are built in local time so the cases hold in any time zone.
    function test_formatTimestamp_data() {
        var now = new Date(2024, 5, 15, 12, 0, 0).getTime()
        return [
            { tag: "today", ms: new Date(2024, 5, 15, 9, 5).getTime(), now: now, expected: "09:05" },
            { tag: "as text", ms: "" + new Date(2024, 5, 15, 23, 59).getTime(), now: now, expected: "23:59" },
            { tag: "yesterday", ms: new Date(2024, 5, 14, 18, 30).getTime(), now: now, expected: "Yesterday 18:30" },
            { tag: "yesterday across a month", ms: new Date(2024, 2, 31, 8, 0).getTime(),
              now: new Date(2024, 3, 1, 10, 0).getTime(), expected: "Yesterday 08:00" },
            { tag: "this year", ms: new Date(2024, 2, 3, 14, 5).getTime(), now: now, expected: "3 Mar 14:05" },
            { tag: "earlier year", ms: new Date(2013, 11, 24, 14, 5).getTime(), now: now, expected: "24 Dec 2013" },
            { tag: "no time", ms: "0", now: now, expected: "" },
            { tag: "garbage", ms: "x", now: now, expected: "" }
        ]
    }
    function test_formatTimestamp(data) {
        compare(Format.formatTimestamp(data.ms, data.now), data.expected)
    }

    function test_deliveryLabel_data() {
        return [
            { tag: "own, waiting", status: "unknown", own: true, expected: "Waiting" },
            { tag: "own, confirmed", status: "sent", own: true, expected: "Delivered" },
            { tag: "own, unexpected word", status: "", own: true, expected: "Waiting" },
            { tag: "received", status: "unknown", own: false, expected: "" },
            { tag: "received, sent", status: "sent", own: false, expected: "" }
        ]
    }
    function test_deliveryLabel(data) {
        compare(Format.deliveryLabel(data.status, data.own), data.expected)
    }

    function test_uploadStateLabel_data() {
        return [
            { tag: "offer not confirmed", status: "unknown", sent: 0, size: 100, expected: "Not delivered yet" },
            { tag: "confirmed, nothing fetched", status: "sent", sent: "0", size: 100,
              expected: "Delivered · not downloaded yet" },
            { tag: "fetching", status: "sent", sent: "2000000", size: "5000000",
              expected: "Downloaded 2.0 MB of 5.0 MB" }
        ]
    }
    function test_uploadStateLabel(data) {
        compare(Format.uploadStateLabel(data.status, data.sent, data.size), data.expected)
    }

    function test_fraction_data() {
        return [
            { tag: "half", done: 50, total: 100, expected: 0.5 },
            { tag: "text", done: "25", total: "100", expected: 0.25 },
            { tag: "unknown total", done: 50, total: 0, expected: 0 },
            { tag: "over", done: 150, total: 100, expected: 1 }
        ]
    }
    function test_fraction(data) {
        compare(Format.fraction(data.done, data.total), data.expected)
    }

    function test_badgeText() {
        compare(Format.badgeText(0), "0")
        compare(Format.badgeText("7"), "7")
        compare(Format.badgeText(99), "99")
        compare(Format.badgeText(100), "99+")
    }

    function test_displayName() {
        compare(Format.displayName("Bob"), "Bob")
        compare(Format.displayName("  "), "Unknown")
        compare(Format.displayName(null), "Unknown")
        compare(Format.displayName("<b>x</b>"), "<b>x</b>")
    }

    function test_fileSuffix_data() {
        return [
            { tag: "simple", name: "report.PDF", expected: "pdf" },
            { tag: "last dot wins", name: "archive.tar.gz", expected: "gz" },
            { tag: "none", name: "README", expected: "" },
            { tag: "hidden file", name: ".bashrc", expected: "" },
            { tag: "trailing dot", name: "odd.", expected: "" }
        ]
    }
    function test_fileSuffix(data) {
        compare(Format.fileSuffix(data.name), data.expected)
    }

    function test_sendSummary_data() {
        return [
            { tag: "no files", files: 0, peers: 2, expected: "Select files to send" },
            { tag: "no peers", files: 2, peers: 0, expected: "Choose who gets them" },
            { tag: "singular", files: 1, peers: 1, expected: "Send 1 file to 1 person" },
            { tag: "plural", files: 3, peers: 2, expected: "Send 3 files to 2 people" }
        ]
    }
    function test_sendSummary(data) {
        compare(Format.sendSummary(data.files, data.peers), data.expected)
    }

    function test_imageUrl_data() {
        return [
            { tag: "resource URL", path: "qrc:/qml/Vesk/pics/ui/img-logo.png", rev: 0,
              expected: "qrc:/qml/Vesk/pics/ui/img-logo.png" },
            { tag: "resource path", path: ":/qml/Vesk/pics/Vesk.png", rev: 0, expected: "qrc:/qml/Vesk/pics/Vesk.png" },
            { tag: "local path", path: "/home/ann/.local/share/avatar_1.png", rev: 0,
              expected: "file:///home/ann/.local/share/avatar_1.png" },
            { tag: "spaces and hash", path: "/tmp/my pics/#1.png", rev: 0, expected: "file:///tmp/my%20pics/%231.png" },
            { tag: "windows path", path: "C:\\Users\\Ann\\a b.png", rev: 0, expected: "file:///C:/Users/Ann/a%20b.png" },
            { tag: "file URL kept", path: "file:///tmp/a.png", rev: 0, expected: "file:///tmp/a.png" },
            { tag: "revision busts the cache", path: "/tmp/a.png", rev: 3, expected: "file:///tmp/a.png?v=3" },
            { tag: "resources are never rewritten", path: "qrc:/a.png", rev: 3, expected: "qrc:/a.png" },
            { tag: "relative path refused", path: "avatar.png", rev: 0, expected: "" },
            { tag: "empty", path: "", rev: 0, expected: "" },
            { tag: "null", path: null, rev: 0, expected: "" }
        ]
    }
    function test_imageUrl(data) {
        compare(Format.imageUrl(data.path, data.rev), data.expected)
    }

    function test_str_and_toCount() {
        compare(Format.str(null), "")
        compare(Format.str(undefined), "")
        compare(Format.str(12), "12")
        compare(Format.toCount("12.7"), 12)
        compare(Format.toCount(""), 0)
        compare(Format.toCount(Infinity), 0)
    }

    function test_nextSpeed_data() {
        return [
            { tag: "first sample", prev: null, bytes: 1000, ms: 1000, expected: 0 },
            { tag: "first measured", prev: { bytes: 0, ms: 0, speed: 0 }, bytes: 2000000, ms: 2000,
              expected: 1000000 },
            { tag: "smoothed", prev: { bytes: 0, ms: 0, speed: 1000000 }, bytes: 4000000, ms: 2000,
              expected: 0.3 * 2000000 + 0.7 * 1000000 },
            { tag: "same instant keeps speed", prev: { bytes: 0, ms: 2000, speed: 500 }, bytes: 10, ms: 2000,
              expected: 500 },
            { tag: "file restarted", prev: { bytes: 5000, ms: 0, speed: 500 }, bytes: 100, ms: 2000, expected: 0 }
        ]
    }
    function test_nextSpeed(data) {
        compare(Estimate.nextSpeed(data.prev, data.bytes, data.ms), data.expected)
    }

    function test_secondsRemaining_data() {
        return [
            { tag: "exact", total: 10000, done: 4000, speed: 1000, expected: 6 },
            { tag: "rounds up", total: 10001, done: 0, speed: 1000, expected: 11 },
            { tag: "text sizes", total: "5000", done: "1000", speed: 2000, expected: 2 },
            { tag: "done", total: 10, done: 10, speed: 0, expected: 0 },
            { tag: "no speed yet", total: 10, done: 5, speed: 0, expected: -1 },
            { tag: "garbage", total: "x", done: 5, speed: 10, expected: -1 }
        ]
    }
    function test_secondsRemaining(data) {
        compare(Estimate.secondsRemaining(data.total, data.done, data.speed), data.expected)
    }
}
