import QtQuick
import Vesk.Core

// The program's controller as the views under test use it: calls recorded as "name(arg1,arg2)", getters answered
// from the tables (node id -> value).
QtObject {
    property var calls: []
    function record(name, args) { calls = calls.concat([name + "(" + Array.from(args).join(",") + ")"]) }
    property string hostId: "{host}"
    property string userAvatarUrl: ""
    property string currentSelectedChatPeer: ""
    property string currentDownloadingFileId: ""
    property string currentDownloadFolderId: ""
    property real currentDownloadFileSize: 0
    property real currentDownloadBytesPerSecond: -1
    property real numberOfSecondsRemainingForCurrentDownload: -1
    property bool currentDownloadStalled: false
    property int numberOfSelectedFiles: 0
    property int selectedPeersCount: selectedPeers.length
    property var selectedPeers: []
    property var onDisk: ({})
    property var waitingForOwner: ({})
    property var problems: ({})
    function getThumbnailFromFileSuffix(suffix) { return "qrc:/qml/Vesk/pics/fileicons/fileicon_bg.png" }
    function bytesOnDisk(id) { return onDisk[id] || 0 }
    function isWaitingForOwner(id) { return waitingForOwner[id] === true }
    function downloadProblem(id) { return problems[id] || "" }
    property var keptAside: ({})
    function keptAsideAs(id) { return keptAside[id] || "" }
    function isPeerSelected(id) { return selectedPeers.indexOf(id) >= 0 }
    function togglePeerSelection(id) {
        record("togglePeerSelection", arguments)
        selectedPeers = isPeerSelected(id) ? selectedPeers.filter(p => p !== id) : selectedPeers.concat([id])
    }
    function setCurrentSelectedChatPeer(id) {
        record("setCurrentSelectedChatPeer", arguments)
        currentSelectedChatPeer = id
    }
    property bool savesChats: true
    function sendChat(id, text) { record("sendChat", arguments); return savesChats }
    function offerChosenFilesToPeer(id) { record("offerChosenFilesToPeer", arguments) }
    function sendHighlightedFiles() { record("sendHighlightedFiles", arguments) }
    function queueFileToDownload(id) { record("queueFileToDownload", arguments) }
    function pauseFileToDownload(id) { record("pauseFileToDownload", arguments) }
    function deleteFileToSend(id) { record("deleteFileToSend", arguments) }
    function deleteFileToDownload(id) { record("deleteFileToDownload", arguments) }
    function openDownloadedFolder(id) { record("openDownloadedFolder", arguments) }
    function selectFiles() { record("selectFiles", arguments) }
    function selectFolder() { record("selectFolder", arguments) }
    signal peerSecurityChanged(string nodeId)
    property var security: ({})
    function peerSecurityState(id) { return security[id] ?? SecurityState.Plain }
    property var refusesOurKey: ({})
    function peerRefusesOurKey(id) { return refusesOurKey[id] === true }
    function peerSecurityCode(id) { return "01234 56789 01234 56789\n98765 43210 98765 43210" }
    function markPeerVerified(id) { record("markPeerVerified", arguments) }
    function acceptPeerSecurityKey(id) {
        record("acceptPeerSecurityKey", arguments)
        security = Object.assign({}, security, { [id]: SecurityState.Sealed })
        peerSecurityChanged(id)
    }
}
