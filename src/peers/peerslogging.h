#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPeers)
Q_DECLARE_LOGGING_CATEGORY(lcChat)
