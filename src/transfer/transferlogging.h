#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
Q_DECLARE_LOGGING_CATEGORY(lcOffers)
