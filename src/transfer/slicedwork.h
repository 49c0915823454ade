#pragma once

#include <QHash>
#include <QObject>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>

namespace Vesk {

// Work over a folder's rows, ten thousand of them at times, done a slice at a time with one slice per turn of the
// event loop: a statement over all of them at once held the window for 60-100 ms. Each piece of work has a key (the
// folder's id); work started under a key replaces what was left of the work before it.
class SlicedWork : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SlicedWork)

public:
    static constexpr int kRowsPerSlice = 1000;

    using Step = std::function<bool()>; // does one slice; true while more is left
    using Done = std::function<void()>;

    explicit SlicedWork(QObject* parent = nullptr) : QObject(parent) {}

    // Runs the first slice now and the others in later turns; done runs after the last one, in the same turn. Work
    // of a single slice is thus over when this returns.
    void start(const QString& key, Step step, Done done = {});
    void cancel(const QString& key) { m_work.remove(key); }
    void cancelAll() { m_work.clear(); }
    bool isRunning(const QString& key) const { return m_work.contains(key); }

private:
    void runSlice(const QString& key, quint64 generation);

    struct Work
    {
        Step step;
        Done done;
        quint64 generation = 0;
    };
    QHash<QString, Work> m_work;
    quint64 m_generation = 0;
};

// Runs a statement whose last placeholder is the "limit ?" of the subquery that picks its rows, with values bound
// before it; true when it changed a whole slice, so that more rows may be left.
bool execSlice(QSqlQuery& q, const QString& statement, QVariantList values);

} // namespace Vesk
