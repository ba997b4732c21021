// The tunnel's decisions, one row each: a run of events, then what the machine asks for
// after the last of them and the state it is left in. No NetworkManager, no root, no waiting.
#include "Platform/NetworkExtension/TunnelMachine.h"

#include <QtTest>

using namespace tandrel;

namespace {

const QString kName = QStringLiteral("vpn.example.test");

// One event in a row's script, e.g. "resolved 192.0.2.1 192.0.2.3", "vpn /a/1 6 0".
// Answers take the ticket of the machine's latest request ("stale": one it moved on from).
TunnelEvent parse(const QString& line, quint64 ticket)
{
    using Kind = TunnelEvent::Kind;
    QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString verb = words.takeFirst();
    const bool stale = !words.isEmpty() && words.first() == QLatin1String("stale");
    if (stale) {
        words.removeFirst();
    }
    TunnelEvent event;
    event.ticket = stale ? ticket - 1 : ticket;
    const QString rest = words.join(QLatin1Char(' '));
    if (verb == QLatin1String("config")) {
        event.kind = Kind::configured;
        event.configuration = {.present = !words.contains(QStringLiteral("absent")),
                               .server = kName,
                               .holdBack = words.contains(QStringLiteral("hold")),
                               .excludeLocalNetworks = words.contains(QStringLiteral("lan")),
                               .onDemand = words.contains(QStringLiteral("demand"))};
        for (const QString& word : words) {
            if (word.startsWith(QLatin1String("server="))) {
                event.configuration.server = word.mid(7);
            } else if (word.startsWith(QLatin1String("pinned="))) {
                event.configuration.pinnedAddress = word.mid(7);
            }
        }
    } else if (verb == QLatin1String("resolved")) {
        event.kind = Kind::resolved;
        event.addresses = words;
    } else if (verb == QLatin1String("guardSet") || verb == QLatin1String("pinned")) {
        event.kind = verb == QLatin1String("pinned") ? Kind::pinned : Kind::guardSet;
        event.text = rest;  // why it failed, if it did
    } else if (verb == QLatin1String("answered")) {
        event.kind = Kind::activateAnswered;
        (words.value(0).startsWith(QLatin1Char('/')) ? event.path : event.text) = rest;
    } else if (verb == QLatin1String("vpn") || verb == QLatin1String("active") || verb == QLatin1String("adopted")) {
        event.kind = verb == QLatin1String("vpn") ? Kind::vpnState : verb == QLatin1String("active") ? Kind::activeState
                                                                                                   : Kind::adopted;
        event.path = words.value(0);
        event.state = words.value(1).toUInt();
        event.reason = words.value(2).toUInt();
        event.text = QStringLiteral("reason %1").arg(event.reason);
    } else if (verb == QLatin1String("plugin")) {
        event.kind = Kind::pluginFailure;
        event.state = rest.toUInt();
    } else if (verb == QLatin1String("timer")) {
        event.kind = Kind::timer;
        const QStringList names{QStringLiteral("retry"), QStringLiteral("verdict"), QStringLiteral("address"),
                                QStringLiteral("connect")};
        event.timer = static_cast<TunnelTimer>(names.indexOf(rest));
    } else if (verb == QLatin1String("found")) {
        event.kind = Kind::guardFound;
        if (rest != QLatin1String("nothing")) {
            event.policy = TrafficGuardPolicy{.holdBack = words.contains(QStringLiteral("hold")),
                                              .serverAddresses = words.filter(QStringLiteral(".")),
                                              .blockIPv6 = true};
        }
    } else if (verb == QLatin1String("deactivateFailed")) {
        event.kind = Kind::deactivateFailed;
        event.path = words.value(0);
        event.text = QStringLiteral("unknown connection");
    } else {
        const QHash<QString, Kind> simple{{QStringLiteral("start"), Kind::start},
                                          {QStringLiteral("stop"), Kind::stop},
                                          {QStringLiteral("gone"), Kind::networkManagerGone},
                                          {QStringLiteral("back"), Kind::networkManagerBack},
                                          {QStringLiteral("removing"), Kind::removing},
                                          {QStringLiteral("removed"), Kind::profileRemoved}};
        if (!simple.contains(verb)) {
            qFatal("unknown event %s", qPrintable(verb));
        }
        event.kind = simple.value(verb);
    }
    return event;
}

const QString kConnect = QStringLiteral("config hold demand;start;resolved 192.0.2.1");
const QString kUp = kConnect + QStringLiteral(";guardSet;pinned;answered /a/1;vpn /a/1 5 0");
const QString kTwoAddresses =
    QStringLiteral("config hold demand;start;resolved 192.0.2.3 2001:db8::1;guardSet;pinned;answered /a/1");
const QString kDroppedRetrying = kUp + QStringLiteral(";vpn /a/1 6 1;timer verdict");
const QString kUnreachable = QStringLiteral("The VPN server could not be reached.");
const QString kRefused =
    QStringLiteral("The VPN server refused the login, or this computer does not trust the server's certificate.");

}  // namespace

class TunnelMachineTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decides_data()
    {
        QTest::addColumn<QString>("script");    // events, separated by ';'
        QTest::addColumn<QString>("commands");  // asked for after the last one, separated by "; "
        QTest::addColumn<QString>("state");

        // Connecting: the name is looked up first, the guard holds before anything else,
        // the profile is pinned to an address before it is activated.
        QTest::newRow("a start looks the name up before anything is held back")
            << "config hold demand;start" << "report connecting; timer connect 25000; resolve vpn.example.test"
            << "resolving";
        QTest::newRow("a server given by address needs no lookup")
            << "config server=192.0.2.1;start" << "report connecting; timer connect 25000; guard" << "guarding";
        QTest::newRow("every address is let through the guard, in the resolver's order")
            << "config hold demand;start;resolved 192.0.2.3 2001:db8::1" << "guard hold 192.0.2.3 2001:db8::1"
            << "guarding";
        QTest::newRow("nothing is pinned or activated before the guard holds")
            << kConnect + ";pinned;answered /a/1" << "" << "guarding";
        QTest::newRow("a name that does not resolve ends the attempt and says so")
            << "config hold demand;start;resolved"
            << "stop connect; guard off; report disconnected: The VPN server's name could not be resolved."
            << "idle";
        QTest::newRow("the guard in place, the profile is pinned to the first address")
            << kConnect + ";guardSet" << "pin 192.0.2.1" << "pinning";
        QTest::newRow("an address pinned already is activated at once")
            << "config hold demand pinned=192.0.2.1;start;resolved 192.0.2.1;guardSet"
            << "activate; timer address 10000" << "activating";
        QTest::newRow("a guard that cannot be set ends the attempt with its reason")
            << kConnect + ";guardSet no rules" << "stop connect; guard off; report disconnected: no rules" << "idle";
        QTest::newRow("an answer to a guard request given up on changes nothing")
            << kConnect + ";stop;start;resolved 192.0.2.1;guardSet stale" << "" << "guarding";
        QTest::newRow("pinned, the profile is activated under its own deadline")
            << kConnect + ";guardSet;pinned" << "activate; timer address 10000" << "activating";
        QTest::newRow("under the kill switch an unpinned name is never activated")
            << kConnect + ";guardSet;pinned NetworkManager did not answer."
            << "stop connect; guard off; report disconnected: NetworkManager did not answer." << "idle";
        QTest::newRow("without the kill switch the name still resolves: activated unpinned")
            << "config;start;resolved 192.0.2.1;guardSet;pinned refused" << "activate; timer address 10000"
            << "activating";
        QTest::newRow("up") << kUp << "stop address; stop connect; report connected" << "up";

        // Ends of a first connect.
        QTest::newRow("a refused login ends a first connect at once with its sentence")
            << kConnect + ";guardSet;pinned;answered /a/1;plugin 1;plugin 0;vpn /a/1 6 0"
            << "stop address; stop connect; guard off; report disconnected: " + kRefused << "idle";
        QTest::newRow("no reason yet: the plugin's last word is waited for")
            << kConnect + ";guardSet;pinned;answered /a/1;plugin 1;vpn /a/1 6 0"
            << "stop address; timer verdict 300" << "concluding";
        QTest::newRow("the login refusal that comes last is the cause")
            << kConnect + ";guardSet;pinned;answered /a/1;plugin 1;vpn /a/1 6 0;plugin 0;timer verdict"
            << "stop connect; guard off; report disconnected: " + kRefused << "idle";
        QTest::newRow("NetworkManager refusing the activation ends the attempt")
            << kConnect + ";guardSet;pinned;answered no such profile;timer verdict"
            << "stop connect; guard off; report disconnected: no such profile" << "idle";
        QTest::newRow("a silent server ends a first connect by its deadline, and the guard goes")
            << kConnect + ";guardSet;pinned;answered /a/1;timer address;timer connect"
            << "deactivate /a/1; guard off; report disconnected: The VPN server did not answer."
            << "idle";
        QTest::newRow("a NetworkManager that never answers the activation ends it with that")
            << kConnect + ";guardSet;pinned;timer connect"
            << "stop address; guard off; report disconnected: NetworkManager did not answer." << "idle";
        QTest::newRow("a NetworkManager stopped while the guard is set ends it with that")
            << kConnect + ";timer connect" << "guard off; report disconnected: NetworkManager did not answer."
            << "idle";
        QTest::newRow("a lookup that never ends ends the attempt")
            << "config hold demand;start;timer connect"
            << "guard off; report disconnected: The VPN server's name could not be resolved." << "idle";

        // Server addresses: the next one when one stays silent.
        QTest::newRow("a silent first address gives way to the next")
            << kTwoAddresses + ";timer address" << "deactivate /a/1; pin 2001:db8::1" << "pinning";
        QTest::newRow("an unreachable first address gives way to the next")
            << kTwoAddresses + ";plugin 1;vpn /a/1 6 0;timer verdict" << "pin 2001:db8::1" << "pinning";
        QTest::newRow("the last address of a first connect waits for its deadline")
            << kConnect + ";guardSet;pinned;answered /a/1;timer address" << "" << "activating";
        QTest::newRow("an activation answered after its address was given up is taken down")
            << "config hold demand;start;resolved 192.0.2.3 2001:db8::1;guardSet;pinned;timer address;answered stale /a/9" << "deactivate /a/9" << "pinning";

        // Drops, and getting the tunnel back.
        QTest::newRow("a drop under the kill switch is reasserted and retried")
            << kDroppedRetrying << "report reasserting: no reason given; timer retry 500" << "retrying";
        QTest::newRow("a reconnect needs no lookup: the pinned address is activated")
            << kDroppedRetrying + ";timer retry" << "activate; timer address 10000" << "activating";
        QTest::newRow("retries back off")
            << kDroppedRetrying + ";timer retry;answered /a/2;vpn /a/2 6 6"
            << "stop address; report reasserting: " + kUnreachable + "; timer retry 1000" << "retrying";
        QTest::newRow("a silent server during a reconnect is retried, not waited on")
            << kDroppedRetrying + ";timer retry;answered /a/2;timer address"
            << "deactivate /a/2; report reasserting: The VPN server did not answer.; timer retry 1000" << "retrying";
        QTest::newRow("a refused login after a drop is retried under the kill switch")
            << kUp + ";plugin 0;vpn /a/1 6 0" << "report reasserting: " + kRefused + "; timer retry 500"
            << "retrying";
        QTest::newRow("without the kill switch a drop ends the tunnel")
            << "config;start;resolved 192.0.2.1;guardSet;pinned;answered /a/1;vpn /a/1 5 0;vpn /a/1 7 6"
            << "guard off; report disconnected: " + kUnreachable << "idle";
        QTest::newRow("taken down by another tool: left down")
            << kUp + ";vpn /a/1 7 2" << "guard off; report disconnected" << "idle";
        QTest::newRow("an end told twice is told once") << kDroppedRetrying + ";active /a/1 4 2" << "" << "retrying";
        QTest::newRow("back up after a drop") << kDroppedRetrying + ";timer retry;answered /a/2;vpn /a/2 5 0"
                                              << "stop address; report connected" << "up";

        // The user ends it.
        QTest::newRow("stop while up: taken down, the guard goes once it is down")
            << kUp + ";stop" << "report disconnecting; deactivate /a/1" << "releasing";
        QTest::newRow("down after a stop") << kUp + ";stop;vpn /a/1 7 2" << "guard off; report disconnected"
                                           << "idle";
        QTest::newRow("stop while the activation is on its way, then its answer")
            << kConnect + ";guardSet;pinned;stop;answered stale /a/1" << "deactivate /a/1" << "idle";
        QTest::newRow("stop while retrying ends it at once")
            << kDroppedRetrying + ";stop" << "stop retry; guard off; report disconnected" << "idle";
        QTest::newRow("a deactivation NetworkManager cannot do is a tunnel down already")
            << kUp + ";stop;deactivateFailed /a/1" << "guard off; report disconnected" << "idle";
        QTest::newRow("a start while being taken down changes nothing") << kUp + ";stop;start" << "" << "releasing";
        QTest::newRow("a timer stopped meanwhile changes nothing") << kDroppedRetrying + ";stop;timer retry" << ""
                                                                   << "idle";

        // NetworkManager away, and back.
        QTest::newRow("NetworkManager gone under the kill switch: reasserting")
            << kUp + ";gone" << "report reasserting: NetworkManager stopped; timer retry 500" << "retrying";
        QTest::newRow("waiting for NetworkManager to come back")
            << kUp + ";gone;timer retry" << "" << "serviceGone";
        QTest::newRow("back: activated again") << kUp + ";gone;timer retry;back" << "activate; timer address 10000"
                                               << "activating";
        QTest::newRow("stopped while NetworkManager is away: no profile to speak of")
            << kUp + ";gone;timer retry;stop" << "guard off; report invalid" << "idle";
        QTest::newRow("NetworkManager gone during a first connect ends it")
            << "config;start;resolved 192.0.2.1;guardSet;pinned;answered /a/1;gone"
            << "stop address; stop connect; guard off; report invalid: NetworkManager stopped" << "idle";
        QTest::newRow("the profile removed meanwhile: not retried")
            << kDroppedRetrying + ";config absent;timer retry"
            << "guard off; report invalid: the VPN configuration was removed" << "idle";

        // Start-up: a tunnel running, a guard left by an earlier run.
        QTest::newRow("a running tunnel under the kill switch is adopted and kept")
            << "config hold demand;adopted /a/7 5" << "report connected" << "up";
        QTest::newRow("a guard left for a tunnel still wanted: set again and reconnected")
            << "config hold demand pinned=192.0.2.1;found hold 192.0.2.1"
            << "guard hold 192.0.2.1; report reasserting; activate; timer address 10000" << "activating";
        QTest::newRow("a guard left for a tunnel the user ended goes")
            << "config;found hold 192.0.2.1" << "guard off" << "idle";
        QTest::newRow("nothing left, nothing to do") << "config hold demand;found nothing" << "" << "idle";
        QTest::newRow("taking over a tunnel that reaches its server by name: looked up first")
            << "config hold demand;vpn /a/5 5 0;start" << "resolve vpn.example.test" << "up";
        QTest::newRow("then traffic is held back but to the server")
            << "config hold demand;vpn /a/5 5 0;start;resolved 192.0.2.1" << "guard hold 192.0.2.1" << "up";
        QTest::newRow("starting a tunnel another tool brought up holds traffic back")
            << "config hold demand pinned=192.0.2.1;vpn /a/5 5 0;start" << "guard hold 192.0.2.1" << "up";

        // The profile.
        QTest::newRow("no profile: invalid") << "config;config absent" << "report invalid" << "idle";
        QTest::newRow("removing the profile takes the tunnel down for good")
            << kUp + ";removing;vpn /a/1 7 11;removed" << "guard off; report invalid" << "idle";
    }

    void decides()
    {
        QFETCH(QString, script);
        QFETCH(QString, commands);
        TunnelMachine machine;
        quint64 ticket = 0;
        QStringList said;
        for (const QString& line : script.split(QLatin1Char(';'))) {
            said.clear();
            for (const TunnelCommand& command : machine.handle(parse(line, ticket))) {
                said << command.toString();
                ticket = command.ticket != 0 ? command.ticket : ticket;
            }
        }
        QCOMPARE(said.join(QStringLiteral("; ")), commands);
        QTEST(TunnelMachine::stateName(machine.state()), "state");
    }

    // What the machine says its status is, it has reported, in order, once each.
    void everyStatusChangeIsReportedOnce()
    {
        TunnelMachine machine;
        QList<NEVPNStatus> reported;
        quint64 ticket = 0;
        for (const QString& line : (kDroppedRetrying + QStringLiteral(";timer retry;answered /a/2;vpn /a/2 5 0;stop"))
                                       .split(QLatin1Char(';'))) {
            for (const TunnelCommand& command : machine.handle(parse(line, ticket))) {
                ticket = command.ticket != 0 ? command.ticket : ticket;
                if (command.kind == TunnelCommand::Kind::report) {
                    reported << command.status;
                }
            }
            QCOMPARE(reported.value(reported.size() - 1, NEVPNStatus::invalid), machine.status());
        }
        using enum NEVPNStatus;
        QCOMPARE(reported, (QList<NEVPNStatus>{disconnected, connecting, connected, reasserting, connected, disconnecting}));
    }
};

QTEST_GUILESS_MAIN(TunnelMachineTest)
#include "tst_tunnelmachine.moc"
