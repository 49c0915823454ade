#pragma once

#include <QString>

namespace Vesk {

// Tells the user something about files they picked without stopping them: a message box that does not block the
// event loop, so transfers and the other timers keep running while it is open. It deletes itself when closed.
void showTransferNotice(const QString& title, const QString& text);

// Object name of those boxes, so they can be found among the top-level widgets.
constexpr const char* kTransferNoticeName = "vesk-transfer-notice";

} // namespace Vesk
