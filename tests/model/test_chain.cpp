#include "model/QNProxy.h"
#include "model/QNProxyChain.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::shared_ptr<QNProxy> proxyOfType(quint32 type) {
    auto proxy = QNProxy::proxy();
    proxy->setType(type);
    return proxy;
}

QList<std::shared_ptr<QNProxy>> membersOfTypes(const std::vector<quint32>& types) {
    QList<std::shared_ptr<QNProxy>> members;
    for (quint32 type : types) {
        members.append(proxyOfType(type));
    }
    return members;
}

TEST(ProxyChainTest, InitAndItsDictionary) {
    const auto chain = QNProxyChain::proxyChain();
    EXPECT_TRUE(chain->open());
    EXPECT_TRUE(chain->proxies().isEmpty());
    EXPECT_EQ(chain->kind(), QNProxyItemKindChain);

    const QVariantMap settings = chain->settings();
    EXPECT_EQ(settings.keys(), QStringList({"kind", "open", "proxies"}));
    EXPECT_EQ(settings.value("proxies"), QVariant(QVariantList()));
    EXPECT_EQ(settings.value("kind"), QVariant(QString("chain")));
    EXPECT_EQ(settings.value("open"), QVariant(true));
}

TEST(ProxyChainTest, SettingsRoundTrip) {
    const auto chain = QNProxyChain::proxyChainWithName("Two hops", membersOfTypes({7, 3}), false);
    chain->proxies().first()->setHost("ssh.example.org");
    const QVariantMap settings = chain->settings();
    ASSERT_EQ(settings.value("proxies").toList().size(), 2);
    EXPECT_EQ(settings.value("proxies").toList().first().toMap().value("kind"), QVariant(QString("proxy")));

    const auto read = QNProxyChain::proxyChainWithSettings(settings);
    EXPECT_EQ(read->name(), "Two hops");
    EXPECT_FALSE(read->open());
    ASSERT_EQ(read->proxies().size(), 2);
    EXPECT_EQ(read->proxies().at(0)->type(), QNProxyTypeSSHTunnel);
    EXPECT_EQ(read->proxies().at(0)->host(), "ssh.example.org");
    EXPECT_EQ(read->proxies().at(1)->type(), QNProxyTypeSOCKS5);
    EXPECT_EQ(read->settings(), settings);
}

TEST(ProxyChainTest, ReadingOddDictionaries) {
    // No "open": closed. A member claiming to be a chain is still a proxy; non-dictionaries are skipped.
    const QVariantMap settings{
        {"proxies",
         QVariantList{QVariantMap{{"kind", "chain"}, {"type", 6}}, QString("junk"), 5, QVariantMap{{"type", 3}}}},
    };
    const auto chain = QNProxyChain::proxyChainWithSettings(settings);
    EXPECT_FALSE(chain->open());
    EXPECT_TRUE(chain->name().isNull());
    ASSERT_EQ(chain->proxies().size(), 2);
    EXPECT_EQ(chain->proxies().at(0)->type(), QNProxyTypeHTTPConnect);
    EXPECT_EQ(chain->proxies().at(1)->type(), QNProxyTypeSOCKS5);

    EXPECT_TRUE(QNProxyChain::proxyChainWithSettings({{"proxies", QVariantMap{{"a", 1}}}})->proxies().isEmpty());
}

TEST(ProxyChainTest, ValidateChain) {
    struct Case {
        std::vector<quint32> types;
        bool valid;
    };
    const Case cases[] = {
        {{3, 6}, true},  {{6, 3}, false},      {{4, 6}, false},    {{7, 3, 5}, true},  {{3, 7}, false},
        {{7, 7}, false}, {{1, 2, 3}, true},    {{}, true},         {{4}, true},        {{7}, true},
        {{7, 4}, true},  {{3, 9, 0, 3}, true}, {{7, 6, 3}, false}, {{3, 5, 7}, false},
    };
    for (const Case& c : cases) {
        const auto chain = QNProxyChain::proxyChainWithName({}, membersOfTypes(c.types), true);
        std::string types;
        for (quint32 type : c.types) {
            types += std::to_string(type) + " ";
        }
        EXPECT_EQ(chain->validateChain(), c.valid) << "[ " << types << "]";
    }
}

TEST(ProxyChainTest, MissingMembersDoNotCrash) {
    auto chain = QNProxyChain::proxyChainWithName("gaps", {nullptr, proxyOfType(3)}, true);
    EXPECT_TRUE(chain->validateChain());
    EXPECT_EQ(chain->settings().value("proxies").toList().size(), 1);
    chain->setProxies({proxyOfType(6), nullptr});
    EXPECT_FALSE(chain->validateChain());
}

TEST(ProxyChainTest, CopyHasItsOwnListButSharesMembers) {
    const auto original = QNProxyChain::proxyChainWithName("c", membersOfTypes({3, 6}), false);
    const auto copy = original->copy();
    EXPECT_EQ(copy->name(), "c");
    EXPECT_FALSE(copy->open());
    ASSERT_EQ(copy->proxies().size(), 2);
    EXPECT_EQ(copy->proxies().at(0).get(), original->proxies().at(0).get());
    EXPECT_EQ(copy->proxies().at(1).get(), original->proxies().at(1).get());

    copy->proxies().append(proxyOfType(1));
    EXPECT_EQ(original->proxies().size(), 2);
}

} // namespace
