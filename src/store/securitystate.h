#pragma once

#include <QObject>
#include <QVariant>

namespace Vesk {

// How far what is exchanged with a peer can be trusted, as the interface shows it. The interface compares these
// values (registered for QML as SecurityState) and keeps the words and icons that go with them.
namespace SecurityState {
Q_NAMESPACE

enum State {
    Plain,      // its program cannot seal: everything goes as the plain protocol has it
    Sealed,     // messages are sealed with the identity pinned for it
    Verified,   // sealed, and the user compared the codes
    KeyChanged, // it came with another identity key; nothing is taken from it until the user accepts that key
};
Q_ENUM_NS(State)

// The state a peer's row holds: its identityKey, pendingKey and verified columns, which are written together with
// every change of its security.
State fromColumns(const QVariant& identityKey, const QVariant& pendingKey, const QVariant& verified);

} // namespace SecurityState
} // namespace Vesk
