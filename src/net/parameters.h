#pragma once

#include <QHash>
#include <QString>
#include <QVariant>

namespace Vesk {

// A message in memory: field name to value. The wire fields are listed in wire.cpp; any other key (such as
// "senderIPAddress", added on receipt) stays local and never reaches the wire.
using Parameters = QHash<QString, QVariant>;

} // namespace Vesk
