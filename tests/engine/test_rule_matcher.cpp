#include "engine/QNRuleMatcher.h"

#include <gtest/gtest.h>

namespace {

QNAddressWords address(const char* text) {
    QNAddressWords words{};
    bool isIPv6 = false;
    EXPECT_TRUE(QNUtilities::parseIPRangeString(QString::fromLatin1(text), &words, nullptr, &isIPv6)) << text;
    return words;
}

QNEngineTarget target(const char* text, quint16 port) {
    return QNEngineTarget{address(text), QString::fromLatin1(text).contains(QLatin1Char(':')), port, {}};
}

QNDecodedHost host(QNDecodedHost::Kind kind, const char* first, const char* last = nullptr) {
    QNDecodedHost entry;
    entry.kind = kind;
    if (kind == QNDecodedHost::Name) {
        entry.name = QString::fromLatin1(first);
    } else {
        entry.first = address(first);
        entry.last = last != nullptr ? address(last) : QNAddressWords{};
    }
    return entry;
}

QNDecodedPortEntry port(quint16 first, quint16 last = 0) {
    return QNDecodedPortEntry{first, last, last != 0};
}

QNDecodedRule rule(const char* name, quint32 action, std::optional<QList<QNDecodedHost>> hosts = std::nullopt,
                   std::optional<QList<QNDecodedPortEntry>> ports = std::nullopt,
                   std::optional<quint32> proxyIndex = std::nullopt) {
    QNDecodedRule result;
    result.name = QString::fromLatin1(name);
    result.action = action;
    result.hosts = std::move(hosts);
    result.ports = std::move(ports);
    result.proxyIndex = proxyIndex;
    return result;
}

QNDecodedProxy proxy(const char* name, quint32 type, const char* at, quint16 portNumber,
                     std::optional<QList<QNDecodedPortEntry>> filter = std::nullopt) {
    QNDecodedProxy result;
    result.name = QString::fromLatin1(name);
    result.type = type;
    result.host = address(at);
    result.hostIsIPv6 = QString::fromLatin1(at).contains(QLatin1Char(':'));
    result.port = portNumber;
    result.filterPorts = std::move(filter);
    return result;
}

QNDecodedProxyItem item(QNDecodedProxy single) {
    QNDecodedProxyItem result;
    result.proxy = std::move(single);
    return result;
}

QNDecodedProxyItem chain(const char* name, QList<QNDecodedProxy> members) {
    QNDecodedProxyItem result;
    result.isChain = true;
    result.chainName = QString::fromLatin1(name);
    result.members = std::move(members);
    return result;
}

constexpr quint32 kProxy = 1;
constexpr quint32 kDirect = 2;
constexpr quint32 kBlock = 3;
using Action = QNRouteDecision::Action;

} // namespace

// Which rule decides, for destinations inside, on and outside each kind of host and port entry.
TEST(RuleMatcher, AddressesAndPortsFirstMatchWins) {
    QNDecodedProfile profile;
    profile.rules = {
        rule("one v4", kBlock, QList{host(QNDecodedHost::IPv4, "10.0.0.1")}),
        rule("v4 range", kBlock, QList{host(QNDecodedHost::IPv4Range, "10.1.0.0", "10.1.255.255")}, QList{port(80)}),
        rule("v6", kBlock, QList{host(QNDecodedHost::IPv6, "fd00::1")}),
        rule("v6 range", kBlock, QList{host(QNDecodedHost::IPv6Range, "fd10::", "fd10::ffff")},
             QList{port(8000, 8080), port(22)}),
        rule("names only", kBlock, QList{host(QNDecodedHost::Name, "intranet")}),
        rule("mixed", kBlock, QList{host(QNDecodedHost::Name, "printer"), host(QNDecodedHost::IPv4, "10.3.0.3")}),
        rule("ports", kBlock, std::nullopt, QList{port(25), port(465, 587)}),
        rule("later", kDirect, QList{host(QNDecodedHost::IPv4, "10.0.0.1")}),
    };
    const QNRuleMatcher matcher(profile);
    const struct {
        QNEngineTarget target;
        const char* rule; // nullptr: no rule matched
    } cases[] = {
        {target("10.0.0.1", 443), "one v4"},
        {target("10.0.0.2", 443), nullptr},
        {target("::ffff:10.0.0.1", 443), "one v4"}, // a mapped address is its IPv4 one
        {target("10.1.0.0", 80), "v4 range"},
        {target("10.1.255.255", 80), "v4 range"},
        {target("10.2.0.0", 80), nullptr},
        {target("10.1.2.3", 81), nullptr},
        {target("fd00::1", 1), "v6"},
        {target("fd00::2", 1), nullptr},
        {target("::a00:1", 443), nullptr}, // the IPv6 address with the same low word is not 10.0.0.1
        {target("fd10::", 8000), "v6 range"},
        {target("fd10::ffff", 8080), "v6 range"},
        {target("fd10::1:0", 8000), nullptr},
        {target("fd10::1", 22), "v6 range"},
        {target("fd10::1", 8081), nullptr},
        {target("10.3.0.3", 1), "mixed"},
        {target("10.9.9.9", 465), "ports"},
        {target("10.9.9.9", 587), "ports"},
        {target("10.9.9.9", 588), nullptr},
    };
    for (const auto& c : cases) {
        const QNRouteDecision decision = matcher.route(c.target);
        SCOPED_TRACE(QNProfileStreamDecoder::addressString(c.target.address, c.target.isIPv6).toStdString());
        EXPECT_EQ(decision.ruleName, QString::fromLatin1(c.rule));
        EXPECT_EQ(decision.action, c.rule != nullptr ? Action::Block : Action::Direct);
    }
}

// A rule naming programs never matches a connection whose program is unknown; no rule means direct.
TEST(RuleMatcher, UnknownProgramsMatchNoApplicationRuleAndNoRuleMeansDirect) {
    QNDecodedProfile profile;
    QNDecodedRule apps = rule("apps", kBlock);
    apps.applications = QStringList{QStringLiteral("curl")};
    profile.rules = {apps};
    EXPECT_EQ(QNRuleMatcher(profile).route(target("10.0.0.1", 80)).action, Action::Direct);

    profile.rules.append(rule("all", kBlock));
    const QNRouteDecision decision = QNRuleMatcher(profile).route(target("10.0.0.1", 80));
    EXPECT_EQ(decision.ruleName, "all");
    EXPECT_EQ(decision.action, Action::Block);
}

TEST(RuleMatcher, ProxiesChainsAndFilterPorts) {
    QNDecodedProfile profile;
    profile.proxies = {
        item(proxy("web only", 3, "10.0.0.2", 1080, QList{port(80), port(443)})),
        chain("pair", {proxy("a", 3, "10.0.0.3", 1080), proxy("b", 6, "fd00::3", 3128, QList{port(8000, 9000)})}),
        item(proxy("any", 1, "10.0.0.4", 1080, QList<QNDecodedPortEntry>{})), // an empty filter admits all
    };
    profile.rules = {
        rule("first", kProxy, std::nullopt, std::nullopt, 0),
        rule("second", kProxy, std::nullopt, std::nullopt, 1),
        rule("third", kProxy, std::nullopt, std::nullopt, 2),
    };
    const QNRuleMatcher matcher(profile);

    QNRouteDecision decision = matcher.route(target("192.0.2.1", 443));
    EXPECT_EQ(decision.action, Action::Proxy);
    EXPECT_EQ(decision.itemName, "web only");
    EXPECT_FALSE(decision.isChain);
    ASSERT_EQ(decision.hops.size(), 1);
    EXPECT_EQ(decision.hops[0].port, 1080);

    decision = matcher.route(target("192.0.2.1", 8080));
    EXPECT_EQ(decision.ruleName, "second");
    EXPECT_TRUE(decision.isChain);
    ASSERT_EQ(decision.hops.size(), 2);
    EXPECT_EQ(decision.hops[1].name, "b");

    // Filtered out by the first proxy and by the chain's second member.
    decision = matcher.route(target("192.0.2.1", 25));
    EXPECT_EQ(decision.ruleName, "third");
    EXPECT_EQ(decision.itemName, "any");
}

TEST(RuleMatcher, AMissingProxyItemBlocks) {
    for (const std::optional<quint32> index :
         {std::optional<quint32>(0xFFFFFFFF), std::optional<quint32>(1), std::optional<quint32>()}) {
        QNDecodedProfile profile;
        profile.proxies = {item(proxy("p", 3, "10.0.0.2", 1080))};
        profile.rules = {rule("broken", kProxy, std::nullopt, std::nullopt, index)};
        const QNRouteDecision decision = QNRuleMatcher(profile).route(target("192.0.2.1", 80));
        EXPECT_EQ(decision.action, Action::Block);
        EXPECT_TRUE(decision.badProxyIndex);
    }
}

// The server of any SSH tunnel in the profile, alone or in a chain, is reached direct whatever the rules say.
TEST(RuleMatcher, TunnelServersAlwaysGoDirect) {
    QNDecodedProfile profile;
    profile.proxies = {item(proxy("ssh", 7, "10.0.0.22", 22)),
                       chain("c", {proxy("s", 3, "10.0.0.5", 1080), proxy("ssh6", 7, "fd00::22", 2222)})};
    profile.rules = {rule("everything", kBlock)};
    const QNRuleMatcher matcher(profile);
    for (const QNEngineTarget& server :
         {target("10.0.0.22", 22), target("::ffff:10.0.0.22", 22), target("fd00::22", 2222)}) {
        const QNRouteDecision decision = matcher.route(server);
        EXPECT_EQ(decision.action, Action::Direct);
        EXPECT_TRUE(decision.tunnelServer);
    }
    // Another port of the same host, or a SOCKS proxy's server, follows the rules.
    EXPECT_EQ(matcher.route(target("10.0.0.22", 23)).action, Action::Block);
    EXPECT_EQ(matcher.route(target("10.0.0.5", 1080)).action, Action::Block);
}

TEST(RuleMatcher, HostNamesMatchTheNameBehindTheAddress) {
    QNDecodedProfile profile;
    profile.rules = {
        rule("exact", kBlock, QList{host(QNDecodedHost::Name, "Intranet.Corp.test")}),
        rule("wildcard", kDirect, QList{host(QNDecodedHost::Name, "*.example.test")}, QList{port(443)}),
    };
    const QNRuleMatcher matcher(profile);
    const auto named = [](const char* name, quint16 number) {
        QNEngineTarget result = target("198.18.0.1", number);
        result.hostName = QString::fromLatin1(name);
        return result;
    };
    const struct {
        QNEngineTarget target;
        const char* rule;
    } cases[] = {
        {named("intranet.corp.test", 80), "exact"},
        {named("intranet.corp.test.", 80), "exact"}, // the root's dot changes nothing
        {named("www.intranet.corp.test", 80), nullptr},
        {named("www.example.test", 443), "wildcard"},
        {named("a.b.EXAMPLE.test", 443), "wildcard"},
        {named("example.test", 443), nullptr}, // "*." asks for a name below
        {named("badexample.test", 443), nullptr},
        {named("www.example.test", 80), nullptr},
        {target("198.18.0.1", 80), nullptr}, // no name known
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.hostName.toStdString());
        EXPECT_EQ(matcher.route(c.target).ruleName, QString::fromLatin1(c.rule));
    }
}

TEST(RuleMatcher, ApplicationsByFileNameOrFullPath) {
    const struct {
        const char* entry;
        const char* executable;
        bool matches;
    } cases[] = {
        {"curl", "/usr/bin/curl", true},
        {"/usr/bin/curl", "/usr/bin/curl", true},
        {"/usr/local/bin/curl", "/usr/bin/curl", false},
        {"cur", "/usr/bin/curl", false},
        {"bin/curl", "/usr/bin/curl", false}, // a path must be whole
        {"curl", "", false},                  // the program is unknown
        {"", "/usr/bin/curl", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QNRuleMatcher::applicationMatches(QString::fromLatin1(c.entry), QString::fromLatin1(c.executable)),
                  c.matches)
            << c.entry << " / " << c.executable;
    }
}

TEST(RuleMatcher, DNSEntriesDecideWhereNamesResolve) {
    const auto entry = [](std::optional<QStringList> hosts, quint32 resolve) {
        QNDecodedDNS result;
        result.hosts = std::move(hosts);
        result.resolve = resolve;
        return result;
    };
    QNDecodedProfile profile;
    profile.dns = {entry(QStringList{QStringLiteral("*.corp.test"), QStringLiteral("printer.home")}, 0),
                   entry(QStringList{QStringLiteral("*.remote.test")}, 1), entry(std::nullopt, 1)};
    const QNRuleMatcher matcher(profile);
    const struct {
        const char* name;
        bool remote;
    } cases[] = {
        {"www.corp.test", false}, {"PRINTER.home", false}, {"a.remote.test", true}, {"www.example.org", true},
        {"printer", false},       {"nas.local", false},    {"local", false},        {"www.example.org.local", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matcher.resolvesRemotely(QString::fromLatin1(c.name)), c.remote) << c.name;
    }
    // With no entry matching, names stay local.
    profile.dns.removeLast();
    EXPECT_FALSE(QNRuleMatcher(profile).resolvesRemotely(QStringLiteral("www.example.org")));
    EXPECT_TRUE(QNRuleMatcher(profile).resolvesRemotely(QStringLiteral("x.remote.test")));
}
