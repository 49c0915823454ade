import QtQuick

// The scripted interface of the file-transfer scenarios: the same command protocol as main.qml beside it (orders
// from "commands" four levels up, "<number> <verb> <argument>...", arguments percent-encoded; the number of the
// last command run written to "done"), with the verbs a user's clicks on the files and transfers tabs amount to.
// Needs QML_XHR_ALLOW_FILE_READ=1 and QML_XHR_ALLOW_FILE_WRITE=1.
Item {
    id: root
    width: 320
    height: 240

    readonly property url commandsUrl: Qt.resolvedUrl("../../../../commands")
    readonly property url doneUrl: Qt.resolvedUrl("../../../../done")
    property int lastDone: 0
    property bool reading: false
    // The longest gap between two turns of the probe timer since the last "probeReset": how long the event
    // loop was held up at worst (the transfer benchmark reads it with "probeReport").
    readonly property url probeUrl: Qt.resolvedUrl("../../../../probe")
    property double probeLast: 0
    property double probeWorst: 0

    function writeFile(url, text) {
        const xhr = new XMLHttpRequest();
        xhr.open("PUT", url);
        xhr.send(text);
    }

    // A local path as the URL a drop carries: every segment percent-encoded, so "?" or "#" stay part of the name.
    function fileUrl(path) {
        return "file://" + path.split("/").map(encodeURIComponent).join("/");
    }

    function run(verb, args) {
        switch (verb) {
        // A file dropped on the window or picked in the dialog.
        case "addFile": globals.processNewFileToSend(fileUrl(args[0])); break;
        case "togglePeer": globals.togglePeerSelection(args[0]); break;
        case "sendFiles": globals.sendHighlightedFiles(); break;
        case "queue": globals.queueFileToDownload(args[0]); break;
        case "pause": globals.pauseFileToDownload(args[0]); break;
        case "downloadAll": globals.downloadAllPending(); break;
        case "pauseAll": globals.pauseAllPendingDownloads(); break;
        case "deleteUpload": globals.deleteFileToSend(args[0]); break;
        case "deleteDownload": globals.deleteFileToDownload(args[0]); break;
        case "quit": globals.shutDown(); break;
        case "probeReset": probeLast = Date.now(); probeWorst = 0; break;
        case "probeReport": writeFile(probeUrl, String(probeWorst) + "\n"); break;
        default: console.warn("scripted interface: unknown command", verb);
        }
    }

    function poll() {
        if (reading)
            return;
        reading = true;
        const xhr = new XMLHttpRequest();
        xhr.onreadystatechange = function () {
            if (xhr.readyState !== XMLHttpRequest.DONE)
                return;
            reading = false;
            const lines = xhr.responseText.split("\n");
            let ran = false;
            for (const line of lines) {
                const parts = line.split(" ").filter(part => part.length > 0);
                if (parts.length < 2)
                    continue;
                const number = parseInt(parts[0]);
                if (!(number > lastDone))
                    continue;
                run(parts[1], parts.slice(2).map(decodeURIComponent));
                lastDone = number;
                ran = true;
            }
            if (ran)
                writeFile(doneUrl, String(lastDone) + "\n");
        };
        xhr.open("GET", commandsUrl);
        xhr.send();
    }

    Timer {
        interval: 50
        repeat: true
        running: true
        onTriggered: root.poll()
    }

    Timer {
        interval: 10
        repeat: true
        running: true
        onTriggered: {
            const now = Date.now();
            if (root.probeLast > 0)
                root.probeWorst = Math.max(root.probeWorst, now - root.probeLast);
            root.probeLast = now;
        }
    }
}
