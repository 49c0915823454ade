#pragma once

#include <QString>

namespace Vesk {

// A picture as the interface loads it: a compiled-in one (":/...") as its "qrc:" URL, a file as its file URL,
// with the file's modification time attached while it exists. A picture rewritten under the same name (a peer's
// new avatar, the user's own) thus gets a new URL and is read again instead of coming from the image cache.
// URLs pass unchanged; an empty path stays empty.
QString pictureUrl(const QString& pathOrUrl);

} // namespace Vesk
