#include "common/taskthread.h"

namespace Vesk {

TaskThread::TaskThread(int maxWaiting) : m_maxWaiting(maxWaiting), m_thread([this] { run(); }) {}

TaskThread::~TaskThread()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

bool TaskThread::hasRoom() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_tasks.size()) + m_running < m_maxWaiting;
}

bool TaskThread::post(std::function<void()> task)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (int(m_tasks.size()) + m_running >= m_maxWaiting)
            return false;
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
    return true;
}

void TaskThread::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_tasks.empty(); });
        if (m_tasks.empty())
            return;
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        m_running = 1;
        lock.unlock();
        task();
        task = nullptr; // what it held goes here, not under the lock
        lock.lock();
        m_running = 0;
    }
}

} // namespace Vesk
