.pragma library

// What the interface says about a peer's security state (the peer list's "security" role): its lock icon and the
// sentence that goes with it, for tooltips and screen readers. The shape of the icon tells the states apart, so
// no one has to rely on its colour.

function icon(state) {
    switch (state) {
    case "verified": return "lock-check"
    case "sealed": return "lock"
    case "keychanged": return "warning"
    default: return "lock-open"
    }
}

function describe(state, name) {
    switch (state) {
    case "verified": return qsTr("Encrypted; you compared codes with %1").arg(name)
    case "sealed": return qsTr("Messages with %1 are encrypted").arg(name)
    case "keychanged": return qsTr("%1's security key changed").arg(name)
    default: return qsTr("Not encrypted: %1's program does not support it").arg(name)
    }
}
