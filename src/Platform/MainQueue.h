#pragma once

#include <QtGlobal>

#include <functional>
#include <vector>

namespace tandrel {

// The main queue is the Qt event loop of the application object's thread.
namespace MainQueue {
// Runs `work` later on the main thread. Calls made from one thread run in the order they
// were made (FIFO), also when made from another thread. Needs a QCoreApplication.
void async(std::function<void()> work);
// True when called on the main (application) thread.
bool isMainThread();
// True on the main thread, and anywhere before a QCoreApplication exists (then there is
// no main queue yet and nothing of ours runs on another thread).
bool isMainThreadOrNoApplication();
}  // namespace MainQueue

// Marks code that relies on the one main thread (state without a lock, Qt objects that
// live there). Checked in debug builds; a release build pays nothing.
inline void assertMainThread()
{
    Q_ASSERT_X(MainQueue::isMainThreadOrNoApplication(), "assertMainThread", "called off the main thread");
}

// A count of outstanding work items; `notify` runs its block on the main queue once every
// `enter` has been matched by a `leave`. Used on the main thread only.
class DispatchGroup {
public:
    void enter();
    void leave();
    // Runs `work` on the main queue when the count is (or next drops to) zero.
    void notify(std::function<void()> work);

private:
    void fireIfIdle();

    int m_outstanding = 0;
    std::vector<std::function<void()>> m_waiting;
};

}  // namespace tandrel
