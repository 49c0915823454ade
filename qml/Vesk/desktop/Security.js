.pragma library
.import Vesk.Core 1.0 as Core

// What the interface shows for a peer's security state (a SecurityState value, the peer list's "security" role):
// its lock icon and the sentence that goes with it, for tooltips and screen readers. The shape of the icon tells
// the states apart, so no one has to rely on its colour.

function icon(state) {
    switch (state) {
    case Core.SecurityState.Verified: return "lock-check"
    case Core.SecurityState.Sealed: return "lock"
    case Core.SecurityState.KeyChanged: return "warning"
    default: return "lock-open"
    }
}

function describe(state, name) {
    switch (state) {
    case Core.SecurityState.Verified: return qsTr("Encrypted; you compared codes with %1").arg(name)
    case Core.SecurityState.Sealed: return qsTr("Messages with %1 are encrypted").arg(name)
    case Core.SecurityState.KeyChanged: return qsTr("%1's security key changed").arg(name)
    default: return qsTr("Not encrypted: %1's program does not support it").arg(name)
    }
}
