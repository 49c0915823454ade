#pragma once

#include <QHostAddress>
#include <QtGlobal>

// The few calls an accepted connection needs, on its descriptor directly. A connection carries one frame of up to
// a megabyte and more; read through QTcpSocket it would be copied into the socket's own buffer first and out of it
// again, and every connection would build the socket's machinery only to read once.
namespace Vesk::NativeSocket {

// Reading never blocks: a connection is read as its bytes arrive, from the event loop.
bool setNonBlocking(qintptr descriptor);
QHostAddress peerAddress(qintptr descriptor);
// Bytes read (> 0), 0 when none are there now, -1 when the peer has closed the connection or it failed.
qint64 receive(qintptr descriptor, char* into, qint64 most);
// Asks the kernel to report the connection readable only once this many bytes are waiting (or it ended), where the
// system supports it and as far as the window stays untouched: fewer wake-ups for the same megabyte.
void setReadThreshold(qintptr descriptor, qint64 bytes);
// Writes what the kernel takes now, never waiting: bytes written, or -1.
qint64 send(qintptr descriptor, const char* data, qint64 size);
void close(qintptr descriptor);
// Ends the connection with a reset, so the peer knows at once it was refused.
void abort(qintptr descriptor);

} // namespace Vesk::NativeSocket
