#include "testsupport.h"

#include <QMutex>

namespace TestSupport {

namespace {
QMutex g_lock;
QStringList g_all;
QStringList g_criticals;
QtMessageHandler g_previous = nullptr;

void catchMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker locker(&g_lock);
        g_all.append(text);
        if (type == QtCriticalMsg)
            g_criticals.append(text);
    }
    if (g_previous)
        g_previous(type, context, text);
}
} // namespace

MessageCatcher::MessageCatcher()
{
    clear();
    g_previous = qInstallMessageHandler(catchMessage);
}

MessageCatcher::~MessageCatcher()
{
    qInstallMessageHandler(g_previous);
    g_previous = nullptr;
}

QStringList MessageCatcher::criticals() const
{
    QMutexLocker locker(&g_lock);
    return g_criticals;
}

QStringList MessageCatcher::all() const
{
    QMutexLocker locker(&g_lock);
    return g_all;
}

void MessageCatcher::clear()
{
    QMutexLocker locker(&g_lock);
    g_all.clear();
    g_criticals.clear();
}

} // namespace TestSupport
