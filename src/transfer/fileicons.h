#pragma once

#include <QString>

namespace Vesk::FileIcons {

// The generic icon, also shown for a file until its own icon is known.
QString placeholderUrl();

// The resource URL of the icon for a file suffix given without its dot, in any letter case. Suffixes outside the
// table, the empty one included, get the generic icon.
QString urlForSuffix(const QString& fileSuffix);

} // namespace Vesk::FileIcons
