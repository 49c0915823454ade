import QtQuick

// The real interface (renamed RealMain.qml beside this file) with one remote control for the benchmark: when the
// file "commands" four levels up gains a line "refreshPeers", the peers are refreshed as the refresh button does,
// and the time it ran is written to "refreshed". Needs QML_XHR_ALLOW_FILE_READ=1 and QML_XHR_ALLOW_FILE_WRITE=1.
Item {
    id: root

    readonly property url commandsUrl: Qt.resolvedUrl("../../../../commands")
    readonly property url refreshedUrl: Qt.resolvedUrl("../../../../refreshed")
    property int seen: 0

    Loader {
        anchors.fill: parent
        source: "RealMain.qml"
    }

    Timer {
        interval: 100
        repeat: true
        running: true
        onTriggered: {
            const xhr = new XMLHttpRequest();
            xhr.onreadystatechange = function () {
                if (xhr.readyState !== XMLHttpRequest.DONE)
                    return;
                const lines = xhr.responseText.split("\n").filter(line => line.indexOf("refreshPeers") >= 0);
                if (lines.length <= root.seen)
                    return;
                root.seen = lines.length;
                const at = Date.now();
                globals.refreshPeers();
                const out = new XMLHttpRequest();
                out.open("PUT", root.refreshedUrl);
                out.send(String(at) + "\n");
            };
            xhr.open("GET", root.commandsUrl);
            xhr.send();
        }
    }
}
