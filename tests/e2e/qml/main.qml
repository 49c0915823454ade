import QtQuick

// A scripted stand-in for the interface: it calls `globals` as the real one does, taking its orders from the file
// "commands" of the instance's folder, one a line: "<number> <verb> <argument>...", arguments percent-encoded.
// After running them it writes the last number to "done". Verbs globals does not know go to ExtraVerbs.qml beside it.
Item {
    id: root

    readonly property string folder: Qt.resolvedUrl("../../../../") // the instance's, as a URL
    property int lastDone: 0
    property bool reading: false

    // The people the interface lists, in order.
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

    function writeFile(name, text) {
        const xhr = new XMLHttpRequest();
        xhr.open("PUT", folder + name);
        xhr.send(text);
    }

    // A verb is the name of the globals method the real interface calls, with the command's arguments; listPeers
    // and addFile stand for what the interface reads or builds itself.
    function run(verb, args) {
        if (verb === "listPeers") {
            const ids = [];
            for (let r = 0; r < listedPeers.count; ++r)
                ids.push(listedPeers.objectAt(r).peerId);
            writeFile("results", ids.join("\n") + "\n");
        } else if (verb === "addFile") { // dropped on the window, every segment encoded: "?" or "#" stay in the name
            globals.processNewFileToSend("file://" + args[0].split("/").map(encodeURIComponent).join("/"));
        } else if (typeof globals[verb] === "function") {
            globals[verb](...args);
        } else if (typeof globals.preferences[verb] === "function") { // the settings menu's toggles
            globals.preferences[verb](...args);
        } else if (!extra.item || !extra.item.run(verb, args)) {
            console.warn("scripted interface: unknown command", verb);
        }
    }

    Timer {
        interval: 50
        repeat: true
        running: !root.reading
        onTriggered: {
            root.reading = true;
            const xhr = new XMLHttpRequest();
            xhr.onreadystatechange = function () {
                if (xhr.readyState !== XMLHttpRequest.DONE)
                    return;
                root.reading = false;
                const done = root.lastDone;
                for (const line of xhr.responseText.split("\n")) {
                    const parts = line.split(" ").filter(part => part.length > 0);
                    if (parts.length >= 2 && parseInt(parts[0]) > root.lastDone) {
                        root.run(parts[1], parts.slice(2).map(decodeURIComponent));
                        root.lastDone = parseInt(parts[0]);
                    }
                }
                if (root.lastDone !== done)
                    root.writeFile("done", String(root.lastDone) + "\n");
            };
            xhr.open("GET", root.folder + "commands");
            xhr.send();
        }
    }
}
