import QtQuick

// A scripted stand-in for the interface, loaded by a copy of vesk in the end-to-end rig. It calls `globals` as the
// real interface does, taking its orders from the file "commands" in the instance's folder (four levels above
// this file): one command a line, "<number> <verb> <argument>...", arguments percent-encoded. After each command
// it writes the command's number to "done", so the driving script knows it ran. Verbs it does not know go to
// ExtraVerbs.qml beside it, if a benchmark put one there. Needs QML_XHR_ALLOW_FILE_READ=1 and
// QML_XHR_ALLOW_FILE_WRITE=1.
Item {
    id: root
    width: 320
    height: 240

    readonly property url commandsUrl: Qt.resolvedUrl("../../../../commands")
    readonly property url doneUrl: Qt.resolvedUrl("../../../../done")
    readonly property url resultsUrl: Qt.resolvedUrl("../../../../results")
    property int lastDone: 0
    property bool reading: false

    // The people the interface lists, in order, as their ids.
    Instantiator {
        id: listedPeers
        model: nodeData
        delegate: QtObject {
            required property var model
            readonly property string peerId: String(model.id)
        }
    }

    Loader {
        id: extra
        source: Qt.resolvedUrl("ExtraVerbs.qml")
    }

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
        case "sendChat": globals.sendChat(args[0], args[1]); break;
        case "unblockUser": globals.unblockUser(args[0]); break;
        case "changeUserInfo": globals.changeUserInfo(args[0], args[1]); break;
        case "refreshPeers": globals.refreshPeers(); break;
        case "selectPeer": globals.setCurrentSelectedChatPeer(args[0]); break;
        case "quit": globals.shutDown(); break;
        case "listPeers": {
            const ids = [];
            for (let r = 0; r < listedPeers.count; ++r)
                ids.push(listedPeers.objectAt(r).peerId);
            writeFile(resultsUrl, ids.join("\n") + "\n");
            break;
        }
        // A file dropped on the window or picked in the dialog, and the clicks of the files and transfers tabs.
        case "addFile": globals.processNewFileToSend(fileUrl(args[0])); break;
        case "togglePeer": globals.togglePeerSelection(args[0]); break;
        case "sendFiles": globals.sendHighlightedFiles(); break;
        case "queue": globals.queueFileToDownload(args[0]); break;
        case "deleteUpload": globals.deleteFileToSend(args[0]); break;
        case "deleteDownload": globals.deleteFileToDownload(args[0]); break;
        default:
            if (!extra.item || !extra.item.run(verb, args))
                console.warn("scripted interface: unknown command", verb);
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
            let ran = false;
            for (const line of xhr.responseText.split("\n")) {
                const parts = line.split(" ").filter(part => part.length > 0);
                if (parts.length < 2 || !(parseInt(parts[0]) > lastDone))
                    continue;
                run(parts[1], parts.slice(2).map(decodeURIComponent));
                lastDone = parseInt(parts[0]);
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
}
