#include "transfer/transferlogging.h"

Q_LOGGING_CATEGORY(lcTransfer, "vesk.transfer")
Q_LOGGING_CATEGORY(lcOffers, "vesk.transfer.offers")
