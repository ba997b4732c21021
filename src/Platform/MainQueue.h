#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace tandrel {

// The main queue is the Qt event loop of the application object's thread.
namespace MainQueue {
// Runs `work` later on the main thread. Calls made from one thread run in the order they
// were made (FIFO), also when made from another thread. Needs a QCoreApplication.
void async(std::function<void()> work);
// True when called on the main (application) thread.
bool isMainThread();
}  // namespace MainQueue

// A count of outstanding work items; `notify` runs its block on the main queue once every
// `enter` has been matched by a `leave`.
class DispatchGroup {
public:
    void enter();
    void leave();
    // Runs `work` on the main queue when the count is (or next drops to) zero.
    void notify(std::function<void()> work);

private:
    void fireIfIdleLocked(std::unique_lock<std::mutex>& lock);

    std::mutex m_lock;
    int m_outstanding = 0;
    std::vector<std::function<void()>> m_waiting;
};

}  // namespace tandrel
