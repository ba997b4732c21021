#pragma once

#include <QByteArray>
#include <QString>

namespace tandrel::guard {

struct NftOutcome {
    bool ok = false;
    QByteArray output;  // what a listing printed
    QString error;      // nft's own words when it refused
};

// Runs nft commands in this process through libnftables: one buffer is one netlink batch,
// so the kernel takes all of it or nothing. `json` asks listings for nft's JSON form.
NftOutcome runNft(const QString& commands, bool json = false);

}  // namespace tandrel::guard
