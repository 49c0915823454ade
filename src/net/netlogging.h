#pragma once

#include <QLoggingCategory>

// Debug output of the transport; off unless enabled with QT_LOGGING_RULES (for example "vesk.net*.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcNet)
Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)
Q_DECLARE_LOGGING_CATEGORY(lcDispatch)
