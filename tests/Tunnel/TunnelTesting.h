#pragma once

#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/NotificationCenter.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QThread>

#include <unistd.h>
#include <cstdio>
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

// Everything written to standard output while it lives (printed lines go there).
class StdoutCapture {
public:
    StdoutCapture()
    {
        m_file.open();
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    QStringList lines()
    {
        std::fflush(stdout);
        QFile reader(m_file.fileName());
        reader.open(QIODevice::ReadOnly);
        QStringList result = QString::fromUtf8(reader.readAll()).split(QLatin1Char('\n'));
        if (!result.isEmpty() && result.last().isEmpty()) {
            result.removeLast();
        }
        return result;
    }

    void restore()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
            m_saved = -1;
        }
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

}  // namespace tandrel::testing
