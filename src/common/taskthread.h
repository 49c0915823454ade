#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Vesk {

// Runs tasks one after another, in the order given, on a thread of its own, with a bound on how many wait. For
// work on large buffers (sealing and opening file packets) that would otherwise hold up the interface's thread.
// A task reports back by posting to an object of the thread that gave it (QMetaObject::invokeMethod, queued); the
// tasks still waiting when the object goes are run before the thread ends, so whatever they hold is let go.
class TaskThread
{
    Q_DISABLE_COPY(TaskThread)

public:
    explicit TaskThread(int maxWaiting);
    // Runs what is still queued, then ends the thread.
    ~TaskThread();

    // Whether a task given now is taken. The caller does the work itself otherwise: that holds it up as it was
    // before, so a sender faster than this thread slows down instead of filling memory.
    bool hasRoom() const;
    // Queues the task; false (and the task dropped) when there is no room.
    bool post(std::function<void()> task);

private:
    void run();

    const int m_maxWaiting;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    int m_running = 0;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace Vesk
