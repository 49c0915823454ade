#pragma once

// The queries of the list models. Node ids are bound as positional parameters, never pasted into the text:
// they arrive from the network and may contain anything.
namespace Vesk::StoreQueries {

constexpr const char* kAllPeers = "select * from vesk_peers order by status desc, timestamp desc , alias asc";
constexpr const char* kOnlinePeers = "select * from vesk_peers where status = 'on' order by timestamp desc, alias asc";
// The transfer lists also carry the other side's alias as the role "peerAlias" (after every column of the table),
// so that a row shows who it is for without a query of its own. They hold the separate files only: a folder's
// files are counted by the folder lists and read by the folder's own file list, so that a folder of ten thousand
// files does not make each refresh of these lists read ten thousand rows.
#define VESK_SEPARATE_FILES "(folderId is null or folderId = '')"
constexpr const char* kUploads =
    "select *, (select alias from vesk_peers where vesk_peers.id = vesk_uploads.nodeto) as peerAlias "
    "from vesk_uploads where not (status = 'tobedeleted') and " VESK_SEPARATE_FILES " order by bytesSent desc";
constexpr const char* kPausedDownloads =
    "select *, (select alias from vesk_peers where vesk_peers.id = vesk_downloads.nodefrom) as peerAlias "
    "from vesk_downloads where status = 'unknown' and " VESK_SEPARATE_FILES " order by cast(filesize as INTEGER) asc";
constexpr const char* kQueuedDownloads =
    "select *, (select alias from vesk_peers where vesk_peers.id = vesk_downloads.nodefrom) as peerAlias "
    "from vesk_downloads where status = 'queued' and " VESK_SEPARATE_FILES " order by cast(filesize as INTEGER) asc";
constexpr const char* kCompletedDownloads =
    "select *, (select alias from vesk_peers where vesk_peers.id = vesk_downloads.nodefrom) as peerAlias "
    "from vesk_downloads where status = 'downloaded' and " VESK_SEPARATE_FILES " order by timestamp desc";
#undef VESK_SEPARATE_FILES
constexpr const char* kNoChats = "select * from vesk_chats where 0";

// Bound: this node's id. Online peers first, then offline peers with unread messages or a
// conversation, so that a conversation stays reachable (and a message to the peer can be written) while the peer
// is away; never this node.
constexpr const char* kListedPeers =
    "select * from vesk_peers where (status = 'on' or unreadMessagesCount >0 "
    "or exists (select 1 from vesk_chats where peerfrom = vesk_peers.id) "
    "or exists (select 1 from vesk_chats where peerto = vesk_peers.id))  and not(id = ?) "
    "order by status desc, unreadMessagesCount desc, timestamp desc, alias asc";
// Bound: this node's id. Online peers that are not blocked; never this node.
constexpr const char* kReachablePeers =
    "select * from vesk_peers where status = 'on'  and not(coalesce(blocked, 'no') = 'yes') and  not(id = ?) "
    "order by unreadMessagesCount desc , timestamp desc, alias asc";
// Bound: the peer's id twice. The last 100 messages exchanged with the peer, oldest first. Each direction is read
// newest-first from its own index and only the two short lists are merged: a single "peerfrom = ? or peerto = ?"
// filter would fetch and sort the peer's whole history on every refresh. UNION also keeps a message that is both
// from and to the peer once.
constexpr const char* kChatHistory =
    "select * from (select * from (select * from vesk_chats where peerfrom = ? order by timesent desc limit 100) "
    "union select * from (select * from vesk_chats where peerto = ? order by timesent desc limit 100) "
    "order by timesent desc limit 100) order by timesent asc";

constexpr const char* kUnreadSum = "select sum(unreadMessagesCount) as sumunread from vesk_peers ";
// A folder waiting for the user counts once, not once per file.
constexpr const char* kPendingCount =
    "select (select count(*) from vesk_downloads where status == 'unknown' and folderId is null) + "
    "(select count(*) from vesk_folders where direction = 'down' and status = 'unknown')";

} // namespace Vesk::StoreQueries
