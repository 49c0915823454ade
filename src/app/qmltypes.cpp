#include "app/qmltypes.h"

// Written by the build from the declarations in qmltypes.h.
void qml_register_types_Vesk_Core();

namespace Vesk::Qml {

void registerTypes()
{
    qml_register_types_Vesk_Core();
}

} // namespace Vesk::Qml
