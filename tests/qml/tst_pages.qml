import QtQuick
import QtTest
import QtQuick.Templates as T
import Vesk.Testing
import Vesk.Core
import "../../qml/Vesk/desktop"
import "../../qml/Vesk/desktop/Format.js" as Format

// The three tabs over a fake controller and the program's own list models: what each row and button shows and asks
// the controller for. Any warning fails a test, whatever it asserts: a binding reading a missing property is a fault.
TestCase {
    id: base
    name: "Pages"
    visible: true
    when: windowShown

    Component { id: globalsComponent; FakeGlobals {} }
    Component { id: tableComponent; FakeTableModel {} }
    Component { id: folderListComponent; FakeFolderList {} }
    Component { id: filesModel; FileStandardItemModel {} }
    Component { id: filesPage; FilesPage { width: 352; height: 900 } }
    Component { id: peersPage; PeersPage { width: 352; height: 700 } }
    Component { id: transfersPage; TransfersPage { width: 352; height: 900 } }
    Component { id: tabBar; MainTabBar { width: 352 } }

    function init() { failOnWarning(/.*/) }
    function make(component, props) { return createTemporaryObject(component, base, props || {}) }
    // A page over the fake controller (with those properties), with a table of rows for each list named. The
    // peers and the queue are also stored as the program's tables, where a view reads one row by id.
    readonly property var tables: ({ peersModel: "vesk_peers", queueModel: "vesk_downloads" })
    function makePage(component, lists, props, models) {
        var properties = Object.assign({ controller: make(globalsComponent, props) }, models)
        Object.keys(lists).forEach(name => properties[name] = make(tableComponent, {
            rows: lists[name], table: tables[name] || "" }))
        var page = make(component, properties)
        waitForRendering(page)
        return page
    }
    // Every part of the item by that objectName, where findChild gives only the first.
    function findAll(item, name) {
        return Array.from(item.children).reduce((all, child) => all.concat(findAll(child, name)),
                                                 item.objectName === name ? [item] : [])
    }

    // The send tab, with the files added as the program adds picked ones: ticked and sized (sorting is the model's).
    // A name ending in "/" is a folder of 5 files.
    function makeFilesPage(files, props) {
        var model = make(filesModel)
        var page = makePage(filesPage, { recipientsModel: [{ id: "{bob}", alias: "Bob", avatarPath: "" }] }, props,
                            { filesModel: model, filesView: model })
        verify(findChild(page, "filesEmpty").visible)
        model.insertColumns(0, 1)
        model.insertRows(0, files.length)
        files.forEach((name, row) => ["file:///tmp/" + name, name.replace("/", ""), name.length * 500000, "", true,
                                      name.endsWith("/"), name.endsWith("/") ? 5 : 1].forEach(
            (value, i) => model.setData(model.index(row, 0), value, FileStandardItemModel.FileURLRole + i)))
        waitForRendering(page)
        return page
    }
    // A folder is one entry of the list, with its number of files; "Choose folder…" asks the controller for one.
    // A click ticks or unticks an entry, its button takes it off the list.
    function test_filesToSend() {
        var page = makePage(filesPage, {}, {}, { filesModel: make(filesModel) })
        mouseClick(findChild(findChild(page, "filesEmpty"), "emptySecondAction"))
        compare(page.controller.calls, ["selectFolder()"])
        page = makeFilesPage(["Holiday 2026/", "a.pdf"])
        mouseClick(findChild(page, "addFilesButton"))
        var item = findChild(page, "addFolderItem")
        tryVerify(() => item.visible)
        mouseClick(item)
        compare(page.controller.calls, ["selectFolder()"])
        var list = findChild(page, "fileList")
        compare([0, 1].map(i => list.itemAtIndex(i).Accessible.name),
                ["Folder Holiday 2026, 5 files, 6.5 MB", "a.pdf, 2.5 MB"])
        compare(findChild(list.itemAtIndex(0), "sizeLabel").text, "5 files, 6.5 MB")
        mouseClick(list.itemAtIndex(1))
        compare([list.itemAtIndex(0).selected, list.itemAtIndex(1).selected], [true, false])
        mouseClick(findChild(list.itemAtIndex(0), "removeFileButton"))
        waitForRendering(list)
        compare([list.count, list.itemAtIndex(0).fileName], [1, "a.pdf"])
    }
    function test_sendButton_data() {
        return [
            { tag: "nothing ticked", files: 0, pick: true, enabled: false, label: "Select files to send" },
            { tag: "nobody chosen", files: 1, pick: false, enabled: false, label: "Choose who gets them" },
            { tag: "ready", files: 2, pick: true, enabled: true, label: "Send 2 files to 1 person" },
            { tag: "a folder", picked: ["Holiday/"], files: 1, pick: true, enabled: true, label: "Send 1 folder to 1 person" },
            { tag: "a folder and a file", picked: ["Holiday/", "a.pdf"], files: 2, pick: true, enabled: true,
              label: "Send 2 items to 1 person" }
        ]
    }
    function test_sendButton(data) {
        var page = makeFilesPage(data.picked || ["a.pdf"], { numberOfSelectedFiles: data.files })
        if (data.pick)
            mouseClick(findChild(page, "recipientList").itemAtIndex(0))
        var button = findChild(page, "sendFilesButton")
        compare([page.controller.selectedPeersCount, button.enabled, button.text],
                [data.pick ? 1 : 0, data.enabled, data.label])
        mouseClick(button)
        compare(page.controller.calls.includes("sendHighlightedFiles()"), data.enabled)
    }

    // The people tab: who is online and who is not, opening a conversation, the conversation and its composer.
    function peer(id, status, blocked) {
        return { id: id, alias: id, avatarPath: "", ipAddress: "10.0.0.2", status: status, sysinfo: "Debian 12",
                 blocked: blocked || "no" }
    }
    function message(text, from, status) { return { id: text, message: text, peerfrom: from, status, timesent: "1" } }
    function test_peerListAndConversation() {
        var page = makePage(peersPage, {
            peersModel: [peer("{bob}", "on"), peer("{cleo}", "off", "yes"), peer("{dan}", "off")],
            chatModel: [message("hi", "{host}", "sent"), message("there?", "{host}", "unknown"),
                        message("<b>yes</b>", "{bob}", "unknown")]
        })
        var list = findChild(page, "peerList")
        compare([0, 1, 2].map(i => list.itemAtIndex(i).detail), ["Debian 12", "Blocked", "Offline"])
        // The heading counts the people on the network now, not the offline ones listed under it.
        tryCompare(findChild(page, "peersHeading"), "count", 1)
        // One "Offline" heading, between the online and the offline people.
        var headings = findAll(list, "peerSection").filter(heading => heading.height > 0)
        compare(headings.length, 1)
        verify(headings[0].y > list.itemAtIndex(0).y && headings[0].y < list.itemAtIndex(1).y)
        mouseClick(list.itemAtIndex(0))
        verify(page.chatOpen)
        var chat = findChild(page, "messageList")
        var rows = [0, 1, 2].map(i => { chat.positionViewAtIndex(i, ListView.Contain); return chat.itemAtIndex(i) })
        compare(rows.map(r => findChild(r, "deliveryLabel").visible ? findChild(r, "deliveryLabel").text : ""),
                ["Delivered", "Waiting", ""])
        // Own bubbles on the right, the peer's on the left; what a peer writes shows as typed, never as markup.
        verify(findChild(rows[0], "bubble").x > findChild(rows[2], "bubble").x + 50)
        var shown = findChild(rows[2], "messageText")
        compare(shown.getText(0, shown.length), "<b>yes</b>")
        mouseClick(findChild(page, "backButton"))
        compare(page.controller.calls, ["setCurrentSelectedChatPeer({bob})", "setCurrentSelectedChatPeer()"])
        verify(!page.chatOpen)
    }
    // A peer's lock in the list and the conversation, its menu entry, and the banner of a changed key.
    function test_security_data() {
        return [
            { tag: "plain", state: SecurityState.Plain, columns: ["", "", "yes"],
              text: "Not encrypted: {bob}'s program does not support it" },
            { tag: "sealed", state: SecurityState.Sealed, columns: ["ab", "", ""],
              text: "Messages with {bob} are encrypted" },
            { tag: "verified", state: SecurityState.Verified, columns: ["ab", "", "yes"],
              text: "Encrypted; you compared codes with {bob}" },
            { tag: "keychanged", state: SecurityState.KeyChanged, columns: ["ab", "cd", ""],
              text: "{bob}'s security key changed" },
            { tag: "our new key refused", state: SecurityState.Sealed, columns: ["ab", "", ""], refused: true,
              text: "Messages with {bob} are encrypted" }
        ]
    }
    function test_security(data) {
        var row = Object.assign(peer("{bob}", "on"), { identityKey: data.columns[0], pendingKey: data.columns[1],
                                                       verified: data.columns[2] })
        var page = makePage(peersPage, { peersModel: [row], chatModel: [] },
                            { security: { "{bob}": data.state }, refusesOurKey: { "{bob}": data.refused === true } })
        var item = findChild(page, "peerList").itemAtIndex(0)
        compare(findChild(item, "peerLock").text, data.text)
        var menu = findChild(item, "peerMenu")
        item.openMenu()
        var compareItem = findChild(menu, "compareCodeItem")
        compare([compareItem.visible && compareItem.enabled, findChild(menu, "acceptKeyItem").visible],
                [data.state === SecurityState.Sealed || data.state === SecurityState.Verified,
                 data.state === SecurityState.KeyChanged])
        menu.close()
        mouseClick(item)
        compare(findChild(page, "chatLock").text, data.text)
        var refusedNote = findChild(page, "refusesOurKeyNote")
        compare(refusedNote.visible, data.refused === true)
        verify(refusedNote.text.startsWith("{bob} has to accept your new security key"))
        var banner = findChild(page, "keyChangedBanner")
        compare(banner.visible, data.state === SecurityState.KeyChanged)
        if (!banner.visible)
            return
        // The banner opens the code's dialog, where the new key is accepted with its own button.
        waitForRendering(page)
        mouseClick(findChild(banner, "checkKeyButton"))
        var accept = findChild(T.Overlay.overlay, "acceptKeyButton")
        tryVerify(() => accept.visible)
        compare(findChild(T.Overlay.overlay, "securityCode").text, "01234 56789 01234 56789\n98765 43210 98765 43210")
        mouseClick(accept)
        verify(page.controller.calls.includes("acceptPeerSecurityKey({bob})"))
        tryVerify(() => findChild(T.Overlay.overlay, "markVerifiedButton").visible)
        waitForRendering(page)
        mouseClick(findChild(T.Overlay.overlay, "securityCloseButton"))
        tryVerify(() => findChild(T.Overlay.overlay, "securityCode") === null) // gone, not only closing
    }
    function test_composer_data() {
        return [
            { tag: "enter sends and clears", keys: [Qt.Key_H, Qt.Key_I], sent: ["sendChat({bob},hi)"] },
            { tag: "shift+enter breaks the line", keys: [Qt.Key_A, "shift", Qt.Key_B], sent: ["sendChat({bob},a\nb)"] },
            { tag: "white space is not sent", keys: [Qt.Key_Space, Qt.Key_Tab], sent: [], left: " \t" },
            { tag: "not saved: the words stay", unsaved: true, keys: [Qt.Key_H, Qt.Key_I], sent: ["sendChat({bob},hi)"],
              left: "hi" },
            { tag: "offline: sent later", status: "off", keys: [Qt.Key_H], sent: ["sendChat({bob},h)"], notice: true },
            { tag: "refuses our key: sent later, said above", status: "off", refused: true, keys: [Qt.Key_H],
              sent: ["sendChat({bob},h)"], notice: "" },
            { tag: "key changed, online: waits", keyChanged: true, keys: [Qt.Key_H],
              sent: ["sendChat({bob},h)"], notice: "Your messages to {bob} wait until you accept the new key." },
            { tag: "blocked: nothing", blocked: "yes", keys: [Qt.Key_H], sent: [], notice: true }
        ]
    }
    function test_composer(data) {
        // A pending key beside the pinned one is a changed key.
        var row = Object.assign(peer("{bob}", data.status || "on", data.blocked),
                                { identityKey: "ab", pendingKey: data.keyChanged ? "cd" : "" })
        var page = makePage(peersPage, { peersModel: [row] },
                            { currentSelectedChatPeer: "{bob}", refusesOurKey: { "{bob}": data.refused === true },
                              savesChats: data.unsaved !== true })
        findChild(page, "composerInput").forceActiveFocus()
        data.keys.forEach(key => key === "shift" ? keyClick(Qt.Key_Return, Qt.ShiftModifier) : keyClick(key))
        keyClick(Qt.Key_Return)
        compare(page.controller.calls, data.sent)
        compare(findChild(page, "composerInput").text, data.left || "")
        var notice = findChild(page, "chatNotice")
        compare(notice.visible, !!data.notice)
        if (typeof data.notice === "string" && data.notice !== "")
            compare(notice.text, data.notice)
        compare(findChild(page, "refusesOurKeyNote").visible, data.refused === true)
    }

    // A conversation long enough to scroll: it opens at the newest message and follows new ones, unless the reader
    // scrolled back; then a button brings them down. Banners that come and go never hide the last message.
    function messages(n, from) {
        return Array.from({ length: n }, (_, i) => message("line " + i + "\nof the talk", from || "{bob}", "sent"))
    }
    function openChat(rows, status) {
        var page = makePage(peersPage, { peersModel: [peer("{bob}", status || "on")], chatModel: rows },
                            { currentSelectedChatPeer: "{bob}" })
        var list = findChild(page, "messageList")
        tryVerify(() => list.atYEnd && list.contentHeight > list.height * 2)
        return page
    }
    function test_followsNewest_data() {
        return [
            { tag: "at the end: follows", scrolled: false, from: "{bob}", atEnd: true, button: false },
            { tag: "scrolled back: stays, button", scrolled: true, from: "{bob}", atEnd: false, button: true },
            { tag: "scrolled back, own message: shown", scrolled: true, from: "{host}", atEnd: true, button: false }
        ]
    }
    function test_followsNewest(data) {
        var page = openChat(messages(40))
        var list = findChild(page, "messageList")
        var chats = page.chatModel
        if (data.scrolled) {
            mouseWheel(list, list.width / 2, list.height / 2, 0, 1200)
            tryVerify(() => !list.moving && !list.atYEnd)
        }
        chats.rows = messages(40).concat([message("newest", data.from, "unknown")])
        var button = findChild(page, "newMessagesButton")
        tryVerify(() => list.atYEnd === data.atEnd && button.visible === data.button
                        && (!data.button || button.text === "New messages"))
        if (data.button) {
            mouseClick(button)
            tryVerify(() => list.atYEnd && !button.visible)
        }
        // The peer goes offline: the banner takes room below the list, the newest message stays in sight.
        page.peersModel.rows = [peer("{bob}", "off")]
        tryVerify(() => findChild(page, "chatNotice").visible)
        tryVerify(() => list.atYEnd)
    }
    // Search: the count, stepping between matches (newest first), the marked text; Escape closes the search only.
    function test_search() {
        var page = openChat(messages(30).concat([message("Apples & pears", "{host}", "sent"),
                                                  message("more apples?", "{bob}", "sent")]))
        var list = findChild(page, "messageList")
        mouseClick(findChild(page, "searchButton"))
        var field = findChild(page, "searchField")
        verify(field.activeFocus)
        ;[Qt.Key_A, Qt.Key_P, Qt.Key_P].forEach(key => keyClick(key))
        var count = findChild(page, "searchCount")
        tryCompare(count, "text", "2 of 2")
        verify(list.itemAtIndex(31).currentMatch)
        verify(list.itemAtIndex(31).html.indexOf("<span style=\"background-color") > 0)
        keyClick(Qt.Key_Return)
        tryCompare(count, "text", "1 of 2")
        verify(list.itemAtIndex(30).currentMatch && !list.itemAtIndex(31).currentMatch)
        compare(list.itemAtIndex(30).html.indexOf("&amp;") > 0, true)
        keyClick(Qt.Key_Return, Qt.ShiftModifier)
        tryCompare(count, "text", "2 of 2")
        keyClick(Qt.Key_X)
        tryCompare(count, "text", "No matches")
        keyClick(Qt.Key_Escape)
        verify(!findChild(page, "searchBar").visible && page.chatOpen)
        // The marks go, and the text stays the text (a format switch would show the markup instead).
        list.positionViewAtEnd()
        var body = findChild(list.itemAtIndex(30), "messageText")
        compare([list.itemAtIndex(30).html.indexOf("background-color"), body.getText(0, body.length)],
                [-1, "Apples & pears"])
    }
    // Copying: the context menu copies the whole message or the selection, Ctrl+C the selection; pasting into the
    // composer shows what the clipboard got. The paperclip asks the controller to offer files to this peer.
    function test_copyAndAttach_data() {
        return [
            { tag: "menu, nothing selected", select: false, menu: true, pasted: "see https://vesk.example/a, ok" },
            { tag: "menu, a selection", select: true, menu: true, pasted: "https://vesk.example/a" },
            { tag: "Ctrl+C", select: true, menu: false, pasted: "https://vesk.example/a" }
        ]
    }
    function test_copyAndAttach(data) {
        var page = openChat(messages(20).concat([message("see https://vesk.example/a, ok", "{bob}", "sent")]))
        var list = findChild(page, "messageList")
        var row = list.itemAtIndex(20)
        var body = findChild(row, "messageText")
        mouseClick(body, 2, 2)
        body.select(data.select ? 4 : 0, data.select ? 26 : 0)
        if (data.menu) {
            mouseClick(body, 60, body.height / 2, Qt.RightButton)
            var menu = findChild(page, "messageMenu")
            tryVerify(() => menu.opened)
            compare(menu.itemAt(0).text, data.select ? "Copy" : "Copy message")
            verify(menu.itemAt(1).visible) // "Copy link": the click was on the link
            mouseClick(menu.itemAt(0))
            tryVerify(() => !menu.visible)
        } else {
            keySequence(StandardKey.Copy)
        }
        var input = findChild(page, "composerInput")
        input.forceActiveFocus()
        input.paste()
        compare(input.text, data.pasted)
        mouseClick(findChild(page, "attachButton"))
        compare(page.controller.calls, ["offerChosenFilesToPeer({bob})"])
    }
    // Links: only http, https and mailto become links, found inside sentences; the rest of the text stays text
    // (escaped), so a javascript: or file: address is never clickable.
    function test_links_data() {
        return [
            { tag: "https in a sentence", text: "see https://vesk.example/a?b=1#c, then", links: ["https://vesk.example/a?b=1#c"] },
            { tag: "http in brackets", text: "(http://x.example/p_(1)) and (http://y.example).", links: ["http://x.example/p_(1)", "http://y.example"] },
            { tag: "mailto", text: "write to mailto:ann@example.org.", links: ["mailto:ann@example.org"] },
            { tag: "upper case scheme", text: "HTTPS://EXAMPLE.ORG", links: ["HTTPS://EXAMPLE.ORG"] },
            { tag: "javascript", text: "javascript:alert(1) javascript://%0aalert(1)", links: [] },
            { tag: "data and others", text: "data:text/html,<b>x</b> ftp://x.example smb://host/share", links: [] },
            { tag: "scheme without a host", text: "http:// and https:///etc and mailto:nobody", links: [] },
            { tag: "markup around a link", text: "<a href=\"javascript:x\">https://ok.example</a>", links: ["https://ok.example"] }
        ]
    }
    function test_links(data) {
        compare(Format.findLinks(data.text).map(l => l.url), data.links)
        var html = Format.messageHtml(data.text, "", "#fff", "#ff0")
        var hrefs = (html.match(/href="[^"]*"/g) || []).map(h => h.slice(6, -1))
        compare(hrefs, data.links.map(l => Format.escapeHtml(l)))
        verify(html.indexOf("<b>") < 0 && html.indexOf("javascript:x\"") < 0)
        data.links.forEach(l => verify(Format.isOpenableLink(l)))
        ;["javascript:alert(1)", "file:///etc/passwd", "data:text/html,x", "vbscript:x", "http://a b", "",
          "https://x.example/\u0000"].forEach(l => verify(!Format.isOpenableLink(l), l))
    }
    // A picture already shown elsewhere (the list) shows in the conversation's header too, not the placeholder.
    Component { id: avatarComponent; Avatar {} }
    function test_avatarAlreadyLoadedElsewhere() {
        var url = "qrc:/qml/Vesk/pics/ui/img-logo.png"
        var first = make(avatarComponent, { source: url })
        tryCompare(first, "shownUrl", url)
        var second = make(avatarComponent, { source: "" })
        tryCompare(second, "shownUrl", second.fallbackUrl)
        second.source = url
        tryCompare(second, "shownUrl", url)
    }

    // The transfers tab: what each kind of row tells and asks the controller for, and the sizes and times it shows.
    function download(id, size) {
        return { id, status: "queued", nodefrom: "{bob}", filename: id + ".mkv", filesize: "" + size, peerAlias: "Bob" }
    }
    function test_transferRows_data() {
        return [
            { tag: "offered", row: "pendingRow", text: ["From Bob · 15.3 MB", "", false] },
            { tag: "paused", row: "pendingRow", onDisk: 1000000, text: ["1.0 MB of 15.3 MB", "Paused by you", false] },
            { tag: "owner away", row: "pendingRow", onDisk: 1000000, waiting: true,
              text: ["1.0 MB of 15.3 MB", "Waiting for Bob to come back", false] },
            { tag: "disk full", row: "pendingRow", onDisk: 1000000, waiting: true, problem: "Not enough space",
              text: ["1.0 MB of 15.3 MB", "Not enough space", false] },
            { tag: "offer not confirmed", row: "uploadRow", status: "unknown",
              text: ["To Bob · 4.3 GB", "Not delivered yet", false] },
            { tag: "offer confirmed", row: "uploadRow",
              text: ["To Bob · 4.3 GB", "Delivered · not downloaded yet", false] },
            { tag: "offer being fetched", row: "uploadRow", sent: "2000000",
              text: ["To Bob · 4.3 GB", "Sent 2.0 MB of 4.3 GB", true] }
        ]
    }
    function test_transferRows(data) {
        var upload = { id: "u1", url: "/tmp/a.zip", nodeto: "{bob}", filename: "a.zip", filesize: 4294967296,
                       bytesSent: data.sent || 0, timesent: "1", status: data.status || "sent", peerAlias: "Bob" }
        var page = makePage(transfersPage, { pendingModel: [download("d1", 15250000)], uploadsModel: [upload] },
                            { onDisk: { d1: data.onDisk || 0 }, waitingForOwner: { d1: !!data.waiting },
                              problems: { d1: data.problem || "" } })
        var row = findChild(page, data.row)
        compare([row.detail, row.note, row.showProgress], data.text)
        mouseClick(findChild(row, data.row === "pendingRow" ? "downloadButton" : "withdrawButton"))
        if (data.sent) { // being fetched: withdrawing it asks once
            compare(row.controller.calls, [])
            var confirm = findChild(T.Overlay.overlay, "confirmButton")
            tryVerify(() => confirm && confirm.visible)
            compare(findChild(T.Overlay.overlay, "confirmText").text,
                    "Bob has received 2.0 MB of 4.3 GB of it so far. Their download stops, and what they have of it is removed.")
            mouseClick(confirm)
            tryVerify(() => findChild(T.Overlay.overlay, "confirmButton") === null)
        }
        compare(row.controller.calls, [data.row === "pendingRow" ? "queueFileToDownload(d1)" : "deleteFileToSend(u1)"])
    }
    // The file being fetched shows what the controller measured: its bytes, speed and time left, or that it is
    // starting, or that nothing came for a while.
    function test_currentDownload() {
        var page = makePage(transfersPage, { queueModel: [download("d2", 10000000), download("d4", 90000000)] },
                            { currentDownloadingFileId: "d2", currentDownloadFileSize: 3000000 })
        var rows = findAll(page, "queuedRow")
        compare(rows.map(r => [r.showProgress, r.progress, r.detail, r.note]),
                [[true, 0.3, "From Bob · 3.0 MB of 10.0 MB", "Starting…"],
                 [false, 0, "From Bob · 90.0 MB · queued", ""]])
        page.controller.currentDownloadBytesPerSecond = 1000000
        compare(rows[0].note, "1.0 MB/s")
        page.controller.numberOfSecondsRemainingForCurrentDownload = 7
        compare(rows[0].note, "1.0 MB/s · 7 s left")
        page.controller.currentDownloadStalled = true
        compare(rows[0].note, "Waiting for Bob…")
        mouseClick(findChild(rows[0], "pauseButton"))
        compare(page.controller.calls, ["pauseFileToDownload(d2)"])
    }
    // A folder on the move is one entry of its list: its files counted, one bar, the time left, one set of buttons
    // that act on the whole folder by its id, and its files beneath it once opened. Five files of 1.7 MB, the first
    // three arrived (received: all five, the last four minutes after the offer), the fourth being fetched.
    function test_folderEntries_data() {
        return [
            { tag: "offered", list: "pendingFolders", status: "unknown", done: 0, detail: "From Bob · 5 files, 1.7 MB",
              note: "", bar: false, buttons: { downloadButton: "queueFileToDownload", removeButton: "deleteFileToDownload" } },
            { tag: "downloading", list: "queuedFolders", status: "queued", done: 3, current: true,
              detail: "From Bob · 3 of 5 files · 850 kB of 1.7 MB", note: "125 kB/s · 7 s left", bar: true,
              states: ["Received", "Received", "Received", "250 kB of 500 kB", "600 kB"],
              buttons: { pauseButton: "pauseFileToDownload" } },
            { tag: "received", list: "completedFolders", status: "downloaded", done: 5, detail: "From Bob · 5 files, 1.7 MB · ",
              note: "", bar: false, buttons: { openButton: "openDownloadedFolder" } },
            { tag: "sending", list: "uploadFolders", status: "sent", done: 3, up: true, detail: "To Bob · 5 files, 1.7 MB",
              note: "Sent 600 kB of 1.7 MB", bar: true, buttons: { removeButton: "deleteFileToSend" } }
        ]
    }
    function test_folderEntries(data) {
        var sizes = [100000, 200000, 300000, 500000, 600000]
        var files = ["c/a.jpg", "c/b.jpg", "a.txt", "d.bin", "e.bin"].map((path, i) => ({
            id: "F/" + path, status: i < data.done ? "downloaded" : data.status, nodefrom: "{bob}",
            nodeto: "{bob}", filename: path, filesize: sizes[i], bytesSent: 0, folderId: "F", path,
            timestamp: 1767225600000 + i * 60000 }))
        var uploads = data.up ? files.slice(3) : [{ id: "u", nodeto: "{bob}", filesize: 1, bytesSent: 0, status: "sent", folderId: "" }]
        var tables = { vesk_peers: [{ id: "{bob}", alias: "Bob" }], vesk_downloads: data.up ? [files[0]] : files,
                       vesk_uploads: uploads,
                       vesk_folders: [{ id: "F", nodeid: "{bob}", direction: data.up ? "up" : "down", name: "Holiday 2026",
                                        localname: "Holiday 2026", files: 5, filesize: 1700000, status: data.status,
                                        timestamp: 1767225600000 }] }
        Object.keys(tables).forEach(table => make(tableComponent, { rows: tables[table], table }))
        var models = { queueModel: make(tableComponent, { rows: [] }) }
        ;[["pendingFolders", "offered"], ["queuedFolders", "queued"], ["completedFolders", "received"],
          ["uploadFolders", "sending"]].forEach(pair => models[pair[0]] = make(folderListComponent, { kind: pair[1] }))
        var measured = data.current ? { currentDownloadingFileId: "F/d.bin", currentDownloadFolderId: "F",
                                        currentDownloadFileSize: 250000, currentDownloadBytesPerSecond: 125000,
                                        numberOfSecondsRemainingForCurrentDownload: 7 } : {}
        var page = makePage(transfersPage, {}, measured, models)
        compare(Object.keys(models).filter(name => name !== "queueModel" && models[name].count > 0), [data.list])
        var entries = findAll(page, "folderRow")
        compare(entries.length, 1)
        var row = entries[0]
        compare([row.fileName, row.detail, row.note, row.showProgress],
                ["Holiday 2026", data.detail + (data.done === 5 ? Format.formatTimestamp(1767225840000).replace(/ /g, "\u00a0") : ""), data.note,
                 data.bar])
        // Its files: hidden until the folder is opened, then listed by path.
        var entry = row.parent
        verify(!entry.fileList.visible)
        mouseClick(findChild(row, "expandButton"))
        tryVerify(() => entry.fileList.visible && entry.fileList.count === (data.up ? 2 : 5))
        if (data.states) {
            var shown = () => [0, 1, 2, 3, 4].map(i => entry.fileList.itemAtIndex(i))
            tryVerify(() => shown().every(item => item !== null))
            compare(shown().map(item => findChild(item, "fileState").text), data.states)
            compare(shown()[0].path, "a.txt")
        }
        Object.keys(data.buttons).forEach(name => mouseClick(findChild(row, name)))
        compare(page.controller.calls, Object.values(data.buttons).map(call => call + "(F)"))
    }

    // The texts shown under the item that are cut: shortened with an ellipsis, spilling out of their own box, or
    // reaching beyond the width (a row laid out wider than the window pushes its text out of sight).
    function cutTexts(item, root, width) {
        var cut = Array.from(item.children).reduce((all, child) => all.concat(cutTexts(child, root, width)), [])
        if (!item.visible || item.truncated === undefined || item.text === "")
            return cut
        var left = item.mapToItem(root, 0, 0).x
        var spills = item.wrapMode === Text.NoWrap && item.elide === Text.ElideNone
                     && item.contentWidth > item.width + 1
        if (item.truncated || spills || left < -0.5 || left + item.width > width + 0.5)
            cut.push(item.text)
        return cut
    }
    // At the window's default width nothing is cut: the empty send tab with its two buttons, the tabs with counts.
    function test_nothingCutAtDefaultWidth() {
        var page = makePage(filesPage, {}, {}, { filesModel: make(filesModel) })
        compare(cutTexts(page, page, page.width), [])
        var tabs = make(tabBar, { unreadCount: 12, filesCount: 30, offersCount: 250 })
        waitForRendering(tabs)
        compare(cutTexts(tabs, tabs, tabs.width), [])
    }

    // Sizes and times in the words and order of the user's locale.
    function test_formats_data() {
        return [
            { tag: "C", sizes: ["999 bytes", "1.2 kB", "15.3 MB", "152 MB"],
              times: ["09:00", "Yesterday 12:00", "3 Mar 08:30", "24 Dec 2013"] },
            { tag: "en_US", sizes: ["999 bytes", "1.2 kB", "15.3 MB", "152 MB"],
              times: ["9:00 AM", "Yesterday 12:00 PM", "Mar 3 8:30 AM", "Dec 24, 2013"] },
            { tag: "de_DE", sizes: ["999 Bytes", "1,2 kB", "15,3 MB", "152 MB"],
              times: ["09:00", "Yesterday 12:00", "3. März 08:30", "24. Dez. 2013"] },
            { tag: "es_ES", sizes: ["999 bytes", "1,2 kB", "15,3 MB", "152 MB"],
              times: ["9:00", "Yesterday 12:00", "3 de mar 8:30", "24 de dic de 2013"] }
        ]
    }
    function test_formats(data) {
        var locale = Qt.locale(data.tag)
        compare([999, 1200, 15250000, 152000000].map(n => Format.formatBytes(n, locale)), data.sizes)
        var now = new Date(2024, 5, 15, 12, 0).getTime()
        compare([now - 3 * 3600000, now - 24 * 3600000, new Date(2024, 2, 3, 8, 30), new Date(2013, 11, 24)].map(
                    t => Format.formatTimestamp(t.valueOf(), now, locale)), data.times)
        compare([125, 273600].map(s => Format.formatDuration(s)), ["2 min 5 s", "3 d 4 h"])
    }
}
