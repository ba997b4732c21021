#include "TrafficGuard/Nftables.h"

#include <nftables/libnftables.h>

#include <memory>

namespace tandrel::guard {

NftOutcome runNft(const QString& commands, bool json)
{
    const std::unique_ptr<nft_ctx, decltype(&nft_ctx_free)> context(nft_ctx_new(NFT_CTX_DEFAULT), &nft_ctx_free);
    if (!context) {
        return {false, {}, QStringLiteral("libnftables could not start")};
    }
    nft_ctx_buffer_output(context.get());
    nft_ctx_buffer_error(context.get());
    if (json) {
        nft_ctx_output_set_flags(context.get(), NFT_CTX_OUTPUT_JSON);
    }
    const int result = nft_run_cmd_from_buffer(context.get(), commands.toUtf8().constData());
    NftOutcome outcome;
    outcome.ok = result == 0;
    outcome.output = QByteArray(nft_ctx_get_output_buffer(context.get()));
    outcome.error = QString::fromUtf8(nft_ctx_get_error_buffer(context.get())).trimmed();
    return outcome;
}

}  // namespace tandrel::guard
