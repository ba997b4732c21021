#include "Platform/MainQueue.h"

#include <QCoreApplication>
#include <QThread>

#include <vector>

namespace tandrel {

void MainQueue::async(std::function<void()> work)
{
    QCoreApplication* app = QCoreApplication::instance();
    Q_ASSERT_X(app, "MainQueue::async", "needs a QCoreApplication");
    // Queued invocations on one receiver are delivered in posting order.
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

bool MainQueue::isMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void DispatchGroup::enter()
{
    std::lock_guard guard(m_lock);
    ++m_outstanding;
}

void DispatchGroup::leave()
{
    std::unique_lock lock(m_lock);
    Q_ASSERT_X(m_outstanding > 0, "DispatchGroup::leave", "leave without enter");
    if (m_outstanding > 0) {
        --m_outstanding;
    }
    fireIfIdleLocked(lock);
}

void DispatchGroup::notify(std::function<void()> work)
{
    std::unique_lock lock(m_lock);
    m_waiting.push_back(std::move(work));
    fireIfIdleLocked(lock);
}

void DispatchGroup::fireIfIdleLocked(std::unique_lock<std::mutex>& lock)
{
    if (m_outstanding != 0 || m_waiting.empty()) {
        return;
    }
    std::vector<std::function<void()>> ready;
    ready.swap(m_waiting);
    lock.unlock();
    for (auto& work : ready) {
        MainQueue::async(std::move(work));
    }
}

}  // namespace tandrel
