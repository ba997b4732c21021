#pragma once

#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NotificationCenter.h"

#include <QList>
#include <QString>
#include <QThread>

#include <mutex>

namespace tandrel::testing {

// Every status notification of the shared connection, as it was posted.
class StatusRecorder {
public:
    struct Post {
        NEVPNStatus status;
        QString reason;
        const void* object;
        QThread* thread;
    };

    StatusRecorder()
    {
        m_token = NotificationCenter::defaultCenter().addObserver(
            NEVPNStatusDidChangeNotification, nullptr, NotificationCenter::Delivery::postingThread,
            [this](const Notification& notification) {
                const auto* connection = static_cast<const NEVPNConnection*>(notification.object);
                std::lock_guard guard(m_lock);
                m_posts.append({connection->status(), notification.userInfo.value(NEVPNStatusReasonKey).toString(),
                                notification.object, QThread::currentThread()});
            });
    }
    ~StatusRecorder() { NotificationCenter::defaultCenter().removeObserver(m_token); }

    QList<Post> posts() const
    {
        std::lock_guard guard(m_lock);
        return m_posts;
    }
    QList<NEVPNStatus> statuses() const
    {
        QList<NEVPNStatus> result;
        for (const Post& post : posts()) {
            result.append(post.status);
        }
        return result;
    }
    void clear()
    {
        std::lock_guard guard(m_lock);
        m_posts.clear();
    }

private:
    mutable std::mutex m_lock;
    QList<Post> m_posts;
    NotificationCenter::Token m_token = 0;
};

}  // namespace tandrel::testing
