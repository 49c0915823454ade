#include "peers/peerslogging.h"

// Debug output of the handshake and the chat, off unless enabled (QT_LOGGING_RULES="vesk.peers.debug=true").
Q_LOGGING_CATEGORY(lcPeers, "vesk.peers", QtInfoMsg)
Q_LOGGING_CATEGORY(lcChat, "vesk.chat", QtInfoMsg)
