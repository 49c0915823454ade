import QtQuick

// A stand-in for the program's controller: the same properties, signals and invokables, no network and no
// database. Every call is recorded in `calls` as "name(arg1,arg2)" so tests can assert on what the interface
// asked for; the getters answer from the tables below.
QtObject {
    id: fake

    property var calls: []

    function record(name, args) {
        var list = calls.slice()
        list.push(name + "(" + Array.prototype.slice.call(args).join(",") + ")")
        calls = list
    }
    function called(entry) {
        return calls.indexOf(entry) >= 0
    }
    function reset() {
        calls = []
    }

    // Properties, as the controller declares them.
    property bool startOnLogin: false
    property bool automaticallyOpenDownloadedFiles: true
    property int numberOfSelectedFiles: 0
    property int selectedPeersCount: selectedPeers.length
    property int numberOfPendingValidations: 0
    property real numberOfSecondsRemainingForCurrentDownload: 0
    property string hostId: "{host}"
    property string currentDownloadingFileId: ""
    property string appName: "Vesk"
    property string userAlias: "Ann"
    property string userAvatar: "qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png"
    property int totalNumberOfUnReadMessages: 0
    property real currentDownloadFileSize: 0
    property string tempAvatarPath: ""
    property string currentSelectedChatPeer: ""
    property int currentSelectedTabIndex: 0

    // What the getters answer: node id -> value.
    property var aliases: ({})
    property var avatars: ({})
    property var statuses: ({})
    property var blockedStatuses: ({})
    property var downloadPaths: ({})
    property var selectedPeers: []

    // Invokables and slots the interface may call.
    function toggleAutomaticallyOpenDownloadedFiles() {
        record("toggleAutomaticallyOpenDownloadedFiles", arguments)
        automaticallyOpenDownloadedFiles = !automaticallyOpenDownloadedFiles
    }
    function setUserAlias(alias) { record("setUserAlias", arguments); userAlias = alias }
    function chooseAvatar() { record("chooseAvatar", arguments) }
    function togglePeerSelection(peerId) {
        record("togglePeerSelection", arguments)
        var list = selectedPeers.slice()
        var at = list.indexOf(peerId)
        if (at >= 0)
            list.splice(at, 1)
        else
            list.push(peerId)
        selectedPeers = list
    }
    function isPeerSelected(peerId) { return selectedPeers.indexOf(peerId) >= 0 }
    function sendChat(toNodeID, message) { record("sendChat", arguments) }
    function selectFiles() { record("selectFiles", arguments) }
    function toggleStartOnLogin() { record("toggleStartOnLogin", arguments); startOnLogin = !startOnLogin }
    function getThumbnailFromFileSuffix(suffix) {
        return "qrc:/qml/Vesk/pics/fileicons/" + (suffix.toLowerCase() === "pdf" ? "pdf" : "fileicon_bg") + ".png"
    }
    function getAvatarForNode(nodeId) { return avatars[nodeId] === undefined ? "" : avatars[nodeId] }
    function getAliasForNode(nodeId) { return aliases[nodeId] === undefined ? "" : aliases[nodeId] }
    function getIpAddressForNode(nodeId) { return "" }
    function getStatusForNode(nodeId) { return statuses[nodeId] === undefined ? "" : statuses[nodeId] }
    function getBlockedStatusForNode(nodeId) {
        return blockedStatuses[nodeId] === undefined ? "no" : blockedStatuses[nodeId]
    }
    function getFilePathForDownloadedFile(fileId) {
        return downloadPaths[fileId] === undefined ? "" : downloadPaths[fileId]
    }
    property var deliveredFiles: []
    property var onDisk: ({})
    property var waitingForOwner: ({})
    function bytesOnDisk(id) { return onDisk[id] === undefined ? 0 : onDisk[id] }
    function isWaitingForOwner(id) { return waitingForOwner[id] === true }
    function queueFileToDownload(id) { record("queueFileToDownload", arguments) }
    function pauseFileToDownload(id) { record("pauseFileToDownload", arguments) }
    function deleteFileToDownload(id) { record("deleteFileToDownload", arguments) }
    function deleteFileToSend(id) { record("deleteFileToSend", arguments) }
    function openDownloadedFilesFolder() { record("openDownloadedFilesFolder", arguments) }
    function openDownloadedFile(fileName) { record("openDownloadedFile", arguments) }
    function changeUserInfo(alias, avatar) { record("changeUserInfo", arguments) }
    function refreshPeers() { record("refreshPeers", arguments) }
    function launchProfileWizard() { record("launchProfileWizard", arguments) }
    function setCurrentSelectedChatPeer(peerId) {
        record("setCurrentSelectedChatPeer", arguments)
        currentSelectedTabIndex = 0
        currentSelectedChatPeer = peerId
    }
    function setCurrentSelectedTabIndex(index) {
        record("setCurrentSelectedTabIndex", arguments)
        currentSelectedTabIndex = index
    }
    function downloadAllPending() { record("downloadAllPending", arguments) }
    function clearAllPendingUploads() { record("clearAllPendingUploads", arguments) }
    function clearAllPendingDownloads() { record("clearAllPendingDownloads", arguments) }
    function pauseAllPendingDownloads() { record("pauseAllPendingDownloads", arguments) }
    function blockUser(peerId) { record("blockUser", arguments) }
    function unblockUser(peerId) { record("unblockUser", arguments) }
    function messageBox(title, description) { record("messageBox", arguments) }
    function sendHighlightedFiles() { record("sendHighlightedFiles", arguments) }
}
