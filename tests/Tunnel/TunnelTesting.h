#pragma once

#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NotificationCenter.h"

#include <QList>
#include <QString>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

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

// Runs an operation that reports through a completion and waits, bounded, for it; a
// completion that never comes fails the test.
template <typename T>
T awaitCompletion(const std::function<void(std::function<void(T)>)>& start)
{
    auto result = std::make_shared<std::optional<T>>();
    start([result](T value) { *result = std::move(value); });
    if (!QTest::qWaitFor([&] { return result->has_value(); }, 5000)) {
        QTest::qFail("the completion never ran", __FILE__, __LINE__);
        return T{};
    }
    return **result;
}

}  // namespace tandrel::testing
