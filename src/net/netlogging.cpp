#include "net/netlogging.h"

Q_LOGGING_CATEGORY(lcNet, "vesk.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDiscovery, "vesk.net.discovery", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDispatch, "vesk.net.dispatch", QtInfoMsg)
