#pragma once

#include "Classes/Preferences.h"
#include "DemoBackend.h"
#include "Network/Client.h"
#include "Platform/Keychain.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/StandIn/StandInVPNBackend.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UserDefaults.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>

namespace tandrel::testing {

// The parts the controllers talk to, real and private to one test: the stand-in backend on
// a loopback port, a keychain file, the stand-in VPN service on a file, and no stored settings.
class ServiceEnvironment {
public:
    ServiceEnvironment()
    {
        if (!backend.listen(0)) {
            qFatal("stand-in backend: %s", qPrintable(backend.errorString()));
        }
        Client::setServerPath(backend.apiBase());
        KeychainStore::setSystem(KeychainStore::makeFileStore(folder.filePath(QStringLiteral("keychain"))));
        vpn = std::make_shared<StandInVPNBackend>(folder.filePath(QStringLiteral("vpn-configuration.json")));
        vpn->setStepDelay(std::chrono::milliseconds(20));
        NEVPNManager::shared().setBackend(vpn);
        for (const char* key : {"configId", "CountryConnected", "KillSwitch"}) {
            UserDefaults::standard().removeObject(QString::fromLatin1(key));
        }
    }

    // Stores a fresh token and the e-mail of an account, as a log-in would.
    void signIn(const QString& email = demo::DemoBackend::demoEmail)
    {
        Preferences::setToken(backend.issueToken(email));
        Preferences::setEmail(email);
    }

    // The route answers `body` (status 200) until cleared; an empty body drops the connection.
    void answer(const char* method, const QString& path, const QByteArray& body)
    {
        demo::Fault fault;
        fault.dropConnection = body.isEmpty();
        if (!body.isEmpty()) {
            fault.body = body;
        }
        backend.setFault(method, path, fault);
    }

    qsizetype requestCount(const char* method, const QString& path) const
    {
        return backend.requestsTo(method, path).size();
    }

    QTemporaryDir folder;
    demo::DemoBackend backend;
    std::shared_ptr<StandInVPNBackend> vpn;
};

// Counts posts of one notification name while it lives.
class NotificationCounter {
public:
    explicit NotificationCounter(const QString& name)
    {
        m_token = NotificationCenter::defaultCenter().addObserver(
            name, nullptr, NotificationCenter::Delivery::postingThread, [this](const Notification&) { ++m_count; });
    }
    ~NotificationCounter() { NotificationCenter::defaultCenter().removeObserver(m_token); }
    int count() const { return m_count; }

private:
    NotificationCenter::Token m_token = 0;
    std::atomic<int> m_count{0};
};

}  // namespace tandrel::testing
