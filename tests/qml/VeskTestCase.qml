import QtQuick
import QtTest

// Every interface test fails on any warning printed while it runs: a binding that reads a missing property or
// calls a function that is not there is a fault even when the assertions pass.
TestCase {
    // Per-test preparation for the derived cases; init() itself stays here so the warning rule always holds.
    function prepare() {
    }

    function init() {
        failOnWarning(/.*/)
        prepare()
    }
}
