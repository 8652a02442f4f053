#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "test_settings_support.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

using qntest::number;

namespace {

const QNStrings& bundle() {
    static const QNStrings strings(
        {{"myProxy", "Mine"}, {"private", "Private"}, {"loopback", "Loop"}, {"default", "Everything"}});
    return strings;
}

std::shared_ptr<QNRule> proxyRule(const std::shared_ptr<QNProxyItem>& proxy) {
    return QNRule::ruleWithName("to proxy", {}, {}, {}, QNRuleActionProxy, proxy, true);
}

// The whole dictionary, so it also shows that the proxy rule points at the profile's own proxy.
TEST(ProfileTest, DefaultProfile) {
    const auto profile = QNProfile::profileWithIdentifier(7, bundle());
    EXPECT_TRUE(profile->name().isNull());
    const QVariantMap proxy{{"anonymizeRequests", number(0)},
                            {"cipher", number(0)},
                            {"host", kQNProfileProxyServerDefault},
                            {"kind", "proxy"},
                            {"name", "Mine"},
                            {"port", number(1080)},
                            {"type", number(QNProxyTypeSOCKS5)}};
    const QStringList privateRanges = {"10.0.0.0-10.255.255.255", "169.254.0.0-169.254.255.255",
                                       "172.16.0.0-172.31.255.255", "192.168.0.0-192.168.255.255", "fd00::-fdff::"};
    const QVariantList rules = {
        QVariantMap{{"name", "Private"}, {"hosts", privateRanges}, {"action", number(2)}, {"enabled", true}},
        QVariantMap{
            {"name", "Loop"}, {"hosts", QStringList{"127.0.0.1", "::1"}}, {"action", number(2)}, {"enabled", true}},
        QVariantMap{{"name", "Everything"}, {"action", number(1)}, {"proxyIndex", number(0)}, {"enabled", true}},
    };
    const QVariantList dns = {QVariantMap{{"name", "Everything"}, {"resolve", number(1)}, {"enabled", true}}};
    qntest::expectSameSettings(
        profile->settings(),
        QVariantMap{{"identifier", number(7)}, {"proxies", QVariantList{proxy}}, {"rules", rules}, {"dns", dns}});
}

TEST(ProfileTest, ResetRulesWithoutProxiesSendsDirect) {
    QNProfile profile(1, bundle());
    profile.proxies().clear();
    profile.rules().clear();
    profile.resetRulesWithResourceBundle(bundle());
    ASSERT_EQ(profile.rules().size(), 3);
    EXPECT_EQ(profile.rules().last()->action(), QNRuleActionDirect);
    EXPECT_EQ(profile.rules().last()->proxy(), nullptr);

    profile.dns().append(QNDNS::dns());
    profile.resetDNSWithResourceBundle(bundle());
    EXPECT_EQ(profile.dns().size(), 1);
}

TEST(ProfileTest, SavedProxyIndexesFollowIdentity) {
    const auto chain = QNProxyChain::proxyChain();
    const auto proxy = QNProxy::proxy();
    const auto twin = proxy->copy();                   // equal to proxy, but another object
    const auto bare = std::make_shared<QNProxyItem>(); // says "proxy" but cannot write itself
    const auto stranger = QNProxy::proxy();
    QNProfile profile("p", {chain, bare, nullptr, proxy, twin}, {}, {}, 3);
    profile.setRules({proxyRule(proxy), proxyRule(twin), proxyRule(chain), proxyRule(nullptr), proxyRule(stranger),
                      proxyRule(bare), QNRule::ruleWithName("direct", {}, {}, {}, QNRuleActionDirect, proxy, true)});

    const QVariantMap settings = profile.settings();
    EXPECT_EQ(settings.value("proxies").toList().size(), 3);
    QList<qint64> actions;
    QList<qint64> indexes; // -1: no key
    for (const QVariant& rule : settings.value("rules").toList()) {
        actions << rule.toMap().value("action").toLongLong();
        indexes << rule.toMap().value("proxyIndex", -1).toLongLong();
    }
    EXPECT_EQ(actions, QList<qint64>({1, 1, 1, 3, 3, 3, 2}));
    EXPECT_EQ(indexes, QList<qint64>({1, 2, 0, -1, -1, -1, -1}));
    // Saving never changes the profile itself.
    EXPECT_EQ(profile.rules()[3]->action(), QNRuleActionProxy);

    // Read back, the rules point at the new objects in the same places.
    const auto read = QNProfile::profileWithSettings(settings);
    ASSERT_EQ(read->proxies().size(), 3);
    EXPECT_EQ(read->proxies()[0]->kind(), QNProxyItemKindChain);
    EXPECT_EQ(read->rules()[0]->proxy(), read->proxies()[1]);
    EXPECT_EQ(read->rules()[1]->proxy(), read->proxies()[2]);
    EXPECT_EQ(read->rules()[2]->proxy(), read->proxies()[0]);
    EXPECT_EQ(read->rules()[3]->action(), QNRuleActionBlock);
    EXPECT_EQ(read->rules()[3]->proxy(), nullptr);
}

TEST(ProfileTest, ReadProxyIndexResolution) {
    const QVariantList twoItems{QVariantMap{{"kind", "chain"}}, QVariantMap{{"kind", "proxy"}}};
    // Only exact kinds are kept, and indexes count the kept items.
    const QVariantList oddItems{QVariantMap{{"kind", "Proxy"}}, QVariantMap{{"name", "no kind"}},
                                QVariantMap{{"kind", 1}},       QString("not a dictionary"),
                                QVariantMap{{"kind", "proxy"}}, QVariantMap{{"kind", "CHAIN"}},
                                QVariantMap{{"kind", "chain"}}};
    struct Case {
        const char* what;
        QVariantList proxies;
        QVariantMap rule;
        int item; // -1: blocked, -2: left direct
    };
    const Case cases[] = {
        {"index 1", twoItems, {{"action", 1}, {"proxyIndex", 1}}, 1},
        {"index at the end", twoItems, {{"action", 1}, {"proxyIndex", 2}}, -1},
        {"index -1", twoItems, {{"action", 1}, {"proxyIndex", -1}}, -1},
        {"huge index", twoItems, {{"action", 1}, {"proxyIndex", number(qint64(1) << 32)}}, -1},
        {"absent index", twoItems, {{"action", 1}}, 0},
        {"no items", {}, {{"action", 1}}, -1},
        {"only proxy rules are resolved", twoItems, {{"action", 2}, {"proxyIndex", 0}}, -2},
        {"odd kinds skipped", oddItems, {{"action", 1}, {"proxyIndex", 1}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto profile = QNProfile::profileWithSettings({{"proxies", c.proxies}, {"rules", QVariantList{c.rule}}});
        ASSERT_EQ(profile->proxies().size(), c.proxies.isEmpty() ? 0 : 2);
        ASSERT_EQ(profile->rules().size(), 1);
        const auto& rule = profile->rules().first();
        EXPECT_EQ(rule->action(), c.item == -2   ? QNRuleActionDirect
                                  : c.item == -1 ? QNRuleActionBlock
                                                 : QNRuleActionProxy);
        EXPECT_EQ(rule->proxy(), c.item < 0 ? nullptr : profile->proxies().at(c.item));
    }
}

TEST(ProfileTest, MissingAndOddTopLevelValues) {
    const auto empty = QNProfile::profileWithSettings({});
    EXPECT_TRUE(empty->name().isNull());
    EXPECT_EQ(empty->identifier(), 0u);
    EXPECT_TRUE(empty->proxies().isEmpty());
    EXPECT_TRUE(empty->rules().isEmpty());
    EXPECT_TRUE(empty->dns().isEmpty());
    EXPECT_EQ(empty->settings(), QVariantMap({{"identifier", number(0)}}));

    const auto odd = QNProfile::profileWithSettings({{"name", QVariantList{}},
                                                     {"identifier", number((qint64(1) << 32) + 9)},
                                                     {"proxies", QVariantMap{{"kind", "proxy"}}},
                                                     {"rules", QString("rules")},
                                                     {"dns", QVariantList{5, QVariantMap{{"resolve", 1}}}}});
    EXPECT_TRUE(odd->name().isNull());
    EXPECT_EQ(odd->identifier(), 9u);
    EXPECT_TRUE(odd->proxies().isEmpty());
    EXPECT_TRUE(odd->rules().isEmpty());
    ASSERT_EQ(odd->dns().size(), 1);
    EXPECT_EQ(odd->dns().first()->resolve(), QNDNSResolveRemote);

    // An empty name is a name.
    QNProfile named("", {}, {}, {}, 1);
    EXPECT_TRUE(named.settings().contains("name"));
}

TEST(ProfileTest, CopyDuplicatesItemsAndRepointsRules) {
    const auto proxy = QNProxy::proxy();
    proxy->setLocalTunnelPort(40000);
    const auto chain = QNProxyChain::proxyChain();
    const auto stranger = QNProxy::proxy();
    const auto original = QNProfile::profileWithName(
        "p", {proxy, chain, proxy}, {proxyRule(chain), proxyRule(proxy), proxyRule(stranger), proxyRule(nullptr)},
        {QNDNS::dns()}, 5);

    const auto copy = original->copy();
    EXPECT_EQ(copy->name(), "p");
    EXPECT_EQ(copy->identifier(), 5u);
    ASSERT_EQ(copy->proxies().size(), 3);
    EXPECT_NE(copy->proxies()[0], proxy);
    EXPECT_NE(copy->proxies()[1], chain);
    // An item listed twice stays one object.
    EXPECT_EQ(copy->proxies()[0], copy->proxies()[2]);
    EXPECT_EQ(std::dynamic_pointer_cast<QNProxy>(copy->proxies()[0])->localTunnelPort(), 40000);

    ASSERT_EQ(copy->rules().size(), 4);
    EXPECT_NE(copy->rules()[0], original->rules()[0]);
    EXPECT_EQ(copy->rules()[0]->proxy(), copy->proxies()[1]);
    EXPECT_EQ(copy->rules()[1]->proxy(), copy->proxies()[0]);
    EXPECT_EQ(copy->rules()[2]->proxy(), stranger);
    EXPECT_EQ(copy->rules()[3]->proxy(), nullptr);
    EXPECT_NE(copy->dns()[0], original->dns()[0]);

    // Re-pointed rules save the same indexes as the original.
    EXPECT_EQ(copy->settings(), original->settings());

    copy->proxies().removeLast();
    copy->rules().first()->setName("changed");
    EXPECT_EQ(original->proxies().size(), 3);
    EXPECT_EQ(original->rules().first()->name(), "to proxy");
    EXPECT_EQ(original->rules().first()->proxy(), chain);
}

} // namespace
