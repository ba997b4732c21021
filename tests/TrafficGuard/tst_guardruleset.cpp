// The traffic guard's rule set as data: what a request is refused for, what it becomes
// once checked, and which verdicts each switch puts in the table. No kernel needed; the
// helper's suite loads the same rule sets into a real one.
#include "TrafficGuard/GuardRuleSet.h"

#include <QtTest>

using namespace tandrel::guard;

Q_DECLARE_METATYPE(GuardRequest)

namespace {

GuardRequest holdingBack(QStringList servers = {QStringLiteral("192.0.2.1")}, QList<NetworkText> networks = {})
{
    GuardRequest request;
    request.holdBack = true;
    request.serverAddresses = std::move(servers);
    request.localNetworks = std::move(networks);
    return request;
}

QStringList many(int count, const QString& pattern)
{
    QStringList items;
    for (int i = 0; i < count; ++i) {
        items.append(pattern.arg(i % 250 + 1).arg(i / 250));
    }
    return items;
}

// The rules of one chain after the exceptions every guard shares: what the switches decide.
QStringList verdictsOf(const QString& ruleSet, const QString& chain)
{
    const QStringList lines = ruleSet.split(QLatin1Char('\n'));
    const qsizetype start = lines.indexOf(QStringLiteral("\tchain ") + chain + QStringLiteral(" {"));
    QStringList rules;
    for (qsizetype i = start + 2; i < lines.size() && lines.at(i) != QLatin1String("\t}"); ++i) {
        rules.append(lines.at(i).trimmed());
    }
    const qsizetype shared = chain == QLatin1String("output") ? 11 : 3;  // loopback, tunnel, IKE/ESP, DHCP, ND/MLD
    return rules.mid(shared);
}

GuardSettings checked(const GuardRequest& request)
{
    const std::variant<GuardSettings, QString> result = validate(request);
    if (const QString* why = std::get_if<QString>(&result)) {
        qWarning() << "refused:" << *why;
        return {};
    }
    return std::get<GuardSettings>(result);
}

}  // namespace

class GuardRuleSetTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusesWhatItCannotName_data()
    {
        QTest::addColumn<GuardRequest>("request");
        QTest::addColumn<QString>("why");
        GuardRequest nothing;
        nothing.serverAddresses = {QStringLiteral("192.0.2.1")};
        QTest::newRow("no switch on") << nothing << "at least one of";
        QTest::newRow("65 servers") << holdingBack(many(65, QStringLiteral("192.0.2.%1"))) << "At most 64";
        QList<NetworkText> networks;
        for (const QString& address : many(65, QStringLiteral("10.%2.%1.0"))) {
            networks.append({address, 24});
        }
        QTest::newRow("65 local networks") << holdingBack({}, networks) << "At most 64";
        for (const char* server : {"vpn.example.test", "", "192.0.2.1; flush ruleset", "192.0.2.1 }", "224.0.0.1",
                                   "255.255.255.255", "0.0.0.0", "::", "ff02::1", "fe80::1%eth0", "::ffff:192.0.2.1"}) {
            QTest::addRow("server \"%s\"", server)
                << holdingBack({QStringLiteral("192.0.2.1"), QString::fromLatin1(server)}) << "Server address 2 ";
        }
        const QList<NetworkText> badNetworks = {{QStringLiteral("192.168.1.0/24"), 24}, {QStringLiteral("192.168.1.0"), 0},
                                                {QStringLiteral("192.168.1.0"), 33}, {QStringLiteral("2001:db8::"), 129},
                                                {QStringLiteral("fe80::%eth0"), 64}, {QStringLiteral("router.lan"), 24},
                                                {QStringLiteral("192.168.1.0"), -8}};
        for (const NetworkText& network : badNetworks) {
            QTest::addRow("local network %s/%d", qPrintable(network.address), network.prefixLength)
                << holdingBack({}, {{QStringLiteral("10.0.0.0"), 8}, network}) << "Local network 2 ";
        }
    }
    void refusesWhatItCannotName()
    {
        QFETCH(GuardRequest, request);
        QFETCH(QString, why);
        const std::variant<GuardSettings, QString> result = validate(request);
        QVERIFY(std::holds_alternative<QString>(result));
        QVERIFY2(std::get<QString>(result).contains(why), qPrintable(std::get<QString>(result)));
    }

    // What reaches nft is our own printing of the parsed values, in one order, without
    // repeats, and networks nftables would refuse as overlapping are folded.
    void printsBackItsOwnValues_data()
    {
        QTest::addColumn<GuardRequest>("request");
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QStringList>("networks");
        QTest::newRow("sorted, IPv4 first, repeats once")
            << holdingBack({QStringLiteral("2001:DB8::0001"), QStringLiteral("192.0.2.9"), QStringLiteral("192.0.2.1"),
                            QStringLiteral("192.0.2.9")})
            << QStringList{"192.0.2.1", "192.0.2.9", "2001:db8::1"} << QStringList{};
        QTest::newRow("host bits cleared, networks inside others folded")
            << holdingBack({}, {{QStringLiteral("192.168.1.77"), 24}, {QStringLiteral("10.1.2.3"), 16},
                                {QStringLiteral("10.0.0.0"), 8}, {QStringLiteral("192.168.1.0"), 24},
                                {QStringLiteral("fe80::1c2:33ff:fe44:5566"), 64}, {QStringLiteral("fe80::"), 10},
                                {QStringLiteral("2001:db8:1:2:3::"), 64}})
            << QStringList{} << QStringList{"10.0.0.0/8", "192.168.1.0/24", "2001:db8:1:2::/64", "fe80::/10"};
        QTest::newRow("64 of each is the most taken")
            << holdingBack(many(64, QStringLiteral("192.0.2.%1"))) << many(64, QStringLiteral("192.0.2.%1"))
            << QStringList{};  // 192.0.2.1 to .64, already in order
    }
    void printsBackItsOwnValues()
    {
        QFETCH(GuardRequest, request);
        QFETCH(QStringList, servers);
        QFETCH(QStringList, networks);
        const GuardSettings settings = checked(request);
        QStringList gotServers;
        for (const QHostAddress& server : settings.servers) {
            gotServers.append(server.toString());
        }
        QStringList gotNetworks;
        for (const Subnet& subnet : settings.localNetworks) {
            gotNetworks.append(subnet.network.toString() + QLatin1Char('/') + QString::number(subnet.prefixLength));
        }
        QCOMPARE(gotServers, servers);
        QCOMPARE(gotNetworks, networks);
        const QString ruleSet = ruleSetFor(settings);
        for (const QString& server : servers) {
            QVERIFY(ruleSet.contains(server));
        }
    }

    // The verdicts after the shared exceptions, in the output and the forward chain alike.
    void verdictsFollowTheSwitches_data()
    {
        QTest::addColumn<bool>("holdBack");
        QTest::addColumn<bool>("blockIPv6");
        QTest::addColumn<bool>("excludeLocal");
        QTest::addColumn<QStringList>("verdicts");
        const QString dns = QStringLiteral("meta l4proto { tcp, udp } th dport { 53, 853 } goto block");
        const QStringList local = {"ip daddr @local4 accept comment \"exclude local networks\"",
                                   "ip6 daddr @local6 accept comment \"exclude local networks\""};
        const QString ipv6 = QStringLiteral("meta nfproto ipv6 goto block comment \"block IPv6\"");
        const QString rest = QStringLiteral("goto block comment \"hold back\"");
        QTest::newRow("hold back") << true << false << false << QStringList{dns, rest};
        QTest::newRow("hold back, IPv6 blocked") << true << true << false << QStringList{dns, ipv6, rest};
        QTest::newRow("hold back, local networks excluded: DNS to them still refused")
            << true << false << true << QStringList{dns} + local + QStringList{rest};
        QTest::newRow("everything") << true << true << true << QStringList{dns} + local + QStringList{ipv6, rest};
        QTest::newRow("IPv6 blocked only") << false << true << false << QStringList{ipv6, "accept"};
        QTest::newRow("local networks excluded only: DNS to them refused, the rest goes")
            << false << false << true
            << QStringList{"ip daddr @local4 " + dns, "ip6 daddr @local6 " + dns} + local + QStringList{"accept"};
        QTest::newRow("IPv6 blocked, local IPv6 networks excluded")
            << false << true << true
            << QStringList{"ip daddr @local4 " + dns, "ip6 daddr @local6 " + dns} + local + QStringList{ipv6, "accept"};
    }
    void verdictsFollowTheSwitches()
    {
        QFETCH(bool, holdBack);
        QFETCH(bool, blockIPv6);
        QFETCH(bool, excludeLocal);
        QFETCH(QStringList, verdicts);
        GuardRequest request = holdingBack();
        request.holdBack = holdBack;
        request.blockIPv6 = blockIPv6;
        request.excludeLocalNetworks = excludeLocal;
        const QString ruleSet = ruleSetFor(checked(request));
        QCOMPARE(verdictsOf(ruleSet, QStringLiteral("output")), verdicts);
        QCOMPARE(verdictsOf(ruleSet, QStringLiteral("forward")), verdicts);
    }

    // Replacing: a table first, so the delete always finds one, then the new table, all in
    // one input (one transaction); rejected packets get a reset or an ICMP error.
    void replacesTheTableInOneInput()
    {
        const QString ruleSet = ruleSetFor(checked(holdingBack()));
        QVERIFY(ruleSet.startsWith(
            QStringLiteral("table inet tandrel_guard\ndelete table inet tandrel_guard\ntable inet tandrel_guard {\n")));
        QCOMPARE(ruleSet.count(QStringLiteral("table inet tandrel_guard")), 4);  // the three above and the comment
        QVERIFY(ruleSet.contains(QStringLiteral("\tchain block {\n\t\tcounter\n\t\tmeta l4proto tcp reject with tcp reset\n"
                                                "\t\treject with icmpx admin-prohibited\n\t}\n}\n")));
        QCOMPARE(removal(), QStringLiteral("table inet tandrel_guard\ndelete table inet tandrel_guard\n"));
    }

    void readsBackOnlyItsOwnTable_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<bool>("ours");
        const QByteArray table = R"({"table": {"family": "inet", "name": "tandrel_guard", "handle": 1}})";
        QTest::newRow("no table of ours") << QByteArray(R"({"nftables": [{"metainfo": {"json_schema_version": 1}},
            {"table": {"family": "inet", "name": "firewalld", "handle": 2}}]})") << false;
        QTest::newRow("not JSON") << QByteArray("Error: No such file or directory") << false;
        QTest::newRow("an element no guard of ours holds")
            << QByteArray(R"({"nftables": [)" + table + R"(, {"set": {"family": "inet", "name": "local4", "table": "tandrel_guard",
                "type": "ipv4_addr", "flags": ["interval"], "elem": [{"range": ["10.0.0.1", "10.0.0.9"]}]}}]})")
            << false;
        QTest::newRow("an empty table of ours") << QByteArray(R"({"nftables": [)" + table + "]}") << true;
    }
    void readsBackOnlyItsOwnTable()
    {
        QFETCH(QByteArray, listing);
        QFETCH(bool, ours);
        QCOMPARE(readListing(listing).has_value(), ours);
    }
};

QTEST_GUILESS_MAIN(GuardRuleSetTest)
#include "tst_guardruleset.moc"
