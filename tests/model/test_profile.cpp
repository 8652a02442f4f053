#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

namespace {

QVariant number(qint64 value) {
    return QVariant::fromValue<qint64>(value);
}

const QNStrings& bundle() {
    static const QNStrings strings(
        {{"myProxy", "Mine"}, {"private", "Private"}, {"loopback", "Loop"}, {"default", "Everything"}});
    return strings;
}

std::shared_ptr<QNRule> proxyRule(const std::shared_ptr<QNProxyItem>& proxy) {
    return QNRule::ruleWithName("to proxy", {}, {}, {}, QNRuleActionProxy, proxy, true);
}

// Rewrites a dictionary the way a property-list reader returns it: 32-bit numbers, generic lists.
QVariant asPropertyList(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::LongLong:
        return QVariant(int(value.toLongLong()));
    case QMetaType::QStringList: {
        QVariantList list;
        for (const QString& text : value.toStringList()) {
            list.append(text);
        }
        return list;
    }
    case QMetaType::QVariantList: {
        QVariantList list;
        for (const QVariant& entry : value.toList()) {
            list.append(asPropertyList(entry));
        }
        return list;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map;
        const QVariantMap source = value.toMap();
        for (auto it = source.cbegin(); it != source.cend(); ++it) {
            map.insert(it.key(), asPropertyList(it.value()));
        }
        return map;
    }
    default:
        return value;
    }
}

TEST(ProfileTest, DefaultProfile) {
    const auto profile = QNProfile::profileWithIdentifier(7, bundle());
    EXPECT_TRUE(profile->name().isNull());
    EXPECT_EQ(profile->identifier(), 7u);

    ASSERT_EQ(profile->proxies().size(), 1);
    const auto proxy = std::dynamic_pointer_cast<QNProxy>(profile->proxies().first());
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->name(), "Mine");
    EXPECT_EQ(proxy->type(), QNProxyTypeSOCKS5);
    EXPECT_EQ(proxy->host(), kQNProfileProxyServerDefault);
    EXPECT_EQ(proxy->port(), 1080);
    EXPECT_TRUE(proxy->filterPorts().isEmpty());

    ASSERT_EQ(profile->rules().size(), 3);
    const auto& rules = profile->rules();
    EXPECT_EQ(rules[0]->name(), "Private");
    EXPECT_EQ(rules[0]->hosts(),
              QStringList({"10.0.0.0-10.255.255.255", "169.254.0.0-169.254.255.255", "172.16.0.0-172.31.255.255",
                           "192.168.0.0-192.168.255.255", "fd00::-fdff::"}));
    EXPECT_EQ(rules[0]->action(), QNRuleActionDirect);
    EXPECT_EQ(rules[1]->name(), "Loop");
    EXPECT_EQ(rules[1]->hosts(), QStringList({"127.0.0.1", "::1"}));
    EXPECT_EQ(rules[1]->action(), QNRuleActionDirect);
    EXPECT_EQ(rules[2]->name(), "Everything");
    EXPECT_TRUE(rules[2]->hosts().isEmpty());
    EXPECT_EQ(rules[2]->action(), QNRuleActionProxy);
    EXPECT_EQ(rules[2]->proxy(), profile->proxies().first());
    for (const auto& rule : rules) {
        EXPECT_TRUE(rule->enabled());
        EXPECT_TRUE(rule->applications().isEmpty());
        EXPECT_TRUE(rule->ports().isEmpty());
    }

    ASSERT_EQ(profile->dns().size(), 1);
    EXPECT_EQ(profile->dns().first()->name(), "Everything");
    EXPECT_EQ(profile->dns().first()->resolve(), QNDNSResolveRemote);
    EXPECT_TRUE(profile->dns().first()->enabled());
    EXPECT_TRUE(profile->dns().first()->hosts().isEmpty());
}

TEST(ProfileTest, DefaultProfileDictionary) {
    const QVariantMap settings = QNProfile::profileWithIdentifier(7, bundle())->settings();
    EXPECT_EQ(settings.keys(), QStringList({"dns", "identifier", "proxies", "rules"}));
    EXPECT_EQ(settings.value("identifier"), number(7));
    const QVariantList proxies = settings.value("proxies").toList();
    ASSERT_EQ(proxies.size(), 1);
    EXPECT_EQ(proxies.first().toMap().value("kind"), QVariant(QString("proxy")));
    const QVariantList rules = settings.value("rules").toList();
    ASSERT_EQ(rules.size(), 3);
    EXPECT_FALSE(rules[0].toMap().contains("proxyIndex"));
    EXPECT_EQ(rules[2].toMap().value("action"), number(1));
    EXPECT_EQ(rules[2].toMap().value("proxyIndex"), number(0));
    // Written 64 bits wide so the preference file holds plain integers.
    EXPECT_EQ(rules[2].toMap().value("proxyIndex").metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(settings.value("identifier").metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(settings.value("dns").toList().size(), 1);
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
    const QVariantList rules = settings.value("rules").toList();
    ASSERT_EQ(rules.size(), 7);
    struct Expected {
        qint64 action;
        qint64 proxyIndex; // -1: no key
    };
    const Expected expected[] = {{1, 1}, {1, 2}, {1, 0}, {3, -1}, {3, -1}, {3, -1}, {2, -1}};
    for (int i = 0; i < 7; ++i) {
        const QVariantMap rule = rules[i].toMap();
        EXPECT_EQ(rule.value("action"), number(expected[i].action)) << i;
        EXPECT_EQ(rule.contains("proxyIndex"), expected[i].proxyIndex >= 0) << i;
        if (expected[i].proxyIndex >= 0) {
            EXPECT_EQ(rule.value("proxyIndex"), number(expected[i].proxyIndex)) << i;
        }
    }
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
    struct Case {
        const char* what;
        QVariantList proxies;
        QVariantMap rule;
        int item; // -1: blocked
    };
    const Case cases[] = {
        {"index 1", twoItems, {{"action", 1}, {"proxyIndex", 1}}, 1},
        {"index past the end", twoItems, {{"action", 1}, {"proxyIndex", 5}}, -1},
        {"index at the end", twoItems, {{"action", 1}, {"proxyIndex", 2}}, -1},
        {"index -1", twoItems, {{"action", 1}, {"proxyIndex", -1}}, -1},
        {"huge index", twoItems, {{"action", 1}, {"proxyIndex", number(qint64(1) << 32)}}, -1},
        {"absent index", twoItems, {{"action", 1}}, 0},
        {"index as text", twoItems, {{"action", 1}, {"proxyIndex", "1"}}, 1},
        {"index as list", twoItems, {{"action", 1}, {"proxyIndex", QVariantList{1}}}, 0},
        {"no items", {}, {{"action", 1}}, -1},
    };
    for (const Case& c : cases) {
        const auto profile = QNProfile::profileWithSettings({{"proxies", c.proxies}, {"rules", QVariantList{c.rule}}});
        ASSERT_EQ(profile->rules().size(), 1) << c.what;
        const auto& rule = profile->rules().first();
        if (c.item < 0) {
            EXPECT_EQ(rule->action(), QNRuleActionBlock) << c.what;
            EXPECT_EQ(rule->proxy(), nullptr) << c.what;
        } else {
            EXPECT_EQ(rule->action(), QNRuleActionProxy) << c.what;
            EXPECT_EQ(rule->proxy(), profile->proxies().at(c.item)) << c.what;
        }
    }

    // Only proxy rules are resolved.
    const auto direct = QNProfile::profileWithSettings(
        {{"proxies", twoItems}, {"rules", QVariantList{QVariantMap{{"action", 2}, {"proxyIndex", 0}}}}});
    EXPECT_EQ(direct->rules().first()->action(), QNRuleActionDirect);
    EXPECT_EQ(direct->rules().first()->proxy(), nullptr);
}

TEST(ProfileTest, OnlyExactKindsAreKeptAndIndexesCountKeptItems) {
    const QVariantList proxies{
        QVariantMap{{"kind", "Proxy"}, {"name", "wrong case"}},
        QVariantMap{{"name", "no kind"}},
        QVariantMap{{"kind", 1}, {"name", "numeric kind"}},
        QString("not a dictionary"),
        QVariantMap{{"kind", "proxy"}, {"name", "first kept"}},
        QVariantMap{{"kind", "CHAIN"}, {"name", "wrong case chain"}},
        QVariantMap{{"kind", "chain"}, {"name", "second kept"}},
    };
    const auto profile = QNProfile::profileWithSettings(
        {{"proxies", proxies}, {"rules", QVariantList{QVariantMap{{"action", 1}, {"proxyIndex", 1}}}}});
    ASSERT_EQ(profile->proxies().size(), 2);
    EXPECT_EQ(profile->proxies()[0]->name(), "first kept");
    EXPECT_EQ(profile->proxies()[1]->name(), "second kept");
    EXPECT_EQ(profile->proxies()[1]->kind(), QNProxyItemKindChain);
    EXPECT_EQ(profile->rules().first()->proxy(), profile->proxies()[1]);
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

TEST(ProfileTest, RoundTripThroughPropertyListValues) {
    const auto original = QNProfile::profileWithIdentifier(42, bundle());
    original->setName("Travel");
    auto chain = QNProxyChain::proxyChainWithName("hops", {QNProxy::proxy()}, true);
    original->proxies().append(chain);
    original->rules().prepend(proxyRule(chain));
    const QVariantMap settings = original->settings();

    const auto read = QNProfile::profileWithSettings(asPropertyList(settings).toMap());
    EXPECT_EQ(read->settings(), settings);
    EXPECT_EQ(read->rules().first()->proxy(), read->proxies().last());
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
