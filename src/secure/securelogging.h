#pragma once

#include <QLoggingCategory>

// Debug output about keys, handshakes and sealing; never the keys themselves.
Q_DECLARE_LOGGING_CATEGORY(lcSecure)
