#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tandrel {

// An object whose published members announce every assignment through one signal, so a
// screen can schedule a redraw. The signal fires before the new value is stored.
class ObservableObject : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

Q_SIGNALS:
    void objectWillChange();
};

// Ends a subscription when cancelled or destroyed.
class Cancellable {
public:
    Cancellable() = default;
    explicit Cancellable(std::function<void()> cancel) : m_cancel(std::move(cancel)) {}
    Cancellable(Cancellable&& other) noexcept : m_cancel(std::exchange(other.m_cancel, nullptr)) {}
    Cancellable& operator=(Cancellable&& other) noexcept
    {
        if (this != &other) {
            cancel();
            m_cancel = std::exchange(other.m_cancel, nullptr);
        }
        return *this;
    }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    ~Cancellable() { cancel(); }

    void cancel()
    {
        if (auto cancel = std::exchange(m_cancel, nullptr)) {
            cancel();
        }
    }

private:
    std::function<void()> m_cancel;
};

// A published property. Every assignment, also of the value it already holds, first
// emits the owner's objectWillChange, then hands the new value to every subscriber, and
// only then takes effect, so a subscriber still reads the old value from the property.
template <typename T>
class Published {
public:
    using Subscriber = std::function<void(const T&)>;

    explicit Published(ObservableObject* owner, T initial = T{}) : m_owner(owner), m_value(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return m_value; }
    const T& operator()() const { return m_value; }
    operator const T&() const { return m_value; }  // NOLINT(google-explicit-constructor)

    Published& operator=(T value)
    {
        set(std::move(value));
        return *this;
    }

    void set(T value)
    {
        if (m_owner) {
            Q_EMIT m_owner->objectWillChange();
        }
        // Copy the list: a subscriber may subscribe or cancel while being called.
        const auto subscribers = *m_subscribers;
        for (const auto& subscriber : subscribers) {
            if (subscriber->active) {
                subscriber->receive(value);
            }
        }
        m_value = std::move(value);
    }

    // Delivers the current value at once, then every assignment until cancelled.
    [[nodiscard]] Cancellable sink(Subscriber receive)
    {
        auto entry = std::make_shared<Entry>(Entry{std::move(receive), true});
        m_subscribers->push_back(entry);
        entry->receive(m_value);
        std::weak_ptr<std::vector<std::shared_ptr<Entry>>> list = m_subscribers;
        return Cancellable([list, entry] {
            entry->active = false;
            if (auto subscribers = list.lock()) {
                std::erase(*subscribers, entry);
            }
        });
    }

private:
    struct Entry {
        Subscriber receive;
        bool active;
    };

    ObservableObject* m_owner;
    T m_value;
    std::shared_ptr<std::vector<std::shared_ptr<Entry>>> m_subscribers =
        std::make_shared<std::vector<std::shared_ptr<Entry>>>();
};

}  // namespace tandrel
