#include "store/pictureurl.h"

#include <QDateTime>
#include <QFileInfo>
#include <QUrl>

namespace Vesk {

QString pictureUrl(const QString& pathOrUrl)
{
    if (pathOrUrl.isEmpty())
        return pathOrUrl;
    if (pathOrUrl.startsWith(QLatin1String(":/")))
        return QLatin1String("qrc") + pathOrUrl;
    QString path = pathOrUrl;
    if (pathOrUrl.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        path = QUrl(pathOrUrl).toLocalFile();
    } else if (pathOrUrl.contains(QLatin1String(":/")) && !QFileInfo(pathOrUrl).isAbsolute()) {
        return pathOrUrl; // another scheme (qrc:, image:, ...)
    }
    const QFileInfo file(path);
    if (!file.isAbsolute())
        return QString();
    QUrl url = QUrl::fromLocalFile(file.filePath());
    if (file.exists())
        url.setQuery(QStringLiteral("v=") + QString::number(file.lastModified().toMSecsSinceEpoch()));
    return url.toString(QUrl::FullyEncoded);
}

} // namespace Vesk
