#include "kernel/QNAtomTypes.h"
#include "kernel/QNProfileCompiler.h"
#include "support/QNRecordingAlertPresenter.h"
#include "test_compiler_support.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

using namespace qntest;

namespace {

// Literal vectors: a proxy named p (SOCKS5, 127.0.0.1:1080), a rule named r (host 10.0.0.1, port 80, direct)
// and a DNS entry named d (host intranet, remote), each as its whole atom.
const QByteArray kProxyP = hex("3C000000 79787270"
                               "09000000 656D616E 70"
                               "0C000000 65707974 03000000"
                               "0C000000 34747368 0100007F"
                               "0A000000 74726F70 3804"
                               "09000000 6E6F6E61 00");
const QByteArray kRuleR = hex("43000000 656C7572"
                              "09000000 656D616E 72"
                              "14000000 73747368 0C000000 34697468 0100000A"
                              "12000000 73747270 0A000000 74726F70 5000"
                              "0C000000 6E746361 02000000");
const QByteArray kDNSD = hex("35000000 20736E64"
                             "09000000 656D616E 64"
                             "18000000 73747368 10000000 74736F68 696E7472616E6574"
                             "0C000000 6C736572 01000000");

class CompilerTest : public ::testing::Test {
protected:
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler{presenter, QNStrings::mainBundle()};

    QByteArray compile(const std::shared_ptr<QNProfile>& profile) {
        const std::optional<QByteArray> stream = compiler.profileData(profile.get());
        EXPECT_TRUE(stream);
        EXPECT_TRUE(presenter.alerts().isEmpty());
        return stream.value_or(QByteArray());
    }

    // The 'prxy' atom of one proxy.
    QByteArray proxyAtom(const std::shared_ptr<QNProxy>& proxy) {
        const std::optional<QByteArray> data = compiler.profileProxyData(*proxy);
        EXPECT_TRUE(data);
        return atom(kQNAtomTypeProxy, data.value_or(QByteArray()));
    }

    // The 'rule' atom of one enabled rule in a profile of its own.
    QByteArray ruleAtom(const std::shared_ptr<QNRule>& rule) {
        const std::optional<QByteArray> data = compiler.profileRulesData(*makeProfile(QString(), {}, {rule}));
        EXPECT_TRUE(data);
        return data.value_or(QByteArray());
    }
};

TEST_F(CompilerTest, EmptyProfileIsItsNameAndThreeEmptyContainers) {
    const QByteArray stream = compile(makeProfile(QStringLiteral("Home")));
    EXPECT_EQ(stream, hex("0C000000 6D6E7270 486F6D65"
                          "08000000 73787270"
                          "08000000 73656C72"
                          "08000000 73736E64"));
    EXPECT_EQ(stream.size(), 36);

    // A null name writes no 'prnm'; an empty one writes it without data.
    EXPECT_EQ(compile(makeProfile(QString())), hex("08000000 73787270 08000000 73656C72 08000000 73736E64"));
    EXPECT_EQ(compile(makeProfile(QStringLiteral(""))).left(8), hex("08000000 6D6E7270"));

    // No profile at all is a failure, but nothing to tell the user about.
    EXPECT_FALSE(compiler.profileData(nullptr));
    EXPECT_TRUE(presenter.alerts().isEmpty());
}

TEST_F(CompilerTest, StreamHoldsProxiesRulesAndDNSInThatOrder) {
    const auto proxy = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const auto rule =
        makeRule(QStringLiteral("r"), {QStringLiteral("10.0.0.1")}, {QStringLiteral("80")}, QNRuleActionDirect);
    const auto dns = makeDNS(QStringLiteral("d"), {QStringLiteral("intranet")}, QNDNSResolveRemote);
    const QByteArray stream = compile(makeProfile(QStringLiteral("Home"), {proxy}, {rule}, {dns}));

    EXPECT_EQ(kProxyP.size(), 60);
    EXPECT_EQ(kRuleR.size(), 67);
    EXPECT_EQ(kDNSD.size(), 53);
    EXPECT_EQ(stream, hex("0C000000 6D6E7270 486F6D65") + atom(kQNAtomTypeProxies, kProxyP) +
                          atom(kQNAtomTypeRules, kRuleR) + atom(kQNAtomTypeDNSEntries, kDNSD));
}

TEST_F(CompilerTest, ProxyFieldsAppearOnlyUnderTheirConditions) {
    const QByteArray head = hex("09000000 656D616E 70"
                                "0C000000 65707974 07000000"
                                "0C000000 34747368 0100007F"
                                "0A000000 74726F70 1600");
    struct Case {
        const char* what;
        const char* username; // null: none
        const char* password;
        QStringList filterPorts;
        bool anonymize;
        quint16 localTunnelPort;
        QByteArray tail;
    };
    const QByteArray notAnonymous = hex("09000000 6E6F6E61 00");
    const QByteArray user = hex("0B000000 72657375 616E6E 0A000000 73736170 7077");
    const QByteArray filters = hex("1E000000 73747066 0A000000 74727066 5000 0C000000 67727066 401F901F");
    const QStringList zero = {QStringLiteral("0")};
    const Case cases[] = {
        {"bare", nullptr, nullptr, {}, false, 0, notAnonymous},
        {"empty user and password are left out", "", "", {}, false, 0, notAnonymous},
        {"user and password", "ann", "pw", {}, true, 0, user + hex("09000000 6E6F6E61 01")},
        {"filter ports", nullptr, nullptr, {QStringLiteral("80, 8000-8080")}, false, 0, filters + notAnonymous},
        {"filter port 0 gives an empty group", nullptr, nullptr, zero, false, 0,
         hex("08000000 73747066") + notAnonymous},
        {"tunnel port", nullptr, nullptr, {}, false, 49152, notAnonymous + hex("0A000000 7470746C 00C0")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto proxy = makeProxy(QStringLiteral("p"), QNProxyTypeSSHTunnel, QStringLiteral("127.0.0.1"), 22,
                                     c.filterPorts, QString::fromUtf8(c.username), QString::fromUtf8(c.password));
        proxy->setAnonymizeRequests(c.anonymize);
        proxy->setLocalTunnelPort(c.localTunnelPort);
        EXPECT_EQ(compiler.profileProxyData(*proxy), std::optional<QByteArray>(head + c.tail));
    }
}

// A proxy host is sent as the address it resolves to; a rule host entry as what it parses as: an address,
// a range, or else a name as written.
TEST_F(CompilerTest, HostsAreClassifiedByWhatTheyParseAs) {
    struct Case {
        bool isProxy;
        QString host;
        QByteArray hostAtom;
    };
    const Case cases[] = {
        {true, QStringLiteral("127.0.0.1"), hex("0C000000 34747368 0100007F")},
        {true, QStringLiteral("2001:db8::1"), hex("18000000 36747368 B80D0120 00000000 00000000 01000000")},
        {true, QStringLiteral("::ffff:10.1.2.3"), hex("18000000 36747368 00000000 00000000 FFFF0000 0302010A")},
        {true, QStringLiteral("socks://192.0.2.10:1080/"), hex("0C000000 34747368 0A0200C0")},
        {false, QStringLiteral("10.0.0.1"), hex("0C000000 34697468 0100000A")},
        {false, QStringLiteral(" 10.0.0.1 "), hex("0C000000 34697468 0100000A")},
        {false, QStringLiteral("10.0.0.0-10.255.255.255"), hex("10000000 72346968 0000000A FFFFFF0A")},
        {false, QStringLiteral("::1"), hex("18000000 36697468 00000000 00000000 00000000 01000000")},
        {false, QStringLiteral("fd00::-fdff::"),
         hex("28000000 72366968 000000FD 00000000 00000000 00000000"
             "0000FFFD 00000000 00000000 00000000")},
        {false, QStringLiteral("printer"), hex("0F000000 74736F68 7072696E746572")},
        {false, QStringLiteral(" printer"), hex("10000000 74736F68 207072696E746572")},
        {false, QStringLiteral("10.0.0.0/8"), hex("12000000 74736F68 31302E302E302E302F38")},
        {false, QStringLiteral("10.0.0.1-::1"), hex("14000000 74736F68 31302E302E302E312D3A3A31")},
        {false, QStringLiteral(""), hex("08000000 74736F68")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(qPrintable(c.host));
        if (c.isProxy) {
            const std::optional<QByteArray> data =
                compiler.profileProxyData(*makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, c.host, 1080));
            ASSERT_TRUE(data);
            EXPECT_EQ(data->mid(21, c.hostAtom.size()), c.hostAtom);
        } else {
            const QByteArray rule = ruleAtom(makeRule(QStringLiteral("r"), {c.host}, {}, QNRuleActionBlock));
            EXPECT_EQ(rule.mid(17), atom(kQNAtomTypeHosts, c.hostAtom) + hex("0C000000 6E746361 03000000"));
        }
    }
}

// Both port groups follow one parse: a start of 0 writes nothing, an end of 0 is a single port.
TEST_F(CompilerTest, PortEntriesBecomeSinglePortsAndRanges) {
    struct Case {
        QStringList ports;
        QList<std::pair<quint16, quint16>> entries;
    };
    const Case cases[] = {
        {{QStringLiteral("80")}, {{80, 0}}},
        {{QStringLiteral("80, 8000-8080")}, {{80, 0}, {8000, 8080}}},
        {{QStringLiteral("80,443"), QStringLiteral(" 1000 - 2000 ")}, {{80, 0}, {443, 0}, {1000, 2000}}},
        {{QStringLiteral("80-80")}, {{80, 80}}},
        {{QStringLiteral("0")}, {}},
        {{QStringLiteral("-80")}, {}},
        {{QStringLiteral(""), QStringLiteral("443")}, {{443, 0}}},
        {{QStringLiteral("65536"), QStringLiteral("65537")}, {{1, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(qPrintable(c.ports.join(QLatin1Char('|'))));
        QByteArray rulePorts;
        QByteArray filterPorts;
        for (const auto& [first, last] : c.entries) {
            if (last == 0) {
                rulePorts += atom(kQNAtomTypePort, value<quint16>(first));
                filterPorts += atom(kQNAtomTypeFilterPort, value<quint16>(first));
            } else {
                rulePorts += atom(kQNAtomTypePortRange, value<quint16>(first) + value<quint16>(last));
                filterPorts += atom(kQNAtomTypeFilterPortRange, value<quint16>(first) + value<quint16>(last));
            }
        }
        const QByteArray rule = ruleAtom(makeRule(QStringLiteral("r"), {}, c.ports, QNRuleActionDirect));
        EXPECT_EQ(rule.mid(17), atom(kQNAtomTypePorts, rulePorts) + hex("0C000000 6E746361 02000000"));

        const auto proxy =
            makeProxy(QStringLiteral("p"), QNProxyTypeHTTPConnect, QStringLiteral("127.0.0.1"), 3128, c.ports);
        EXPECT_EQ(compiler.profileProxyData(*proxy)->mid(43),
                  atom(kQNAtomTypeFilterPorts, filterPorts) + hex("09000000 6E6F6E61 00"));
    }
    EXPECT_TRUE(presenter.alerts().isEmpty());
}

// List elements are split at commas and not trimmed (the round trip through the decoder shows the same for
// DNS hosts, and that disabled rules and entries leave no atoms).
TEST_F(CompilerTest, ApplicationEntriesAreSplitAtCommasAndNotTrimmed) {
    const auto rule = makeRule(QStringLiteral("r"), {}, {}, QNRuleActionDirect, nullptr,
                               {QStringLiteral("Safari,Mail"), QStringLiteral(" Terminal"), QStringLiteral("")});
    EXPECT_EQ(
        ruleAtom(rule).mid(17),
        atom(kQNAtomTypeApplications, atom(kQNAtomTypeApplication, "Safari") + atom(kQNAtomTypeApplication, "Mail") +
                                          atom(kQNAtomTypeApplication, " Terminal") + atom(kQNAtomTypeApplication)) +
            hex("0C000000 6E746361 02000000"));
}

TEST_F(CompilerTest, ChainIsFlattenedIntoItsMembers) {
    const auto first = makeProxy(QStringLiteral("a"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const auto last = makeProxy(QStringLiteral("b"), QNProxyTypeHTTPConnect, QStringLiteral("::1"), 3128);
    const auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("c"), {first, last}, true);
    const auto empty = QNProxyChain::proxyChainWithName(QString(), {}, true);

    const std::optional<QByteArray> proxies = compiler.profileProxiesData(*makeProfile(QString(), {chain, empty}));
    ASSERT_TRUE(proxies);
    EXPECT_EQ(*proxies,
              atom(kQNAtomTypeProxyChain, atom(kQNAtomTypeChainName, "c") +
                                              atom(kQNAtomTypeChainProxies, proxyAtom(first) + proxyAtom(last))) +
                  hex("18000000 68637870 08000000 6E637870 08000000 78706370"));
}

TEST_F(CompilerTest, ProxyIndexIsThePositionOfTheSameItem) {
    const auto p0 = makeProxy(QStringLiteral("p0"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const auto p1 = makeProxy(QStringLiteral("p1"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1081);
    const auto p2 = makeProxy(QStringLiteral("p2"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1082);
    const auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("c"), {p0->copy()}, true);
    const auto stranger = p2->copy(); // equal to p2, but not in the profile

    struct Case {
        const char* what;
        quint32 action;
        std::shared_ptr<QNProxyItem> proxy;
        QByteArray tail;
    };
    const Case cases[] = {
        {"third item", QNRuleActionProxy, p2, hex("0C000000 6E746361 01000000 0C000000 69787270 02000000")},
        {"first item", QNRuleActionProxy, p0, hex("0C000000 6E746361 01000000 0C000000 69787270 00000000")},
        {"chain", QNRuleActionProxy, chain, hex("0C000000 6E746361 01000000 0C000000 69787270 03000000")},
        {"equal but other object", QNRuleActionProxy, stranger,
         hex("0C000000 6E746361 01000000 0C000000 69787270 FFFFFFFF")},
        {"no proxy", QNRuleActionProxy, nullptr, hex("0C000000 6E746361 01000000 0C000000 69787270 FFFFFFFF")},
        {"direct", QNRuleActionDirect, p1, hex("0C000000 6E746361 02000000")},
        {"block", QNRuleActionBlock, p1, hex("0C000000 6E746361 03000000")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto rule = makeRule(QStringLiteral("r"), {}, {}, c.action, c.proxy);
        const auto profile = makeProfile(QString(), {p0, p1, p2, chain}, {rule});
        EXPECT_EQ(compiler.profileRulesData(*profile),
                  std::optional<QByteArray>(atom(kQNAtomTypeRule, hex("09000000 656D616E 72") + c.tail)));
    }
}

// A list entry that is neither a proxy nor a chain has no atom, so positions count atoms, not entries:
// otherwise every rule behind it would be sent to the wrong proxy.
TEST_F(CompilerTest, ItemsThatAreNotCompiledDoNotShiftProxyIndexes) {
    const auto bare = std::make_shared<QNProxyItem>();
    const auto p = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const auto toP = makeRule(QStringLiteral("r"), {}, {}, QNRuleActionProxy, p);
    const auto toBare = makeRule(QStringLiteral("s"), {}, {}, QNRuleActionProxy, bare);
    const QByteArray stream = compile(makeProfile(QString(), {bare, nullptr, p}, {toP, toBare}));
    EXPECT_EQ(stream,
              atom(kQNAtomTypeProxies, kProxyP) +
                  atom(kQNAtomTypeRules, atom(kQNAtomTypeRule, hex("09000000 656D616E 72 0C000000 6E746361 01000000"
                                                                   "0C000000 69787270 00000000")) +
                                             atom(kQNAtomTypeRule, hex("09000000 656D616E 73 0C000000 6E746361 01000000"
                                                                       "0C000000 69787270 FFFFFFFF"))) +
                  atom(kQNAtomTypeDNSEntries));
}

} // namespace
