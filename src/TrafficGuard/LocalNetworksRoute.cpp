#include "TrafficGuard/LocalNetworksRoute.h"

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tandrel::guard {

namespace {

// Ahead of the tunnel's table (220), behind the kernel's local table (0).
constexpr uint32_t kPriority = 110;

struct RuleRequest {
    nlmsghdr header;
    fib_rule_hdr rule;
    char attributes[3 * RTA_SPACE(sizeof(uint32_t))];
};

void addAttribute(RuleRequest& request, unsigned short type, uint32_t value)
{
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = RTA_LENGTH(sizeof value);
    std::memcpy(RTA_DATA(attribute), &value, sizeof value);
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

// One rule of one family added (refused as a duplicate when it is there) or deleted
// (refused when it is not); 0, or the kernel's errno.
int change(int socket, int family, bool add)
{
    RuleRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(fib_rule_hdr));
    request.header.nlmsg_type = add ? RTM_NEWRULE : RTM_DELRULE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    request.rule.family = static_cast<unsigned char>(family);
    request.rule.table = RT_TABLE_MAIN;
    request.rule.action = FR_ACT_TO_TBL;
    addAttribute(request, FRA_PRIORITY, kPriority);
    addAttribute(request, FRA_TABLE, RT_TABLE_MAIN);
    addAttribute(request, FRA_SUPPRESS_PREFIXLEN, 0);
    if (::send(socket, &request, request.header.nlmsg_len, 0) < 0) {
        return errno;
    }
    char answer[512];
    const ssize_t length = ::recv(socket, answer, sizeof answer, 0);
    if (length < ssize_t(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
        return length < 0 ? errno : EIO;
    }
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    if (reply->nlmsg_type != NLMSG_ERROR) {
        return EIO;
    }
    return -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
}

}  // namespace

QString keepLocalNetworksOutOfTheTunnel(bool wanted)
{
    const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket < 0) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    QString failure;
    for (const int family : {AF_INET, AF_INET6}) {
        const int error = change(socket, family, wanted);
        // Already as asked: there when added, gone when deleted.
        if (error != 0 && error != (wanted ? EEXIST : ENOENT)) {
            failure = QString::fromLocal8Bit(std::strerror(error));
        }
    }
    ::close(socket);
    return failure;
}

}  // namespace tandrel::guard
