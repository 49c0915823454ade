#include "transfer/transferlogging.h"

// Debug output of offers and of the packet exchange (one line per packet), off unless enabled
// (QT_LOGGING_RULES="vesk.transfer.debug=true").
Q_LOGGING_CATEGORY(lcTransfer, "vesk.transfer", QtInfoMsg)
Q_LOGGING_CATEGORY(lcOffers, "vesk.transfer.offers", QtInfoMsg)
