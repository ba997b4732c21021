#include "Platform/NotificationCenter.h"

#include "Platform/MainQueue.h"

#include <algorithm>

namespace tandrel {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, const void* object, Delivery delivery,
                                                          Observer observer)
{
    std::lock_guard guard(m_lock);
    const Token token = m_nextToken++;
    m_registrations.push_back({token, name, object, delivery, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard guard(m_lock);
    std::erase_if(m_registrations, [token](const Registration& r) { return r.token == token; });
}

void NotificationCenter::post(const QString& name, const void* object, const QVariantMap& userInfo)
{
    // Deliver from a snapshot taken under the lock and run observers outside it, so an
    // observer may post, observe or remove without deadlocking or skipping its peers.
    std::vector<Registration> matching;
    {
        std::lock_guard guard(m_lock);
        for (const Registration& r : m_registrations) {
            if (r.name == name && (r.object == nullptr || r.object == object)) {
                matching.push_back(r);
            }
        }
    }
    const Notification notification{name, object, userInfo};
    for (const Registration& r : matching) {
        if (r.delivery == Delivery::mainQueue) {
            // Removing the observer (or the center) before the main queue gets to it cancels the
            // delivery: its owner may be gone by then.
            MainQueue::async([observer = std::weak_ptr<Observer>(r.observer), notification] {
                if (const std::shared_ptr<Observer> alive = observer.lock()) {
                    (*alive)(notification);
                }
            });
        } else {
            (*r.observer)(notification);
        }
    }
}

}  // namespace tandrel
