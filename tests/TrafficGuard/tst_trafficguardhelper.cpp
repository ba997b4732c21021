// The traffic guard's helper as it runs: started by D-Bus activation on a private system
// bus, with polkitd deciding, its table in the kernel of a network namespace of its own,
// and packets counted where they arrive on the other end of a veth link
// (with-guard-bus.sh sets all of that up; root only).
#include "Platform/NetworkExtension/HelperTrafficGuard.h"
#include "Platform/NetworkExtension/TrafficGuardWire.h"
#include "TrafficGuard/GuardRuleSet.h"
#include "TrafficGuard/Nftables.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

using namespace tandrel;
using TrafficGuardWire::Network;

namespace {

const QString kServer4 = QStringLiteral("192.0.2.1");
const QString kServer6 = QStringLiteral("2001:db8:1::1");
const QString kOther4 = QStringLiteral("192.0.2.3");
const QString kOther6 = QStringLiteral("2001:db8:1::3");

struct Report {
    bool inPlace = false;
    QStringList servers;
    QList<Network> networks;
    bool holdBack = false;
    bool blockIPv6 = false;
    bool excludeLocalNetworks = false;
    bool operator==(const Report&) const = default;
};

QDBusMessage callHelper(const QString& method, const QList<QVariant>& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(TrafficGuardWire::service(), TrafficGuardWire::path(),
                                                          TrafficGuardWire::interface(), method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, 20'000);
}

QList<QVariant> setArguments(const QStringList& servers, const QList<Network>& networks, bool holdBack, bool blockIPv6,
                             bool excludeLocal)
{
    return {servers, QVariant::fromValue(networks), holdBack, blockIPv6, excludeLocal};
}

Report report()
{
    const QDBusMessage reply = callHelper(TrafficGuardWire::reportMethod);
    if (reply.signature() != TrafficGuardWire::reportSignature) {
        qWarning() << "Report answered" << reply.errorName() << reply.errorMessage();
        return {};
    }
    const QList<QVariant> values = reply.arguments();
    return {values.at(0).toBool(), values.at(1).toStringList(), qdbus_cast<QList<Network>>(values.at(2)),
            values.at(3).toBool(), values.at(4).toBool(), values.at(5).toBool()};
}

struct Ran {
    int exitCode = -1;
    QByteArray output;
};

Ran run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(20'000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll()};
}

// What arrived at the peer from us since the last call, by counter name.
QMap<QString, qint64> arrivedAtPeer()
{
    const QString peer = qEnvironmentVariable("TANDREL_GUARD_TEST_PEER");
    const Ran listed =
        run(QStringLiteral("nsenter"), {"-t", peer, "-n", "nft", "-j", "reset", "counters", "table", "inet", "peer"});
    QMap<QString, qint64> counts;
    for (const QJsonValue& item : QJsonDocument::fromJson(listed.output).object().value("nftables").toArray()) {
        const QJsonObject counter = item.toObject().value("counter").toObject();
        if (!counter.isEmpty()) {
            counts.insert(counter.value("name").toString(), counter.value("packets").toInteger());
        }
    }
    return counts;
}

// How a TCP connection to a blocked host ends, and after how long.
QPair<QAbstractSocket::SocketError, qint64> connectTcp(const QString& host)
{
    QTcpSocket socket;
    QElapsedTimer clock;
    clock.start();
    socket.connectToHost(QHostAddress(host), 80);
    socket.waitForConnected(3'000);
    return {socket.error(), clock.elapsed()};
}

// Three datagrams each: IKE to the server, port 9 to the server and to another host, a
// DNS query to the other host; and one TCP connection to the other host. Per family.
void sendProbes()
{
    QUdpSocket udp;
    for (const QString& host : {kServer4, kServer6, kOther4, kOther6}) {
        for (int i = 0; i < 3; ++i) {
            udp.writeDatagram("probe", QHostAddress(host), 500);
            udp.writeDatagram("probe", QHostAddress(host), 9);
            udp.writeDatagram("probe", QHostAddress(host), 53);
        }
    }
    connectTcp(kOther4);
    connectTcp(kOther6);
}

}  // namespace

class TrafficGuardHelperTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TANDREL_GUARD_TEST_PEER")) {
            QSKIP("needs with-guard-bus.sh (root, network namespaces)");
        }
        TrafficGuardWire::registerTypes();
        QVERIFY(QDBusConnection::systemBus().isConnected());
    }

    void init() { QVERIFY(callHelper(TrafficGuardWire::clearMethod).type() == QDBusMessage::ReplyMessage); }

    // What Set puts in the kernel, Report reads back from it: our printing of the values.
    void reportReadsTheKernelBack_data()
    {
        QTest::addColumn<QList<QVariant>>("arguments");
        QTest::addColumn<Report>("expected");
        QTest::newRow("hold back, both families")
            << setArguments({kServer6, kServer4}, {}, true, false, false)
            << Report{true, {kServer4, kServer6}, {}, true, false, false};
        QTest::newRow("everything, networks folded and cleared")
            << setArguments({kServer4}, {{"192.168.1.77", 24}, {"10.0.0.0", 8}, {"10.9.0.0", 16}, {"fe80::1", 64}},
                            true, true, true)
            << Report{true, {kServer4}, {{"10.0.0.0", 8}, {"192.168.1.0", 24}, {"fe80::", 64}}, true, true, true};
        QTest::newRow("IPv6 blocked only") << setArguments({}, {}, false, true, false)
                                           << Report{true, {}, {}, false, true, false};
        QTest::newRow("local networks only")
            << setArguments({}, {{"2001:DB8:1::", 64}, {"192.0.2.0", 24}}, false, false, true)
            << Report{true, {}, {{"192.0.2.0", 24}, {"2001:db8:1::", 64}}, false, false, true};
    }
    void reportReadsTheKernelBack()
    {
        QFETCH(QList<QVariant>, arguments);
        QFETCH(Report, expected);
        QCOMPARE(report(), Report{});
        const QDBusMessage reply = callHelper(TrafficGuardWire::setMethod, arguments);
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        QCOMPARE(report(), expected);
        // One table of ours, nothing else of ours in the ruleset.
        const Ran tables = run(QStringLiteral("nft"), {"list", "tables"});
        QCOMPARE(tables.output.count("tandrel_guard"), 1);
    }

    // Bad input from root is refused before anything is asked or changed.
    void malformedCallsLeaveTheGuard_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QList<QVariant>>("arguments");
        QTest::addColumn<QString>("error");
        QStringList tooMany;
        for (int i = 1; i <= 65; ++i) {
            tooMany.append(QStringLiteral("198.51.100.%1").arg(i));
        }
        const QString invalid = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
        QTest::newRow("Set without its flags") << "Set" << QList<QVariant>{QStringList{kServer4}} << invalid;
        QTest::newRow("Set with 65 servers") << "Set" << setArguments(tooMany, {}, true, false, false) << invalid;
        QTest::newRow("Set with nft text for a server")
            << "Set" << setArguments({"192.0.2.9 } ; flush ruleset"}, {}, true, false, false) << invalid;
        QTest::newRow("Set with a /0 local network")
            << "Set" << setArguments({}, {{"0.0.0.0", 0}}, false, false, true) << invalid;
        QTest::newRow("Set with nothing to hold") << "Set" << setArguments({kServer4}, {}, false, false, false) << invalid;
        QTest::newRow("Clear with an argument") << "Clear" << QList<QVariant>{true} << invalid;
        QTest::newRow("an unknown method") << "Flush" << QList<QVariant>{}
                                           << QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
    }
    void malformedCallsLeaveTheGuard()
    {
        QFETCH(QString, method);
        QFETCH(QList<QVariant>, arguments);
        QFETCH(QString, error);
        QVERIFY(callHelper(TrafficGuardWire::setMethod, setArguments({kServer4}, {}, true, false, false)).type() ==
                QDBusMessage::ReplyMessage);
        const Report before = report();
        const QDBusMessage reply = callHelper(method, arguments);
        QCOMPARE(reply.errorName(), error);
        QVERIFY2(reply.errorMessage().endsWith(QLatin1Char('.')), qPrintable(reply.errorMessage()));
        QCOMPARE(report(), before);
    }

    // Every call is asked of polkit for the caller's bus name: a user polkit allows by a rule
    // changes the guard; nobody (no session, no agent) is refused for each method and the
    // guard stays as it was.
    void polkitDecidesForOtherUsers_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QStringList>("call");
        QTest::addColumn<bool>("allowed");
        const QStringList set = {"Set", "['198.51.100.7']", "[('10.0.0.0', byte 8)]", "true", "false", "false"};
        QTest::newRow("nobody: Set") << "nobody" << set << false;
        QTest::newRow("nobody: Clear") << "nobody" << QStringList{"Clear"} << false;
        QTest::newRow("nobody: Report") << "nobody" << QStringList{"Report"} << false;
        QTest::newRow("daemon, allowed by a polkit rule: Set") << "daemon" << set << true;
    }
    void polkitDecidesForOtherUsers()
    {
        QFETCH(QString, user);
        QFETCH(QStringList, call);
        QFETCH(bool, allowed);
        QVERIFY(callHelper(TrafficGuardWire::setMethod, setArguments({kServer4}, {}, true, false, false)).type() ==
                QDBusMessage::ReplyMessage);
        const Report before = report();
        QStringList arguments = {"--reuid=" + user, "--regid=nogroup", "--clear-groups", "gdbus", "call", "--system",
                                 "--dest", TrafficGuardWire::service(), "--object-path", TrafficGuardWire::path(),
                                 "--method", TrafficGuardWire::interface() + "." + call.first()};
        arguments += call.mid(1);
        const Ran ran = run(QStringLiteral("setpriv"), arguments);
        if (allowed) {
            QVERIFY2(ran.exitCode == 0, ran.output.constData());
            QCOMPARE(report(), (Report{true, {"198.51.100.7"}, {{"10.0.0.0", 8}}, true, false, false}));
        } else {
            QVERIFY2(ran.exitCode != 0 && ran.output.contains("org.freedesktop.DBus.Error.AccessDenied"),
                     ran.output.constData());
            QCOMPARE(report(), before);
        }
    }

    // The table holds what the recipe measured: IKE to the server passes, everything else
    // is refused at once (TCP with a reset), in both families; the control run without the
    // guard shows the same probes do arrive.
    void onlyIkeToTheServerLeaves()
    {
        arrivedAtPeer();
        sendProbes();
        QMap<QString, qint64> arrived = arrivedAtPeer();
        QVERIFY2(arrived.value("other4") >= 6 && arrived.value("other6") >= 6 && arrived.value("dns4") >= 3 &&
                     arrived.value("dns6") >= 3,
                 qPrintable(QDebug::toString(arrived)));

        QVERIFY(callHelper(TrafficGuardWire::setMethod, setArguments({kServer4, kServer6}, {}, true, false, false))
                    .type() == QDBusMessage::ReplyMessage);
        QUdpSocket udp;
        QCOMPARE(udp.writeDatagram("probe", QHostAddress(kOther4), 9), qint64(-1));  // refused at the sender
        const auto [error4, took4] = connectTcp(kOther4);
        const auto [error6, took6] = connectTcp(kOther6);
        QCOMPARE(error4, QAbstractSocket::ConnectionRefusedError);
        QCOMPARE(error6, QAbstractSocket::ConnectionRefusedError);
        qInfo("TCP to a blocked host refused after %lld ms (IPv4), %lld ms (IPv6)", took4, took6);
        arrivedAtPeer();
        sendProbes();
        arrived = arrivedAtPeer();
        QCOMPARE(arrived.value("ike4"), 3);
        QCOMPARE(arrived.value("ike6"), 3);
        QCOMPARE(arrived.value("other4"), 0);
        QCOMPARE(arrived.value("other6"), 0);
        QCOMPARE(arrived.value("dns4"), 0);
        QCOMPARE(arrived.value("dns6"), 0);
    }

    // The client derives the local networks from the kernel: with them excluded the LAN is
    // reachable, DNS to it never.
    void excludedLocalNetworksButNeverTheirDns()
    {
        HelperTrafficGuard guard(QDBusConnection::systemBus());
        TrafficGuardPolicy policy;
        policy.holdBack = true;
        policy.serverAddresses = {kServer4};
        policy.excludeLocalNetworks = true;
        std::optional<std::optional<Error>> answer;
        guard.set(policy, [&](std::optional<Error> error) { answer = error; });
        QVERIFY(!answer);  // never answers before returning
        QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20'000);
        QVERIFY2(!*answer, qPrintable((*answer)->localizedDescription()));
        const Report held = report();
        QVERIFY(held.networks.contains(Network{"192.0.2.0", 24}));
        QVERIFY(held.networks.contains(Network{"2001:db8:1::", 64}));
        arrivedAtPeer();
        sendProbes();
        const QMap<QString, qint64> arrived = arrivedAtPeer();
        QVERIFY2(arrived.value("other4") >= 6 && arrived.value("other6") >= 6, qPrintable(QDebug::toString(arrived)));
        QCOMPARE(arrived.value("dns4"), 0);
        QCOMPARE(arrived.value("dns6"), 0);
        // Routed by the main table ahead of the tunnel's own (which would take the LAN too),
        // once per family however often it is set; taken away with the guard.
        const auto rules = [](const char* family) {
            QProcess ip;
            ip.start(QStringLiteral("ip"), {QString::fromLatin1(family), QStringLiteral("rule")});
            ip.waitForFinished();
            return QString::fromUtf8(ip.readAllStandardOutput())
                .count(QStringLiteral("110:\tfrom all lookup main suppress_prefixlength 0"));
        };
        answer.reset();
        guard.set(policy, [&](std::optional<Error> error) { answer = error; });
        QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20'000);
        QCOMPARE(rules("-4"), 1);
        QCOMPARE(rules("-6"), 1);
        answer.reset();
        guard.set({}, [&](std::optional<Error> error) { answer = error; });
        QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 20'000);
        QCOMPARE(rules("-4"), 0);
        QCOMPARE(rules("-6"), 0);
    }

    // Through the client: what is set is what a later query finds, also after the helper
    // died (the table is the kernel's); an empty policy takes the guard away.
    void clientFindsWhatIsInPlace()
    {
        HelperTrafficGuard guard(QDBusConnection::systemBus());
        TrafficGuardPolicy policy;
        policy.holdBack = true;
        policy.blockIPv6 = true;
        policy.serverAddresses = {kServer4, kServer6};
        QElapsedTimer clock;
        clock.start();
        std::optional<std::optional<Error>> setAnswer;
        guard.set(policy, [&](std::optional<Error> error) { setAnswer = error; });
        QTRY_VERIFY_WITH_TIMEOUT(setAnswer.has_value(), 20'000);
        qInfo("Set answered after %lld ms", clock.elapsed());
        QVERIFY(!*setAnswer);

        const QDBusReply<uint> helperPid =
            QDBusConnection::systemBus().interface()->servicePid(TrafficGuardWire::service());
        QVERIFY(helperPid.isValid());
        QCOMPARE(::kill(pid_t(helperPid.value()), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::systemBus().interface()->isServiceRegistered(TrafficGuardWire::service()),
                                 5'000);

        std::optional<TrafficGuardPolicy> found;
        bool answered = false;
        guard.query([&](std::optional<TrafficGuardPolicy> inPlace, std::optional<Error> error) {
            QVERIFY(!error);
            found = inPlace;
            answered = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 20'000);
        QCOMPARE(found, policy);

        answered = false;
        guard.set(TrafficGuardPolicy{}, [&](std::optional<Error> error) { answered = !error; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 20'000);
        answered = false;
        guard.query([&](std::optional<TrafficGuardPolicy> inPlace, std::optional<Error>) {
            found = inPlace;
            answered = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 20'000);
        QVERIFY(!found);
        QCOMPARE(guard.unavailableReason(), std::nullopt);
    }

    // Without the helper the client says what is missing, and a set fails with that sentence.
    void clientWithoutTheHelperSaysWhatIsMissing()
    {
        const QDBusConnection empty =
            QDBusConnection::connectToBus(qEnvironmentVariable("TANDREL_GUARD_TEST_EMPTY_BUS"), QStringLiteral("empty"));
        HelperTrafficGuard guard(empty);
        QTRY_VERIFY_WITH_TIMEOUT(guard.unavailableReason().has_value(), 10'000);
        QVERIFY(guard.unavailableReason()->contains(QStringLiteral("tandrel-traffic-guard")));
        std::optional<Error> failure;
        TrafficGuardPolicy policy;
        policy.holdBack = true;
        guard.set(policy, [&](std::optional<Error> error) { failure = error; });
        QTRY_VERIFY_WITH_TIMEOUT(failure.has_value(), 10'000);
        QCOMPARE(failure->code(), int(HelperTrafficGuard::helperMissing));
        QCOMPARE(failure->localizedDescription(), *guard.unavailableReason());

        HelperTrafficGuard noBus(QDBusConnection(QStringLiteral("never connected")));
        QVERIFY(noBus.unavailableReason()->contains(QStringLiteral("system bus")));
    }
};

QTEST_GUILESS_MAIN(TrafficGuardHelperTest)
#include "tst_trafficguardhelper.moc"
