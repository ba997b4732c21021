#pragma once

#include <QtGlobal>

namespace tandrel {

// The signed-in session, as a number that log-out moves on. Work that outlives a step of
// its own (a connect chain waiting on the backend or the VPN service, a late backend answer)
// takes the number when it starts and checks it before it stores or starts anything, so a
// log-out in between always wins.
class Session {
public:
    Session() = delete;

    static quint64 current();
    // The session ends: every piece of work that started before this call is stale.
    static void end();
    static bool isCurrent(quint64 session) { return session == current(); }
};

}  // namespace tandrel
