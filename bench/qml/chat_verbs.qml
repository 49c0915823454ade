import QtQuick

// Verbs of the chat benchmark for the end-to-end rig's scripted interface (copied beside it as ExtraVerbs.qml).
// "chatBench PEER COUNT" sends COUNT messages one after the other, each timed from sendChat until its row shows
// "sent", and writes the times (ms) to "results". The chat list shows the selected peer's conversation, so every
// refresh of it is a chance to see the confirmation.
Item {
    readonly property url resultsUrl: Qt.resolvedUrl("../../../../results")
    property string peer: ""
    property int remaining: 0
    property int seq: 0
    property string text: ""
    property real start: 0
    property var times: []

    function run(verb, args) {
        if (verb !== "chatBench")
            return false;
        peer = args[0];
        remaining = parseInt(args[1]);
        times = [];
        globals.setCurrentSelectedChatPeer(peer);
        next();
        return true;
    }

    function next() {
        if (remaining <= 0) {
            const xhr = new XMLHttpRequest();
            xhr.open("PUT", resultsUrl);
            xhr.send(times.join("\n") + "\n");
            return;
        }
        remaining -= 1;
        seq += 1;
        text = "bench " + seq;
        start = Date.now();
        globals.sendChat(peer, text);
    }

    function rowSent() {
        const rows = chatsModel.rowCount();
        for (let row = rows - 1; row >= 0 && row >= rows - 5; --row) {
            if (chatsModel.data(chatsModel.index(row, 1)) === text)
                return chatsModel.data(chatsModel.index(row, 4)) === "sent";
        }
        return false;
    }

    Connections {
        target: chatsModel
        function onModelReset() {
            if (text.length === 0 || !rowSent())
                return;
            times.push(Date.now() - start);
            text = "";
            Qt.callLater(next);
        }
        // A confirmation that changes only the status is a data change, not a reset.
        function onDataChanged() {
            onModelReset();
        }
    }
}
