#include "Platform/NetworkExtension/UnavailableVPNBackend.h"

#include "Platform/MainQueue.h"

namespace tandrel {

UnavailableVPNBackend::UnavailableVPNBackend(QString reason) : m_reason(std::move(reason)) {}

Error UnavailableVPNBackend::error() const
{
    return Error::withDescription(errorDomain, 1, m_reason);
}

void UnavailableVPNBackend::load(LoadCompletion completion)
{
    MainQueue::async([completion = std::move(completion)] { completion(std::nullopt, std::nullopt); });
}

void UnavailableVPNBackend::save(const NEVPNConfiguration&, Completion completion)
{
    // Claiming to have stored a configuration that no daemon will ever see would mislead.
    MainQueue::async([completion = std::move(completion), error = error()] { completion(error); });
}

void UnavailableVPNBackend::remove(Completion completion)
{
    MainQueue::async([completion = std::move(completion)] { completion(std::nullopt); });
}

std::optional<Error> UnavailableVPNBackend::start()
{
    return error();
}

}  // namespace tandrel
