#include "peers/peerslogging.h"

Q_LOGGING_CATEGORY(lcPeers, "vesk.peers")
Q_LOGGING_CATEGORY(lcChat, "vesk.chat")
