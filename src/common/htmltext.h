#pragma once

#include <QString>

namespace Vesk {

// Turns text that came from a peer (a chat message, an alias, a file name) into HTML that shows it literally:
// "<", ">", "&" and quotes are escaped and line breaks become <br>. Views that render rich text, such as the
// notification popup, are handed HTML in which every peer-supplied part went through this function, so that
// only the program's own markup is ever interpreted.
QString plainTextToHtml(const QString& text);

} // namespace Vesk
