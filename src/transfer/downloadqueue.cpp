// The download queue as a whole: queue or pause every waiting download at once. The engine that acts on the
// queue lives beside it in this folder.
#include "app/globals.h"

#include "store/database.h"
#include "store/vesksqlquerymodel.h"

#include <QSqlQuery>

namespace Vesk {

void Globals::downloadAllPending()
{
    {
        QSqlQuery q(Database::connection());
        q.exec(QStringLiteral("update vesk_downloads set status = 'queued' where status='unknown'"));
    }
    pausedDownloads->refresh();
    queuedDownloads->refresh();
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
    Q_EMIT readyToDownloadNextFile();
}

void Globals::pauseAllPendingDownloads()
{
    {
        QSqlQuery q(Database::connection());
        q.exec(QStringLiteral("update vesk_downloads set status = 'unknown' where status='queued'"));
    }
    pausedDownloads->refresh();
    queuedDownloads->refresh();
    setCurrentDownloadingFileId(QString());
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
}

} // namespace Vesk
