#include "model/QNDNS.h"
#include "model/QNProxy.h"
#include "model/QNRule.h"

#include <gtest/gtest.h>

namespace {

QVariant number(qint64 value) {
    return QVariant::fromValue<qint64>(value);
}

TEST(RuleTest, InitAndItsDictionary) {
    const auto rule = QNRule::rule();
    EXPECT_TRUE(rule->enabled());
    EXPECT_EQ(rule->action(), 0u);
    EXPECT_EQ(rule->proxy(), nullptr);
    EXPECT_EQ(rule->settings(), QVariantMap({{"action", number(0)}, {"enabled", true}}));
}

TEST(RuleTest, EmptyNameAndListsAreNotWrittenAndReadBackEmpty) {
    const auto rule = QNRule::ruleWithName("", {}, {}, {}, QNRuleActionDirect, nullptr, false);
    const QVariantMap settings = rule->settings();
    EXPECT_EQ(settings, QVariantMap({{"action", number(2)}, {"enabled", false}}));
    const auto read = QNRule::ruleWithSettings(settings);
    EXPECT_TRUE(read->name().isNull());
    EXPECT_TRUE(read->hosts().isEmpty());
}

TEST(RuleTest, SettingsRoundTripLeavesTheProxyAlone) {
    const auto proxy = QNProxy::proxy();
    const auto rule = QNRule::ruleWithName("Mail", {"Mail,Thunderbird"}, {"10.0.0.0-10.255.255.255,example.org"},
                                           {"25", "587-588"}, QNRuleActionProxy, proxy, true);
    const QVariantMap settings = rule->settings();
    EXPECT_FALSE(settings.contains("proxy"));
    EXPECT_FALSE(settings.contains("proxyIndex"));

    const auto read = QNRule::ruleWithSettings(settings);
    EXPECT_EQ(read->name(), "Mail");
    EXPECT_EQ(read->applications(), QStringList({"Mail,Thunderbird"}));
    EXPECT_EQ(read->hosts(), QStringList({"10.0.0.0-10.255.255.255,example.org"}));
    EXPECT_EQ(read->ports(), QStringList({"25", "587-588"}));
    EXPECT_EQ(read->action(), QNRuleActionProxy);
    EXPECT_TRUE(read->enabled());
    EXPECT_EQ(read->proxy(), nullptr);

    rule->setSettings({{"action", number(2)}});
    EXPECT_EQ(rule->proxy(), proxy);
    EXPECT_FALSE(rule->enabled());
    EXPECT_TRUE(rule->ports().isEmpty());
}

TEST(RuleTest, ReadingOddValues) {
    struct Case {
        QVariantMap settings;
        quint32 action;
        bool enabled;
    };
    const Case cases[] = {
        {{}, 0, false},
        {{{"enabled", true}}, 0, true},
        {{{"action", QString("3")}, {"enabled", QString("YES")}}, 3, true},
        {{{"action", number((qint64(1) << 32) + 2)}, {"enabled", number(0)}}, 2, false},
        {{{"action", number(-1)}, {"enabled", number(2)}}, 0xFFFFFFFF, true},
        {{{"action", QVariantList{1}}, {"enabled", QVariantMap{}}}, 0, false},
    };
    for (const Case& c : cases) {
        const auto rule = QNRule::ruleWithSettings(c.settings);
        EXPECT_EQ(rule->action(), c.action);
        EXPECT_EQ(rule->enabled(), c.enabled);
    }
    const auto generic = QNRule::ruleWithSettings({{"hosts", QVariantList{"a", "b"}}, {"ports", QString("80")}});
    EXPECT_EQ(generic->hosts(), QStringList({"a", "b"}));
    EXPECT_TRUE(generic->ports().isEmpty());
}

TEST(RuleTest, CopyPointsAtTheSameProxy) {
    const auto proxy = QNProxy::proxy();
    const auto original = QNRule::ruleWithName("r", {"App"}, {}, {}, QNRuleActionProxy, proxy, true);
    const auto copy = original->copy();
    EXPECT_NE(copy.get(), original.get());
    EXPECT_EQ(copy->proxy().get(), proxy.get());
    EXPECT_EQ(copy->settings(), original->settings());
    copy->setName("changed");
    EXPECT_EQ(original->name(), "r");
}

TEST(DNSTest, InitAndItsDictionary) {
    const auto dns = QNDNS::dns();
    EXPECT_TRUE(dns->enabled());
    EXPECT_EQ(dns->resolve(), QNDNSResolveLocal);
    EXPECT_EQ(dns->settings(), QVariantMap({{"resolve", number(0)}, {"enabled", true}}));
    dns->setName("");
    EXPECT_FALSE(dns->settings().contains("name"));
}

TEST(DNSTest, SettingsRoundTripAndOddValues) {
    const auto dns = QNDNS::dnsWithName("Internal", {"corp.example,intranet"}, QNDNSResolveRemote, false);
    const auto read = QNDNS::dnsWithSettings(dns->settings());
    EXPECT_EQ(read->name(), "Internal");
    EXPECT_EQ(read->hosts(), QStringList({"corp.example,intranet"}));
    EXPECT_EQ(read->resolve(), QNDNSResolveRemote);
    EXPECT_FALSE(read->enabled());

    const auto onlyHosts = QNDNS::dnsWithSettings({{"hosts", QVariantList{"a"}}});
    EXPECT_FALSE(onlyHosts->enabled());
    EXPECT_EQ(onlyHosts->resolve(), QNDNSResolveLocal);
    EXPECT_EQ(onlyHosts->hosts(), QStringList({"a"}));

    const auto odd = QNDNS::dnsWithSettings({{"name", number(1)}, {"resolve", number((qint64(1) << 32) + 1)}});
    EXPECT_TRUE(odd->name().isNull());
    EXPECT_EQ(odd->resolve(), QNDNSResolveRemote);
}

TEST(DNSTest, CopyIsDistinct) {
    const auto original = QNDNS::dnsWithName("d", {"a"}, 1, true);
    const auto copy = original->copy();
    EXPECT_NE(copy.get(), original.get());
    EXPECT_EQ(copy->settings(), original->settings());
    copy->setEnabled(false);
    EXPECT_TRUE(original->enabled());
}

} // namespace
