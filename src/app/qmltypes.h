#pragma once

#include "peers/chatsearch.h"
#include "store/securitystate.h"

#include <QtQml/qqml.h>

// The types of the lower layers that the interface names, as the QML module Vesk.Core. The layers themselves know
// nothing of QML; these declarations name their types for it. The build writes the module's type description into
// qmltypes/ of the build tree, where qmllint finds it.
namespace Vesk::Qml {

// A peer's security as the interface compares it: SecurityState.Sealed, SecurityState.KeyChanged, ...
namespace SecurityStateForeign {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(Vesk::SecurityState)
QML_NAMED_ELEMENT(SecurityState)
} // namespace SecurityStateForeign

// The search of the open conversation: ChatSearch { model: chatsModel; text: ... }.
struct ChatSearchForeign
{
    Q_GADGET
    QML_FOREIGN(Vesk::ChatSearch)
    QML_NAMED_ELEMENT(ChatSearch)
};

// Registers the module with the QML engine; the program and the interface tests call it before loading QML (in a
// static library the registration runs only when something calls it).
void registerTypes();

} // namespace Vesk::Qml
