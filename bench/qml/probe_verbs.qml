import QtQuick

// Verbs of the transfer benchmark for the end-to-end rig's scripted interface (copied beside it as
// ExtraVerbs.qml): the longest gap between two turns of a 10 ms timer since "probeReset", which is how long the
// event loop was held up at worst; "probeReport" writes it (ms) to "probe"; "selectTab N" shows tab N of the real
// interface, where it is loaded.
Item {
    id: verbs
    readonly property url probeUrl: Qt.resolvedUrl("../../../../probe")
    property double last: 0
    property double worst: 0

    function run(verb, args) {
        if (verb === "probeReset") {
            last = Date.now();
            worst = 0;
        } else if (verb === "probeReport") {
            const xhr = new XMLHttpRequest();
            xhr.open("PUT", probeUrl);
            xhr.send(String(worst) + "\n");
        } else if (verb === "selectTab") {
            globals.setCurrentSelectedTabIndex(parseInt(args[0]));
        } else {
            return false;
        }
        return true;
    }

    Timer {
        interval: 10
        repeat: true
        running: true
        onTriggered: {
            const now = Date.now();
            if (verbs.last > 0)
                verbs.worst = Math.max(verbs.worst, now - verbs.last);
            verbs.last = now;
        }
    }
}
