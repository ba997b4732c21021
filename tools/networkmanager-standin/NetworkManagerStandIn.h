#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

namespace tandrel::standin {

// Enough of NetworkManager, on a bus of our own, for the tunnel's back end to connect
// against: the settings and their connections, one wired device with its running
// configuration, the agent manager, and an activation that goes up to VPN "activated".
// Every call is answered after a set delay, or never. It runs on a thread of its own, so
// a caller that waits on an answer holds up neither the delay nor the answer.
class NetworkManagerStandIn {
public:
    static constexpr int kNever = -1;

    // Connects to the bus at `busAddress` and takes NetworkManager's name there.
    // `otherProfiles` wired profiles (at least one: the device's) stand for the user's
    // own, which every search for the application's profile has to read.
    NetworkManagerStandIn(const QString& busAddress, int otherProfiles);
    ~NetworkManagerStandIn();
    NetworkManagerStandIn(const NetworkManagerStandIn&) = delete;
    NetworkManagerStandIn& operator=(const NetworkManagerStandIn&) = delete;

    // Whether it holds NetworkManager's name on the bus.
    bool isRunning() const { return m_running; }

    // How long each call waits for its answer from now on (milliseconds, or kNever).
    void setAnswerDelay(int ms);
    // From `ms` milliseconds on, every call still waiting and each new one is refused at
    // once: a caller blocked on an answer that would never come is let go, so a run ends.
    void refuseAllAfter(int ms);
    // Back to the start: the other profiles only, no tunnel, the device's configuration as
    // it was, no refusal, the call log empty. Calls still waiting are refused.
    void reset();

    // Each call as "interface.member", in the order they arrived.
    QStringList calls() const;
    // The VPN connections that are up (VPN state "activated").
    int tunnelsUp() const;

private:
    class Responder;
    QThread m_thread;
    Responder* m_responder = nullptr;
    bool m_running = false;
};

}  // namespace tandrel::standin
