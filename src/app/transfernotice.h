#pragma once

#include <QString>

class QWidget;

namespace Vesk {

// Tells the user something about files they picked without stopping them: a message box that does not block the
// event loop, so transfers and the other timers keep running while it is open. It deletes itself when closed.
// Returns the box, for whoever closes it before the user does.
QWidget* showTransferNotice(const QString& title, const QString& text);

// Object name of those boxes, so they can be found among the top-level widgets.
constexpr const char* kTransferNoticeName = "vesk-transfer-notice";

} // namespace Vesk
