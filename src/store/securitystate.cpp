#include "store/securitystate.h"

namespace Vesk::SecurityState {

State fromColumns(const QVariant& identityKey, const QVariant& pendingKey, const QVariant& verified)
{
    // A new key waiting for the user outweighs codes compared for the old one.
    if (!pendingKey.toString().isEmpty())
        return KeyChanged;
    if (identityKey.toString().isEmpty())
        return Plain;
    return verified.toString() == QLatin1String("yes") ? Verified : Sealed;
}

} // namespace Vesk::SecurityState
