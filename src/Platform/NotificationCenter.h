#pragma once

#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tandrel {

struct Notification {
    QString name;
    // The posting object, compared by identity only; nullptr when posted without one.
    const void* object = nullptr;
    QVariantMap userInfo;
};

// Observers by name with an optional object filter. An observer registered without a
// queue runs synchronously on the posting thread; one registered with the main queue runs
// later on the main thread. Observers of one post run in registration order.
class NotificationCenter {
public:
    enum class Delivery { postingThread, mainQueue };
    using Observer = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    // `NotificationCenter.default` (`default` is a C++ keyword).
    static NotificationCenter& defaultCenter();

    // `object` == nullptr observes posts from any object.
    Token addObserver(const QString& name, const void* object, Delivery delivery, Observer observer);
    void removeObserver(Token token);
    void post(const QString& name, const void* object = nullptr, const QVariantMap& userInfo = {});

private:
    struct Registration {
        Token token;
        QString name;
        const void* object;
        Delivery delivery;
        std::shared_ptr<Observer> observer;
    };

    std::mutex m_lock;
    Token m_nextToken = 1;
    std::vector<Registration> m_registrations;
};

}  // namespace tandrel
