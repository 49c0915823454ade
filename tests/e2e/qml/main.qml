import QtQuick

// A scripted stand-in for the interface, loaded by a copy of vesk in the end-to-end rig. It calls `globals` as the
// real interface does, taking its orders from the file "commands" in the instance's folder (four levels above
// this file): one command a line, "<number> <verb> <argument>...", arguments percent-encoded. After each command
// it writes the command's number to "done", so the driving script knows it ran. Needs QML_XHR_ALLOW_FILE_READ=1
// and QML_XHR_ALLOW_FILE_WRITE=1.
Item {
    id: root
    width: 320
    height: 240

    readonly property url commandsUrl: Qt.resolvedUrl("../../../../commands")
    readonly property url doneUrl: Qt.resolvedUrl("../../../../done")
    readonly property url resultsUrl: Qt.resolvedUrl("../../../../results")
    property int lastDone: 0
    property bool reading: false

    // Round-trip benchmark state.
    property string benchPeer: ""
    property int benchLeft: 0
    property int benchSeq: 0
    property string benchText: ""
    property real benchStart: 0
    property var benchTimes: []

    // The people the interface lists, in order, as their ids.
    Instantiator {
        id: listedPeers
        model: nodeData
        delegate: QtObject {
            required property var model
            readonly property string peerId: String(model.id)
        }
    }
    function listedPeerIds() {
        const ids = [];
        for (let r = 0; r < listedPeers.count; ++r)
            ids.push(listedPeers.objectAt(r).peerId);
        return ids;
    }

    function writeFile(url, text) {
        const xhr = new XMLHttpRequest();
        xhr.open("PUT", url);
        xhr.send(text);
    }

    function run(verb, args) {
        switch (verb) {
        case "sendChat": globals.sendChat(args[0], args[1]); break;
        case "unblockUser": globals.unblockUser(args[0]); break;
        case "changeUserInfo": globals.changeUserInfo(args[0], args[1]); break;
        case "refreshPeers": globals.refreshPeers(); break;
        case "selectPeer": globals.setCurrentSelectedChatPeer(args[0]); break;
        case "selectTab": globals.setCurrentSelectedTabIndex(parseInt(args[0])); break;
        case "chatBench": startBench(args[0], parseInt(args[1])); break;
        case "quit": globals.shutDown(); break;
        case "listPeers": writeFile(resultsUrl, listedPeerIds().join("\n") + "\n"); break;
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

    // Sends one message at a time and times it from sendChat until the row shows "sent". The chat list shows the
    // selected peer's conversation, so every refresh of it is a chance to see the confirmation.
    function startBench(peer, count) {
        benchPeer = peer;
        benchLeft = count;
        benchTimes = [];
        globals.setCurrentSelectedChatPeer(peer);
        benchNext();
    }

    function benchNext() {
        if (benchLeft <= 0) {
            writeFile(resultsUrl, benchTimes.join("\n") + "\n");
            return;
        }
        benchLeft -= 1;
        benchSeq += 1;
        benchText = "bench " + benchSeq;
        benchStart = Date.now();
        globals.sendChat(benchPeer, benchText);
    }

    function benchRowSent() {
        const rows = chatsModel.rowCount();
        for (let row = rows - 1; row >= 0 && row >= rows - 5; --row) {
            if (chatsModel.data(chatsModel.index(row, 1)) === benchText)
                return chatsModel.data(chatsModel.index(row, 4)) === "sent";
        }
        return false;
    }

    Connections {
        target: chatsModel
        function onModelReset() {
            if (root.benchText.length === 0 || !root.benchRowSent())
                return;
            root.benchTimes.push(Date.now() - root.benchStart);
            root.benchText = "";
            Qt.callLater(root.benchNext);
        }
        function onDataChanged() {
            if (root.benchText.length === 0 || !root.benchRowSent())
                return;
            root.benchTimes.push(Date.now() - root.benchStart);
            root.benchText = "";
            Qt.callLater(root.benchNext);
        }
    }

    Timer {
        interval: 50
        repeat: true
        running: true
        onTriggered: root.poll()
    }
}
