// The settings dictionaries of proxies, chains, rules and DNS entries, their copies, and the proxy's texts.

#include "model/QNDNS.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "test_settings_support.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

using qntest::expectSameSettings;
using qntest::number;

namespace {

std::shared_ptr<QNProxy> fullProxy() {
    return QNProxy::proxyWithName("Office", QNProxyTypeSSHTunnel, "192.0.2.10", 2222, "alice", "secret",
                                  {"80", "1000-2000"}, true, QNProxyCipherAES256CTR, QByteArray("client-key"),
                                  "client-pass", QByteArray("server-key"), "server-pass", 30);
}

std::shared_ptr<QNProxy> proxyOfType(quint32 type) {
    auto proxy = QNProxy::proxy();
    proxy->setType(type);
    return proxy;
}

// An item read from a dictionary, written out again.
template <typename Item> QVariantMap readBack(const QVariantMap& settings) {
    return Item(settings).settings();
}

// Chain members by type; -1 stands for a missing member.
QList<std::shared_ptr<QNProxy>> membersOfTypes(const std::vector<int>& types) {
    QList<std::shared_ptr<QNProxy>> members;
    for (int type : types) {
        members.append(type < 0 ? nullptr : proxyOfType(quint32(type)));
    }
    return members;
}

// Every dictionary whole, numbers 64 bits wide and keys as data as the preference file needs them. Each is
// read back into an item that writes the same dictionary again.
TEST(ItemSettings, WrittenDictionariesAndTheirReadBack) {
    const auto full = fullProxy();
    full->setLocalTunnelPort(49152);
    full->setServerKeyFingerprint("ab:cd");
    const QVariantMap fullSettings{{"anonymizeRequests", number(1)},
                                   {"cipher", number(QNProxyCipherAES256CTR)},
                                   {"clientKey", QByteArray("client-key")},
                                   {"clientKeyPassphrase", "client-pass"},
                                   {"filterPorts", QStringList{"80", "1000-2000"}},
                                   {"host", "192.0.2.10"},
                                   {"kind", "proxy"},
                                   {"name", "Office"},
                                   {"password", "secret"},
                                   {"port", number(2222)},
                                   {"serverAliveInterval", number(30)},
                                   {"serverKey", QByteArray("server-key")},
                                   {"serverKeyPassphrase", "server-pass"},
                                   {"type", number(QNProxyTypeSSHTunnel)},
                                   {"username", "alice"}};
    const QVariantMap newProxy{{"anonymizeRequests", number(0)},
                               {"cipher", number(0)},
                               {"filterPorts", QStringList{"80", "443", "8080"}},
                               {"kind", "proxy"},
                               {"port", number(80)},
                               {"type", number(QNProxyTypeHTTPTransparent)}};
    // The proxy is the profile's business: a rule on its own writes none.
    const auto rule = QNRule::ruleWithName("Mail", {"Mail,Thunderbird"}, {"10.0.0.0-10.255.255.255,example.org"},
                                           {"25", "587-588"}, QNRuleActionProxy, QNProxy::proxy(), true);
    const QVariantMap ruleSettings{{"name", "Mail"},
                                   {"applications", QStringList{"Mail,Thunderbird"}},
                                   {"hosts", QStringList{"10.0.0.0-10.255.255.255,example.org"}},
                                   {"ports", QStringList{"25", "587-588"}},
                                   {"action", number(QNRuleActionProxy)},
                                   {"enabled", true}};
    const auto dns = QNDNS::dnsWithName("Internal", {"corp.example,intranet"}, QNDNSResolveRemote, false);
    const QVariantMap dnsSettings{{"name", "Internal"},
                                  {"hosts", QStringList{"corp.example,intranet"}},
                                  {"resolve", number(QNDNSResolveRemote)},
                                  {"enabled", false}};
    const auto chain = QNProxyChain::proxyChainWithName("Two hops", {nullptr, QNProxy::proxy()}, false);
    const QVariantMap chainSettings{
        {"kind", "chain"}, {"name", "Two hops"}, {"open", false}, {"proxies", QVariantList{newProxy}}};

    const struct {
        const char* what;
        QVariantMap written;
        QVariantMap expected;
        QVariantMap (*readBack)(const QVariantMap&);
    } cases[] = {
        {"full proxy, run-time fields left out", full->settings(), fullSettings, readBack<QNProxy>},
        {"new proxy", QNProxy::proxy()->settings(), newProxy, readBack<QNProxy>},
        // An empty name is written; passphrases without their keys, empty filter ports (the designated
        // initialiser takes them as they are, without the defaults) and a null host are not.
        {"sparse proxy",
         QNProxy::proxyWithName("", 3, QString(), 0, {}, {}, {}, false, 0, {}, "x", {}, "x", -1)->settings(),
         QVariantMap{{"anonymizeRequests", number(0)},
                     {"cipher", number(0)},
                     {"kind", "proxy"},
                     {"name", ""},
                     {"port", number(0)},
                     {"serverAliveInterval", number(-1)},
                     {"type", number(3)}},
         readBack<QNProxy>},
        {"chain, a missing member left out", chain->settings(), chainSettings, readBack<QNProxyChain>},
        {"new chain", QNProxyChain::proxyChain()->settings(),
         QVariantMap{{"kind", "chain"}, {"open", true}, {"proxies", QVariantList()}}, readBack<QNProxyChain>},
        {"rule", rule->settings(), ruleSettings, readBack<QNRule>},
        {"new rule", QNRule::rule()->settings(), QVariantMap{{"action", number(0)}, {"enabled", true}},
         readBack<QNRule>},
        // An empty name and empty lists are left out, and their absence reads as null.
        {"rule with an empty name",
         QNRule::ruleWithName("", {}, {}, {}, QNRuleActionDirect, nullptr, false)->settings(),
         QVariantMap{{"action", number(QNRuleActionDirect)}, {"enabled", false}}, readBack<QNRule>},
        {"DNS entry", dns->settings(), dnsSettings, readBack<QNDNS>},
        {"new DNS entry with an empty name", QNDNS::dnsWithName("", {}, 0, true)->settings(),
         QVariantMap{{"resolve", number(0)}, {"enabled", true}}, readBack<QNDNS>},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectSameSettings(c.written, c.expected);
        expectSameSettings(c.readBack(c.expected), c.expected);
    }

    // Read back, a proxy has no run-time fields and a rule no proxy.
    const auto read = QNProxy::proxyWithSettings(fullSettings);
    EXPECT_EQ(read->localTunnelPort(), 0);
    EXPECT_TRUE(read->serverKeyFingerprint().isNull());
    EXPECT_EQ(QNRule::ruleWithSettings(ruleSettings)->proxy(), nullptr);
    EXPECT_TRUE(QNRule::ruleWithSettings({})->name().isNull());
}

// Dictionaries come back from a file any program may have written.
TEST(ProxySettings, MissingOddAndOutsizeValues) {
    // Missing keys read as empty, not as the defaults of a new proxy.
    const auto empty = QNProxy::proxyWithSettings({});
    EXPECT_EQ(empty->type(), 0u);
    EXPECT_EQ(empty->port(), 0);
    EXPECT_TRUE(empty->filterPorts().isEmpty());

    // setSettings overwrites fields whose key is missing; the run-time fields stay.
    auto existing = fullProxy();
    existing->setLocalTunnelPort(5000);
    existing->setServerKeyFingerprint("ab");
    existing->setSettings({{"type", number(1)}});
    EXPECT_EQ(existing->type(), QNProxyTypeSOCKS4);
    EXPECT_TRUE(existing->host().isNull());
    EXPECT_TRUE(existing->serverKey().isNull());
    EXPECT_FALSE(existing->anonymizeRequests());
    EXPECT_EQ(existing->localTunnelPort(), 5000);
    EXPECT_EQ(existing->serverKeyFingerprint(), "ab");

    // Values of the wrong kind read as absent; a generic list of filter ports keeps only its texts.
    const auto wrong =
        QNProxy::proxyWithSettings({{"name", number(5)},
                                    {"host", QVariantList{"192.0.2.1"}},
                                    {"username", QByteArray("bytes")},
                                    {"filterPorts", QVariantList{"80", 443, "8000-8080", QVariantList{"1"}}},
                                    {"clientKey", QString("text, not data")},
                                    {"serverKey", number(1)}});
    EXPECT_TRUE(wrong->name().isNull());
    EXPECT_TRUE(wrong->host().isNull());
    EXPECT_TRUE(wrong->username().isNull());
    EXPECT_EQ(wrong->filterPorts(), QStringList({"80", "8000-8080"}));
    EXPECT_TRUE(wrong->clientKey().isNull());
    EXPECT_TRUE(wrong->serverKey().isNull());
    EXPECT_TRUE(QNProxy::proxyWithSettings({{"filterPorts", QVariantMap{{"80", "80"}}}})->filterPorts().isEmpty());

    // Numbers are narrowed to the width of their field (how texts and other kinds read as numbers is the
    // value readers' business).
    struct Case {
        QString key;
        QVariant value;
        qint64 expected;
    };
    const Case cases[] = {
        {"port", number(70000), 4464},
        {"port", number(-1), 65535},
        {"type", number((qint64(1) << 32) + 3), 3},
        {"cipher", number((qint64(1) << 32) + 2), 2},
        {"anonymizeRequests", number(256), 0},
        {"anonymizeRequests", number(2), 1},
        {"serverAliveInterval", number(qint64(1) << 40), qint64(1) << 40},
    };
    for (const Case& c : cases) {
        const auto proxy = QNProxy::proxyWithSettings({{c.key, c.value}});
        const qint64 actual = c.key == "port"                ? qint64(proxy->port())
                              : c.key == "type"              ? qint64(proxy->type())
                              : c.key == "cipher"            ? qint64(proxy->cipher())
                              : c.key == "anonymizeRequests" ? qint64(proxy->anonymizeRequests())
                                                             : proxy->serverAliveInterval();
        EXPECT_EQ(actual, c.expected) << c.key.toStdString() << " = " << c.value.toString().toStdString();
    }
}

TEST(ProxySettings, TypeNamesAndSummary) {
    // An empty table yields the keys themselves, which pins the key of each type.
    const QNStrings keysOnly;
    const char* keys[] = {"SOCKS4",      "SOCKS4a",  "SOCKS5", "HTTPTransparent", "HTTPNonTransparent",
                          "HTTPConnect", "sshTunnel"};
    for (quint32 type = 1; type <= 7; ++type) {
        EXPECT_EQ(QNProxy::proxyTypeName(type, keysOnly), QString(keys[type - 1])) << type;
    }
    EXPECT_TRUE(QNProxy::proxyTypeName(0, keysOnly).isNull());
    EXPECT_TRUE(QNProxy::proxyTypeName(8, keysOnly).isNull());

    const QNStrings bundle({{"SOCKS5", "S5"}, {"localhost", "here"}});
    struct Case {
        QString name;
        quint32 type;
        quint16 tunnelPort;
        QString expected;
    };
    const Case cases[] = {
        {"Office", 3, 0, "Office - S5 - 192.0.2.10:1080"},
        {"Office", 3, 49152, "Office - S5 - 192.0.2.10:1080 (here:49152)"},
        {QString(), 3, 0, "S5 - 192.0.2.10:1080"},
        {"", 3, 0, " - S5 - 192.0.2.10:1080"},
        {QString(), 42, 0, " - 192.0.2.10:1080"},
    };
    for (const Case& c : cases) {
        auto proxy =
            QNProxy::proxyWithName(c.name, c.type, "192.0.2.10", 1080, {}, {}, {}, false, 0, {}, {}, {}, {}, 0);
        proxy->setLocalTunnelPort(c.tunnelPort);
        EXPECT_EQ(proxy->summaryWithResourceBundle(bundle), c.expected);
    }
}

// Members are always proxies whatever kind they claim; what is no dictionary is skipped; no "open" is closed.
TEST(ChainSettings, OddDictionaries) {
    const auto odd =
        QNProxyChain::proxyChainWithSettings({{"proxies", QVariantList{QVariantMap{{"kind", "chain"}, {"type", 6}},
                                                                       QString("junk"), 5, QVariantMap{{"type", 3}}}}});
    EXPECT_FALSE(odd->open());
    EXPECT_TRUE(odd->name().isNull());
    ASSERT_EQ(odd->proxies().size(), 2);
    EXPECT_EQ(odd->proxies().at(0)->type(), QNProxyTypeHTTPConnect);
    EXPECT_EQ(odd->proxies().at(1)->type(), QNProxyTypeSOCKS5);
    EXPECT_TRUE(QNProxyChain::proxyChainWithSettings({{"proxies", QVariantMap{{"a", 1}}}})->proxies().isEmpty());
}

// An optional tunnel first, then SOCKS proxies, then at most one HTTP proxy, last.
TEST(ChainSettings, ValidateChain) {
    struct Case {
        std::vector<int> types;
        bool valid;
    };
    const Case cases[] = {
        {{}, true},         {{3, 6}, true},  {{6, 3}, false},   {{4, 6}, false}, {{7, 3, 5}, true},
        {{3, 7}, false},    {{7, 7}, false}, {{1, 2, 3}, true}, {{7, 4}, true},  {{3, 9, 0, 3}, true},
        {{7, 6, 3}, false}, {{-1, 3}, true}, {{6, -1}, false},
    };
    for (const Case& c : cases) {
        std::string types;
        for (int type : c.types) {
            types += std::to_string(type) + " ";
        }
        const auto chain = QNProxyChain::proxyChainWithName({}, membersOfTypes(c.types), true);
        EXPECT_EQ(chain->validateChain(), c.valid) << "[ " << types << "]";
    }
}

TEST(RuleAndDNSSettings, OddValues) {
    // setSettings replaces everything but the proxy.
    const auto proxy = QNProxy::proxy();
    const auto rule = QNRule::ruleWithName("Mail", {}, {}, {"25"}, QNRuleActionProxy, proxy, true);
    rule->setSettings({{"action", number(2)}});
    EXPECT_EQ(rule->proxy(), proxy);
    EXPECT_FALSE(rule->enabled());
    EXPECT_TRUE(rule->ports().isEmpty());

    struct Case {
        QVariantMap settings;
        quint32 action;
        bool enabled;
    };
    const Case cases[] = {
        {{}, 0, false},
        {{{"action", number((qint64(1) << 32) + 2)}, {"enabled", number(0)}}, 2, false},
        {{{"action", number(-1)}, {"enabled", number(2)}}, 0xFFFFFFFF, true},
        {{{"action", QVariantList{1}}, {"enabled", QVariantMap{}}}, 0, false},
    };
    for (const Case& c : cases) {
        const auto odd = QNRule::ruleWithSettings(c.settings);
        EXPECT_EQ(odd->action(), c.action);
        EXPECT_EQ(odd->enabled(), c.enabled);
    }
    const auto generic = QNRule::ruleWithSettings({{"hosts", QVariantList{"a", "b"}}, {"ports", QString("80")}});
    EXPECT_EQ(generic->hosts(), QStringList({"a", "b"}));
    EXPECT_TRUE(generic->ports().isEmpty());

    // What a property-list reader gives back: 32-bit numbers, generic lists.
    const auto oddDNS = QNDNS::dnsWithSettings(
        {{"name", number(1)}, {"resolve", number((qint64(1) << 32) + 1)}, {"hosts", QVariantList{"a"}}});
    EXPECT_TRUE(oddDNS->name().isNull());
    EXPECT_EQ(oddDNS->hosts(), QStringList({"a"}));
    EXPECT_EQ(oddDNS->resolve(), QNDNSResolveRemote);
    EXPECT_FALSE(oddDNS->enabled());
}

TEST(ItemSettings, CopiesAreDistinctAndShareWhatTheyPointAt) {
    // A proxy copy keeps the tunnel port and drops the fingerprint.
    const auto proxy = fullProxy();
    proxy->setLocalTunnelPort(49152);
    proxy->setServerKeyFingerprint("ab:cd");
    const auto proxyCopy = proxy->copy();
    EXPECT_EQ(proxyCopy->settings(), proxy->settings());
    EXPECT_EQ(proxyCopy->localTunnelPort(), 49152);
    EXPECT_TRUE(proxyCopy->serverKeyFingerprint().isNull());
    proxyCopy->setHost("198.51.100.1");
    EXPECT_EQ(proxy->host(), "192.0.2.10");

    // A chain copy has its own list of the same members.
    const auto chain = QNProxyChain::proxyChainWithName("c", membersOfTypes({3, 6}), false);
    const auto chainCopy = chain->copy();
    EXPECT_EQ(chainCopy->settings(), chain->settings());
    EXPECT_EQ(chainCopy->proxies(), chain->proxies());
    chainCopy->proxies().append(proxyOfType(1));
    EXPECT_EQ(chain->proxies().size(), 2);

    // A rule copy points at the same proxy.
    const auto rule = QNRule::ruleWithName("r", {"App"}, {}, {}, QNRuleActionProxy, proxy, true);
    const auto ruleCopy = rule->copy();
    EXPECT_EQ(ruleCopy->proxy().get(), proxy.get());
    EXPECT_EQ(ruleCopy->settings(), rule->settings());
    ruleCopy->setName("changed");
    EXPECT_EQ(rule->name(), "r");

    const auto dns = QNDNS::dnsWithName("d", {"a"}, 1, true);
    const auto dnsCopy = dns->copy();
    EXPECT_EQ(dnsCopy->settings(), dns->settings());
    dnsCopy->setEnabled(false);
    EXPECT_TRUE(dns->enabled());
}

} // namespace
