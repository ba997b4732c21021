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

bool MainQueue::isMainThreadOrNoApplication()
{
    return !QCoreApplication::instance() || isMainThread();
}

void DispatchGroup::enter()
{
    assertMainThread();
    ++m_outstanding;
}

void DispatchGroup::leave()
{
    assertMainThread();
    Q_ASSERT_X(m_outstanding > 0, "DispatchGroup::leave", "leave without enter");
    if (m_outstanding > 0) {
        --m_outstanding;
    }
    fireIfIdle();
}

void DispatchGroup::notify(std::function<void()> work)
{
    assertMainThread();
    m_waiting.push_back(std::move(work));
    fireIfIdle();
}

void DispatchGroup::fireIfIdle()
{
    if (m_outstanding != 0 || m_waiting.empty()) {
        return;
    }
    std::vector<std::function<void()>> ready;
    ready.swap(m_waiting);
    for (auto& work : ready) {
        MainQueue::async(std::move(work));
    }
}

}  // namespace tandrel
