#include "Platform/NetworkExtension/NEVPNManager.h"

#include "Platform/MainQueue.h"
#include "Platform/NetworkExtension/UnavailableVPNBackend.h"
#include "Platform/NotificationCenter.h"

namespace tandrel {

namespace {

// The system refuses to store a configuration without a protocol; storing the unloaded
// fields of a fresh manager would otherwise wipe the saved configuration.
Error configurationInvalidError()
{
    return Error::withDescription(QStringLiteral("NEVPNErrorDomain"), 1,
                                  QStringLiteral("The VPN configuration is invalid: it has no protocol."));
}

}  // namespace

NEVPNStatus NEVPNConnection::status() const
{
    return m_manager.backend()->status();
}

std::optional<Error> NEVPNConnection::startVPNTunnel()
{
    return m_manager.backend()->start();
}

void NEVPNConnection::stopVPNTunnel()
{
    m_manager.backend()->stop();
}

NEVPNManager& NEVPNManager::shared()
{
    static NEVPNManager manager;
    return manager;
}

NEVPNManager::NEVPNManager()
{
    attach(NEVPNBackend::makeDefault());
}

void NEVPNManager::setStatusObserver(NEVPNBackend::StatusHandler observer)
{
    std::lock_guard guard(m_lock);
    m_statusObserver = std::move(observer);
}

void NEVPNManager::setBackend(std::shared_ptr<NEVPNBackend> backend)
{
    assertMainThread();
    attach(backend);
    protocolConfiguration.reset();
    onDemandRules.clear();
    isOnDemandEnabled = false;
    localizedDescription.clear();
    isEnabled = false;
}

std::shared_ptr<NEVPNBackend> NEVPNManager::backend() const
{
    std::lock_guard guard(m_lock);
    return m_backend;
}

void NEVPNManager::attach(const std::shared_ptr<NEVPNBackend>& backend)
{
    std::shared_ptr<NEVPNBackend> next = backend ? backend : std::make_shared<UnavailableVPNBackend>();
    std::shared_ptr<NEVPNBackend> previous;
    {
        std::lock_guard guard(m_lock);
        previous = std::exchange(m_backend, next);
    }
    if (previous) {
        // A back end that is no longer ours must not speak for our connection.
        previous->setStatusHandler({});
    }
    next->setStatusHandler([this](NEVPNStatus status, const QString& reason) {
        NEVPNBackend::StatusHandler observer;
        {
            std::lock_guard guard(m_lock);
            observer = m_statusObserver;
        }
        if (observer) {
            observer(status, reason);
        }
        QVariantMap userInfo;
        if (!reason.isEmpty()) {
            userInfo.insert(NEVPNStatusReasonKey, reason);
        }
        NotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, &m_connection, userInfo);
    });
}

void NEVPNManager::loadFromPreferences(Completion completion)
{
    std::shared_ptr<NEVPNBackend> loadingFrom = backend();
    loadingFrom->load([this, loadingFrom, completion = std::move(completion)](
                          std::optional<NEVPNConfiguration> configuration, std::optional<Error> error) {
        auto apply = [this, loadingFrom, completion, configuration = std::move(configuration), error]() mutable {
            if (!error) {
                // An answer from a back end that has since been replaced describes nothing of ours.
                if (backend() == loadingFrom) {
                    NEVPNConfiguration loaded = configuration.value_or(NEVPNConfiguration{});
                    protocolConfiguration = std::move(loaded.protocolConfiguration);
                    onDemandRules = std::move(loaded.onDemandRules);
                    isOnDemandEnabled = loaded.isOnDemandEnabled;
                    localizedDescription = std::move(loaded.localizedDescription);
                    isEnabled = loaded.isEnabled;
                }
            }
            if (completion) {
                completion(error);
            }
        };
        // The fields belong to the main thread, where the tunnel set-up writes them; an
        // answer from the service's own thread must not write them at the same moment.
        if (MainQueue::isMainThread()) {
            apply();
        } else {
            MainQueue::async(std::move(apply));
        }
    });
}

void NEVPNManager::saveToPreferences(Completion completion)
{
    assertMainThread();
    NEVPNConfiguration configuration;
    configuration.protocolConfiguration = protocolConfiguration;
    configuration.onDemandRules = onDemandRules;
    configuration.isOnDemandEnabled = isOnDemandEnabled;
    configuration.localizedDescription = localizedDescription;
    configuration.isEnabled = isEnabled;
    const std::shared_ptr<NEVPNBackend> savingTo = backend();
    if (!configuration.protocolConfiguration) {
        // Like the back ends, answer later and never inside the caller's own call.
        MainQueue::async([completion = std::move(completion)] {
            if (completion) {
                completion(configurationInvalidError());
            }
        });
        return;
    }
    savingTo->save(configuration, [completion = std::move(completion)](std::optional<Error> error) {
        if (completion) {
            completion(error);
        }
    });
}

void NEVPNManager::removeFromPreferences(Completion completion)
{
    backend()->remove([completion = std::move(completion)](std::optional<Error> error) {
        if (completion) {
            completion(error);
        }
    });
}

}  // namespace tandrel
