#pragma once

#include <QHostAddress>
#include <QString>

namespace Vesk {

// An IPv4 address in IPv4 form, also when a dual-stack socket reports it IPv4-mapped ("::ffff:10.0.0.2").
QHostAddress normalisedAddress(const QHostAddress& address);

// The address as peers are stored and compared: dotted decimal for IPv4.
QString addressText(const QHostAddress& address);

} // namespace Vesk
