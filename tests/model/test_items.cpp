// The settings dictionaries of proxies, chains, rules and DNS entries, their copies, and the proxy's texts.

#include "model/QNDNS.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

QVariant number(qint64 value) {
    return QVariant::fromValue<qint64>(value);
}

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

// Chain members by type; -1 stands for a missing member.
QList<std::shared_ptr<QNProxy>> membersOfTypes(const std::vector<int>& types) {
    QList<std::shared_ptr<QNProxy>> members;
    for (int type : types) {
        members.append(type < 0 ? nullptr : proxyOfType(quint32(type)));
    }
    return members;
}

TEST(ItemSettings, NewItemsWriteTheirDefaultsAndNoEmptyNames) {
    EXPECT_EQ(QNProxy::proxy()->settings(), (QVariantMap{{"anonymizeRequests", number(0)},
                                                         {"cipher", number(0)},
                                                         {"filterPorts", QStringList{"80", "443", "8080"}},
                                                         {"kind", QString("proxy")},
                                                         {"port", number(80)},
                                                         {"type", number(4)}}));
    EXPECT_EQ(QNProxyChain::proxyChain()->settings(),
              (QVariantMap{{"kind", QString("chain")}, {"open", true}, {"proxies", QVariantList()}}));
    EXPECT_EQ(QNRule::rule()->settings(), (QVariantMap{{"action", number(0)}, {"enabled", true}}));
    EXPECT_EQ(QNDNS::dns()->settings(), (QVariantMap{{"resolve", number(0)}, {"enabled", true}}));

    // A rule or DNS entry leaves out an empty name and empty lists, and reads their absence as null.
    const auto rule = QNRule::ruleWithName("", {}, {}, {}, QNRuleActionDirect, nullptr, false);
    EXPECT_EQ(rule->settings(), (QVariantMap{{"action", number(2)}, {"enabled", false}}));
    EXPECT_TRUE(QNRule::ruleWithSettings(rule->settings())->name().isNull());
    EXPECT_FALSE(QNDNS::dnsWithName("", {}, 0, true)->settings().contains("name"));
}

// What a full proxy writes is pinned by the round trip below; these are the keys left out.
TEST(ProxySettings, KeysWrittenOnlyUnderTheirCondition) {
    struct Case {
        const char* what;
        std::function<void(QNProxy&)> change;
        QString key;
        bool written;
    };
    const Case cases[] = {
        {"null name", [](QNProxy&) {}, "name", false},
        {"empty name", [](QNProxy& p) { p.setName(""); }, "name", true},
        {"null host", [](QNProxy&) {}, "host", false},
        {"empty filter ports", [](QNProxy& p) { p.setFilterPorts({}); }, "filterPorts", false},
        {"client passphrase without key", [](QNProxy& p) { p.setClientKeyPassphrase("x"); }, "clientKeyPassphrase",
         false},
        {"server passphrase without key", [](QNProxy& p) { p.setServerKeyPassphrase("x"); }, "serverKeyPassphrase",
         false},
        {"keep-alive 0", [](QNProxy&) {}, "serverAliveInterval", false},
        {"keep-alive -1", [](QNProxy& p) { p.setServerAliveInterval(-1); }, "serverAliveInterval", true},
        {"local tunnel port", [](QNProxy& p) { p.setLocalTunnelPort(49152); }, "localTunnelPort", false},
        {"fingerprint", [](QNProxy& p) { p.setServerKeyFingerprint("ab:cd"); }, "serverKeyFingerprint", false},
    };
    for (const Case& c : cases) {
        QNProxy proxy;
        c.change(proxy);
        EXPECT_EQ(proxy.settings().contains(c.key), c.written) << c.what;
    }
    // The designated initialiser takes null filter ports as they are, without the defaults.
    const auto bare = QNProxy::proxyWithName("n", 3, "h", 1, {}, {}, {}, false, 0, {}, {}, {}, {}, 0);
    EXPECT_FALSE(bare->settings().contains("filterPorts"));
}

TEST(ProxySettings, RoundTripKeepsEveryPersistentField) {
    const auto original = fullProxy();
    original->setLocalTunnelPort(49152);
    original->setServerKeyFingerprint("ab:cd");
    const QVariantMap settings = original->settings();
    // Written 64 bits wide and as data where the preference file needs it.
    EXPECT_EQ(settings.value("port").metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(settings.value("clientKey").metaType().id(), QMetaType::QByteArray);
    EXPECT_EQ(settings.value("filterPorts").metaType().id(), QMetaType::QStringList);
    EXPECT_EQ(settings.value("anonymizeRequests"), number(1));

    const auto read = QNProxy::proxyWithSettings(settings);
    EXPECT_EQ(read->settings(), settings);
    const QStringList texts = {read->name(),
                               read->host(),
                               read->username(),
                               read->password(),
                               read->clientKeyPassphrase(),
                               read->serverKeyPassphrase()};
    EXPECT_EQ(texts, QStringList({"Office", "192.0.2.10", "alice", "secret", "client-pass", "server-pass"}));
    EXPECT_EQ(read->type(), QNProxyTypeSSHTunnel);
    EXPECT_EQ(read->port(), 2222);
    EXPECT_EQ(read->filterPorts(), QStringList({"80", "1000-2000"}));
    EXPECT_TRUE(read->anonymizeRequests());
    EXPECT_EQ(read->cipher(), QNProxyCipherAES256CTR);
    EXPECT_EQ(read->clientKey(), QByteArray("client-key"));
    EXPECT_EQ(read->serverKey(), QByteArray("server-key"));
    EXPECT_EQ(read->serverAliveInterval(), 30);
    // The run-time fields are not saved.
    EXPECT_EQ(read->localTunnelPort(), 0);
    EXPECT_TRUE(read->serverKeyFingerprint().isNull());
}

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

    // Numbers are narrowed to the width of their field.
    struct Case {
        QString key;
        QVariant value;
        qint64 expected;
    };
    const Case cases[] = {
        {"port", number(65536), 0},
        {"port", number(70000), 4464},
        {"port", number(-1), 65535},
        {"port", QVariant(int(1080)), 1080},
        {"port", QVariant(QString("8080")), 8080},
        {"port", QVariant(QVariantMap{{"a", 1}}), 0},
        {"type", number(-1), 0xFFFFFFFF},
        {"type", number((qint64(1) << 32) + 3), 3},
        {"type", QVariant(QString("5")), 5},
        {"cipher", number((qint64(1) << 32) + 2), 2},
        {"anonymizeRequests", number(256), 0},
        {"anonymizeRequests", number(2), 1},
        {"anonymizeRequests", QVariant(QString("1")), 1},
        {"serverAliveInterval", number(qint64(1) << 40), qint64(1) << 40},
        {"serverAliveInterval", QVariant(QString("30")), 30},
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

TEST(ChainSettings, RoundTripAndOddDictionaries) {
    const auto chain = QNProxyChain::proxyChainWithName("Two hops", membersOfTypes({7, 3}), false);
    chain->proxies().first()->setHost("ssh.example.org");
    const QVariantMap settings = chain->settings();
    EXPECT_EQ(settings.value("proxies").toList().first().toMap().value("kind"), QVariant(QString("proxy")));
    const auto read = QNProxyChain::proxyChainWithSettings(settings);
    EXPECT_EQ(read->settings(), settings);
    EXPECT_EQ(read->name(), "Two hops");
    EXPECT_FALSE(read->open());
    ASSERT_EQ(read->proxies().size(), 2);
    EXPECT_EQ(read->proxies().at(0)->host(), "ssh.example.org");
    EXPECT_EQ(read->proxies().at(1)->type(), QNProxyTypeSOCKS5);

    // No "open": closed. A member claiming to be a chain is still a proxy; non-dictionaries are skipped.
    const auto odd =
        QNProxyChain::proxyChainWithSettings({{"proxies", QVariantList{QVariantMap{{"kind", "chain"}, {"type", 6}},
                                                                       QString("junk"), 5, QVariantMap{{"type", 3}}}}});
    EXPECT_FALSE(odd->open());
    EXPECT_TRUE(odd->name().isNull());
    ASSERT_EQ(odd->proxies().size(), 2);
    EXPECT_EQ(odd->proxies().at(0)->type(), QNProxyTypeHTTPConnect);
    EXPECT_EQ(odd->proxies().at(1)->type(), QNProxyTypeSOCKS5);
    EXPECT_TRUE(QNProxyChain::proxyChainWithSettings({{"proxies", QVariantMap{{"a", 1}}}})->proxies().isEmpty());

    // A missing member is not written.
    EXPECT_EQ(QNProxyChain::proxyChainWithName("gaps", membersOfTypes({-1, 3}), true)
                  ->settings()
                  .value("proxies")
                  .toList()
                  .size(),
              1);
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

TEST(RuleAndDNSSettings, RoundTripAndOddValues) {
    const auto proxy = QNProxy::proxy();
    const auto rule = QNRule::ruleWithName("Mail", {"Mail,Thunderbird"}, {"10.0.0.0-10.255.255.255,example.org"},
                                           {"25", "587-588"}, QNRuleActionProxy, proxy, true);
    const QVariantMap settings = rule->settings();
    // The proxy is the profile's business: a rule on its own writes and reads none.
    EXPECT_FALSE(settings.contains("proxy"));
    EXPECT_FALSE(settings.contains("proxyIndex"));
    const auto read = QNRule::ruleWithSettings(settings);
    EXPECT_EQ(read->settings(), settings);
    EXPECT_EQ(read->name(), "Mail");
    EXPECT_EQ(read->applications(), QStringList({"Mail,Thunderbird"}));
    EXPECT_EQ(read->hosts(), QStringList({"10.0.0.0-10.255.255.255,example.org"}));
    EXPECT_EQ(read->ports(), QStringList({"25", "587-588"}));
    EXPECT_EQ(read->action(), QNRuleActionProxy);
    EXPECT_EQ(read->proxy(), nullptr);
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
        {{{"action", QString("3")}, {"enabled", QString("YES")}}, 3, true},
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

    const auto dns = QNDNS::dnsWithName("Internal", {"corp.example,intranet"}, QNDNSResolveRemote, false);
    const auto readDNS = QNDNS::dnsWithSettings(dns->settings());
    EXPECT_EQ(readDNS->settings(), dns->settings());
    EXPECT_EQ(readDNS->name(), "Internal");
    EXPECT_EQ(readDNS->hosts(), QStringList({"corp.example,intranet"}));
    EXPECT_EQ(readDNS->resolve(), QNDNSResolveRemote);
    EXPECT_FALSE(readDNS->enabled());
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
    EXPECT_NE(proxyCopy.get(), proxy.get());
    EXPECT_EQ(proxyCopy->settings(), proxy->settings());
    EXPECT_EQ(proxyCopy->localTunnelPort(), 49152);
    EXPECT_TRUE(proxyCopy->serverKeyFingerprint().isNull());
    proxyCopy->setHost("198.51.100.1");
    EXPECT_EQ(proxy->host(), "192.0.2.10");

    // A chain copy has its own list of the same members.
    const auto chain = QNProxyChain::proxyChainWithName("c", membersOfTypes({3, 6}), false);
    const auto chainCopy = chain->copy();
    EXPECT_EQ(chainCopy->settings(), chain->settings());
    ASSERT_EQ(chainCopy->proxies().size(), 2);
    EXPECT_EQ(chainCopy->proxies().at(0).get(), chain->proxies().at(0).get());
    EXPECT_EQ(chainCopy->proxies().at(1).get(), chain->proxies().at(1).get());
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
