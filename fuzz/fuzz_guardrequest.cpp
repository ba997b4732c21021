// Feeds arbitrary bytes to the traffic guard helper's checks of a caller's request, and to
// its reading of a table listing. A caller of the root helper chooses every string and
// number; whatever passes the checks is printed into nft input, which must then carry
// nothing of the caller's text but addresses we printed ourselves.
#include "TrafficGuard/GuardRuleSet.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tandrel::guard;
    if (size < 2) {
        return 0;
    }
    const QByteArray input(reinterpret_cast<const char*>(data) + 2, static_cast<qsizetype>(size - 2));
    (void)readListing(input);
    // Lines are addresses; a line "a/n" is a local network.
    GuardRequest request;
    request.holdBack = data[0] & 1;
    request.blockIPv6 = data[0] & 2;
    request.excludeLocalNetworks = data[0] & 4;
    for (const QByteArray& line : input.split('\n')) {
        const qsizetype slash = line.lastIndexOf('/');
        if (slash >= 0) {
            request.localNetworks.append({QString::fromUtf8(line.first(slash)), int(qint8(data[1]))});
        } else {
            request.serverAddresses.append(QString::fromUtf8(line));
        }
    }
    const std::variant<GuardSettings, QString> checked = validate(request);
    if (const GuardSettings* settings = std::get_if<GuardSettings>(&checked)) {
        const QString text = ruleSetFor(*settings);
        // Only our own quotes and braces: the caller cannot end a set or start a command.
        if (text.count(QLatin1Char('"')) != ruleSetFor(GuardSettings{{}, {}, settings->holdBack, settings->blockIPv6,
                                                                     settings->excludeLocalNetworks})
                                                .count(QLatin1Char('"')) ||
            text.contains(QLatin1Char(';') + QStringLiteral(" flush"))) {
            std::abort();
        }
    }
    return 0;
}
