#pragma once

#include "Platform/NetworkExtension/NEVPNProtocolIKEv2.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <QStringList>
#include <QtTest>

#include <unistd.h>
#include <csignal>
#include <memory>

namespace tandrel::testing {

// What tunnel-env.sh set up around the test: a strongSwan responder, NetworkManager with
// its strongSwan plugin on a private system bus, and a host on a LAN next to the client.
struct TunnelEnvironment {
    static QString variable(const char* name) { return qEnvironmentVariable(name); }
    static bool present() { return !variable("TANDREL_E2E_WORK").isEmpty(); }
    static QString server() { return variable("TANDREL_E2E_SERVER"); }  // the responder's name
    // Another name of the responder, whose first address nothing answers.
    static QString dualServer() { return variable("TANDREL_E2E_DUAL_SERVER"); }
    static QString addressBehindServer() { return variable("TANDREL_E2E_BEHIND"); }
    static QString lanHost() { return variable("TANDREL_E2E_LAN_HOST"); }
    static QString eapUser() { return variable("TANDREL_E2E_EAP_USER"); }
    static QString eapPassword() { return variable("TANDREL_E2E_EAP_PASSWORD"); }
    static QString profileFolder() { return variable("TANDREL_E2E_WORK") + QStringLiteral("/nm/conns"); }
    static QString serverAddress() { return variable("TANDREL_E2E_SERVER_ADDRESS"); }
    static QString gateway() { return variable("TANDREL_E2E_GATEWAY"); }  // the uplink's router and resolver
    static QString outsideHost4() { return variable("TANDREL_E2E_OUTSIDE4"); }
    static QString outsideHost6() { return variable("TANDREL_E2E_OUTSIDE6"); }

    // What the tunnel manager builds on connect, with the given switches.
    static NEVPNProtocolIKEv2 configuration(const QByteArray& passwordReference, bool killSwitch,
                                            bool excludeLocalNetworks)
    {
        NEVPNProtocolIKEv2 protocol;
        protocol.authenticationMethod = NEVPNIKEAuthenticationMethod::none;
        protocol.useExtendedAuthentication = true;
        protocol.serverAddress = server();
        protocol.remoteIdentifier = server();
        protocol.username = eapUser();
        protocol.passwordReference = passwordReference;
        NEVPNIKEv2SecurityAssociationParameters parameters;
        parameters.encryptionAlgorithm = NEVPNIKEv2EncryptionAlgorithm::algorithmAES256GCM;
        parameters.integrityAlgorithm = NEVPNIKEv2IntegrityAlgorithm::SHA384;
        parameters.diffieHellmanGroup = NEVPNIKEv2DiffieHellmanGroup::group31;
        protocol.IKESecurityAssociationParameters = parameters;
        protocol.childSecurityAssociationParameters = parameters;
        protocol.enablePFS = true;
        protocol.includeAllNetworks = killSwitch;
        protocol.excludeLocalNetworks = excludeLocalNetworks;
        return protocol;
    }

    // The responder stops answering anything (as if unreachable), then resumes.
    static void freezeResponder() { QProcess::execute(variable("TANDREL_E2E_RESPONDER_FREEZE"), {}); }
    static void thawResponder() { QProcess::execute(variable("TANDREL_E2E_RESPONDER_THAW"), {}); }

    // swanctl against the responder; its output.
    static QString responder(const QStringList& arguments)
    {
        QProcess process;
        process.start(variable("TANDREL_E2E_RESPONDER"), arguments);
        process.waitForFinished(10000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // From now on the responder knows one EAP account: this user with this password.
    static bool responderAccepts(const QString& user, const QString& password)
    {
        QProcess process;
        process.start(variable("TANDREL_E2E_RESPONDER_ACCEPTS"), {user, password});
        return process.waitForFinished(10000) && process.exitCode() == 0;
    }

    // From now on the responder shows a certificate for its name from a CA that the client
    // trusts (true) or from one it does not (false).
    static bool responderPresentsTrustedCertificate(bool trusted)
    {
        QProcess process;
        process.start(variable("TANDREL_E2E_RESPONDER_PRESENTS"),
                      {trusted ? QStringLiteral("trusted") : QStringLiteral("untrusted")});
        return process.waitForFinished(10000) && process.exitCode() == 0;
    }

    static bool ping(const QString& host, int count = 2)
    {
        QProcess process;
        process.start(QStringLiteral("ping"),
                      {QStringLiteral("-c"), QString::number(count), QStringLiteral("-i"), QStringLiteral("0.2"),
                       QStringLiteral("-W"), QStringLiteral("1"), QStringLiteral("-q"), host});
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    // NetworkManager stops answering anything (SIGSTOP) for this long, then goes on; the
    // returned flag turns true once it has been let go.
    static std::shared_ptr<bool> stopNetworkManagerFor(int milliseconds)
    {
        const pid_t pid = networkManagerPid();
        auto resumed = std::make_shared<bool>(false);
        if (pid <= 1 || ::kill(pid, SIGSTOP) != 0) {
            return resumed;
        }
        QTimer::singleShot(milliseconds, [pid, resumed] {
            ::kill(pid, SIGCONT);
            *resumed = true;
        });
        return resumed;
    }

    // Kills NetworkManager's strongSwan daemon (charon-nm) by its PID, as a crash would.
    static bool killVPNDaemon()
    {
        const QDBusReply<uint> pid = QDBusConnection::systemBus().interface()->servicePid(
            QStringLiteral("org.freedesktop.NetworkManager.strongswan"));
        return pid.isValid() && pid.value() > 1 && ::kill(static_cast<pid_t>(pid.value()), SIGKILL) == 0;
    }

    // The kernel's routing rules of one family ("-4" or "-6").
    static QString routingRules(const QString& family)
    {
        QProcess rules;
        rules.start(QStringLiteral("ip"), {family, QStringLiteral("rule")});
        rules.waitForFinished();
        return QString::fromUtf8(rules.readAllStandardOutput());
    }

    // The guard's table, should one be in place.
    static QString guardTable()
    {
        QProcess nft;
        nft.start(QStringLiteral("nft"), {QStringLiteral("list"), QStringLiteral("table"), QStringLiteral("inet"),
                                          QStringLiteral("tandrel_guard")});
        nft.waitForFinished();
        return nft.exitCode() == 0 ? QString::fromUtf8(nft.readAllStandardOutput()) : QString();
    }

    // Whether something of ours holds traffic back: the routing-rule blocks on both
    // families, or the guard's table.
    static bool guardInPlace()
    {
        return (routingRules(QStringLiteral("-4")).contains(QStringLiteral("prohibit")) &&
                routingRules(QStringLiteral("-6")).contains(QStringLiteral("prohibit"))) ||
               !guardTable().isEmpty();
    }
    static bool nothingHeldBack()
    {
        return !routingRules(QStringLiteral("-4")).contains(QStringLiteral("prohibit")) &&
               !routingRules(QStringLiteral("-6")).contains(QStringLiteral("prohibit")) && guardTable().isEmpty();
    }

    // NetworkManager's process (tunnel-env.sh notes it down, also after a restart).
    static pid_t networkManagerPid()
    {
        QFile file(variable("TANDREL_E2E_WORK") + QStringLiteral("/nm/running.pid"));
        return file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toInt()) : 0;
    }

    // Every saved NetworkManager profile, as the files NetworkManager wrote.
    static QString savedProfiles()
    {
        QString text;
        const QDir folder(profileFolder());
        for (const QString& name : folder.entryList(QDir::Files)) {
            QFile file(folder.filePath(name));
            if (file.open(QIODevice::ReadOnly)) {
                text += QString::fromUtf8(file.readAll());
            }
        }
        return text;
    }
};

}  // namespace tandrel::testing

// Outside the tunnel set-up (not root, no namespaces) there is nothing to test against.
#define TANDREL_REQUIRE_TUNNEL_ENVIRONMENT()                                                   \
    do {                                                                                       \
        if (!tandrel::testing::TunnelEnvironment::present()) {                                 \
            QSKIP("needs tunnel-env.sh around it (root, network namespaces, NetworkManager)"); \
        }                                                                                      \
    } while (false)
