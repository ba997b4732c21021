#include "Classes/Session.h"

#include <atomic>

namespace tandrel {

namespace {
// Read from the VPN service's threads too.
std::atomic<quint64> generation{1};
}  // namespace

quint64 Session::current()
{
    return generation.load();
}

void Session::end()
{
    generation.fetch_add(1);
}

}  // namespace tandrel
