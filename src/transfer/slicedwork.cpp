#include "transfer/slicedwork.h"

#include "transfer/transfersql.h"

namespace Vesk {

void SlicedWork::start(const QString& key, Step step, Done done)
{
    const quint64 generation = ++m_generation;
    m_work.insert(key, Work{std::move(step), std::move(done), generation});
    runSlice(key, generation);
}

void SlicedWork::runSlice(const QString& key, quint64 generation)
{
    const auto found = m_work.constFind(key);
    if (found == m_work.cend() || found->generation != generation)
        return;                    // cancelled, or replaced by newer work under the same key
    const Step step = found->step; // the step may start or cancel work, this key's included
    const bool more = step();
    const auto still = m_work.constFind(key);
    if (still == m_work.cend() || still->generation != generation)
        return;
    if (more) {
        QMetaObject::invokeMethod(
            this, [this, key, generation] { runSlice(key, generation); }, Qt::QueuedConnection);
        return;
    }
    const Done done = still->done;
    m_work.erase(still);
    if (done)
        done();
}

bool execSlice(QSqlQuery& q, const QString& statement, QVariantList values)
{
    values.append(SlicedWork::kRowsPerSlice);
    return execBound(q, statement, values) && q.numRowsAffected() >= SlicedWork::kRowsPerSlice;
}

} // namespace Vesk
