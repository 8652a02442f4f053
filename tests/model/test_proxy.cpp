#include "model/QNProxy.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace {

QVariant number(qint64 value) {
    return QVariant::fromValue<qint64>(value);
}

std::shared_ptr<QNProxy> fullProxy() {
    return QNProxy::proxyWithName("Office", QNProxyTypeSSHTunnel, "192.0.2.10", 2222, "alice", "secret",
                                  {"80", "1000-2000"}, true, QNProxyCipherAES256CTR, QByteArray("client-key"),
                                  "client-pass", QByteArray("server-key"), "server-pass", 30);
}

TEST(ProxyTest, InitDefaultsAndTheirDictionary) {
    const auto proxy = QNProxy::proxy();
    EXPECT_EQ(proxy->type(), QNProxyTypeHTTPTransparent);
    EXPECT_EQ(proxy->port(), 80);
    EXPECT_EQ(proxy->filterPorts(), QStringList({"80", "443", "8080"}));
    EXPECT_EQ(proxy->cipher(), 0u);
    EXPECT_EQ(proxy->serverAliveInterval(), 0);
    EXPECT_FALSE(proxy->anonymizeRequests());
    EXPECT_TRUE(proxy->name().isNull());
    EXPECT_TRUE(proxy->host().isNull());
    EXPECT_EQ(proxy->kind(), QNProxyItemKindProxy);

    const QVariantMap settings = proxy->settings();
    EXPECT_EQ(settings.keys(), QStringList({"anonymizeRequests", "cipher", "filterPorts", "kind", "port", "type"}));
    EXPECT_EQ(settings.value("type"), number(4));
    EXPECT_EQ(settings.value("port"), number(80));
    EXPECT_EQ(settings.value("anonymizeRequests"), number(0));
    EXPECT_EQ(settings.value("cipher"), number(0));
    EXPECT_EQ(settings.value("kind"), QVariant(QString("proxy")));
}

TEST(ProxyTest, KeysWrittenOnlyUnderTheirCondition) {
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
        {"host", [](QNProxy& p) { p.setHost("h"); }, "host", true},
        {"username", [](QNProxy& p) { p.setUsername("u"); }, "username", true},
        {"password", [](QNProxy& p) { p.setPassword("p"); }, "password", true},
        {"empty filter ports", [](QNProxy& p) { p.setFilterPorts({}); }, "filterPorts", false},
        {"client passphrase without key", [](QNProxy& p) { p.setClientKeyPassphrase("x"); }, "clientKeyPassphrase",
         false},
        {"client passphrase with key",
         [](QNProxy& p) {
             p.setClientKey("k");
             p.setClientKeyPassphrase("x");
         },
         "clientKeyPassphrase", true},
        {"server passphrase without key", [](QNProxy& p) { p.setServerKeyPassphrase("x"); }, "serverKeyPassphrase",
         false},
        {"server passphrase with key",
         [](QNProxy& p) {
             p.setServerKey("k");
             p.setServerKeyPassphrase("x");
         },
         "serverKeyPassphrase", true},
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
}

TEST(ProxyTest, NullFilterPortsFromTheDesignatedInitialiserAreNotDefaulted) {
    const auto proxy = QNProxy::proxyWithName("n", 3, "h", 1, {}, {}, {}, false, 0, {}, {}, {}, {}, 0);
    EXPECT_TRUE(proxy->filterPorts().isEmpty());
    EXPECT_FALSE(proxy->settings().contains("filterPorts"));
}

TEST(ProxyTest, SettingsRoundTripKeepsEveryPersistentField) {
    const auto original = fullProxy();
    original->setLocalTunnelPort(49152);
    original->setServerKeyFingerprint("ab:cd");
    const QVariantMap settings = original->settings();
    EXPECT_EQ(settings.value("port").metaType().id(), QMetaType::LongLong);
    EXPECT_EQ(settings.value("clientKey").metaType().id(), QMetaType::QByteArray);
    EXPECT_EQ(settings.value("filterPorts").metaType().id(), QMetaType::QStringList);
    EXPECT_EQ(settings.value("anonymizeRequests"), number(1));

    const auto read = QNProxy::proxyWithSettings(settings);
    EXPECT_EQ(read->name(), "Office");
    EXPECT_EQ(read->type(), QNProxyTypeSSHTunnel);
    EXPECT_EQ(read->host(), "192.0.2.10");
    EXPECT_EQ(read->port(), 2222);
    EXPECT_EQ(read->username(), "alice");
    EXPECT_EQ(read->password(), "secret");
    EXPECT_EQ(read->filterPorts(), QStringList({"80", "1000-2000"}));
    EXPECT_TRUE(read->anonymizeRequests());
    EXPECT_EQ(read->cipher(), QNProxyCipherAES256CTR);
    EXPECT_EQ(read->clientKey(), QByteArray("client-key"));
    EXPECT_EQ(read->clientKeyPassphrase(), "client-pass");
    EXPECT_EQ(read->serverKey(), QByteArray("server-key"));
    EXPECT_EQ(read->serverKeyPassphrase(), "server-pass");
    EXPECT_EQ(read->serverAliveInterval(), 30);
    EXPECT_EQ(read->localTunnelPort(), 0);
    EXPECT_TRUE(read->serverKeyFingerprint().isNull());
    EXPECT_EQ(read->settings(), settings);
}

TEST(ProxyTest, MissingKeysReadAsEmptyNotAsInitDefaults) {
    const auto proxy = QNProxy::proxyWithSettings({});
    EXPECT_EQ(proxy->type(), 0u);
    EXPECT_EQ(proxy->port(), 0);
    EXPECT_TRUE(proxy->filterPorts().isEmpty());
    EXPECT_TRUE(proxy->name().isNull());
    EXPECT_TRUE(proxy->clientKey().isNull());
    EXPECT_EQ(proxy->serverAliveInterval(), 0);

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
}

TEST(ProxyTest, NumbersAreNarrowedToTheFieldWidth) {
    struct Case {
        QString key;
        QVariant value;
        qint64 expected;
    };
    const qint64 big = qint64(1) << 40;
    const Case cases[] = {
        {"port", number(65536), 0},
        {"port", number(70000), 4464},
        {"port", number(-1), 65535},
        {"port", QVariant(int(1080)), 1080},
        {"port", QVariant(uint(443)), 443},
        {"port", QVariant(QString("8080")), 8080},
        {"port", QVariant(QVariantMap{{"a", 1}}), 0},
        {"type", number(9), 9},
        {"type", number(-1), 0xFFFFFFFF},
        {"type", number((qint64(1) << 32) + 3), 3},
        {"type", QVariant(QString("5")), 5},
        {"cipher", number((qint64(1) << 32) + 2), 2},
        {"anonymizeRequests", number(256), 0},
        {"anonymizeRequests", number(2), 1},
        {"anonymizeRequests", QVariant(true), 1},
        {"anonymizeRequests", QVariant(QString("1")), 1},
        {"serverAliveInterval", number(big), big},
        {"serverAliveInterval", number(-5), -5},
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

TEST(ProxyTest, ValuesOfTheWrongKindReadAsAbsent) {
    const QVariantMap settings{
        {"name", number(5)},
        {"host", QVariantList{"192.0.2.1"}},
        {"username", QByteArray("bytes")},
        {"filterPorts", QVariantMap{{"80", "80"}}},
        {"clientKey", QString("text, not data")},
        {"serverKey", number(1)},
    };
    const auto proxy = QNProxy::proxyWithSettings(settings);
    EXPECT_TRUE(proxy->name().isNull());
    EXPECT_TRUE(proxy->host().isNull());
    EXPECT_TRUE(proxy->username().isNull());
    EXPECT_TRUE(proxy->filterPorts().isEmpty());
    EXPECT_TRUE(proxy->clientKey().isNull());
    EXPECT_TRUE(proxy->serverKey().isNull());
}

TEST(ProxyTest, FilterPortsFromAGenericListKeepOnlyTexts) {
    // What a property-list reader hands back for an array of strings, plus stray entries.
    const QVariantMap settings{{"filterPorts", QVariantList{"80", 443, "8000-8080", QVariantList{"1"}}}};
    EXPECT_EQ(QNProxy::proxyWithSettings(settings)->filterPorts(), QStringList({"80", "8000-8080"}));
}

TEST(ProxyTest, CopySharesConfigurationKeepsTunnelPortDropsFingerprint) {
    const auto original = fullProxy();
    original->setLocalTunnelPort(49152);
    original->setServerKeyFingerprint("ab:cd");
    const auto copy = original->copy();
    EXPECT_NE(copy.get(), original.get());
    EXPECT_EQ(copy->localTunnelPort(), 49152);
    EXPECT_TRUE(copy->serverKeyFingerprint().isNull());
    EXPECT_EQ(copy->settings(), original->settings());

    copy->setHost("198.51.100.1");
    EXPECT_EQ(original->host(), "192.0.2.10");
}

TEST(ProxyTest, TypeNamesUseTheGivenBundle) {
    // An empty table yields the keys themselves, which pins the key of each type.
    const QNStrings keysOnly;
    const char* keys[] = {"SOCKS4",      "SOCKS4a",  "SOCKS5", "HTTPTransparent", "HTTPNonTransparent",
                          "HTTPConnect", "sshTunnel"};
    for (quint32 type = 1; type <= 7; ++type) {
        EXPECT_EQ(QNProxy::proxyTypeName(type, keysOnly), QString(keys[type - 1])) << type;
    }
    EXPECT_TRUE(QNProxy::proxyTypeName(0, keysOnly).isNull());
    EXPECT_TRUE(QNProxy::proxyTypeName(8, keysOnly).isNull());
    EXPECT_EQ(QNProxy::proxyTypeName(3, QNStrings({{"SOCKS5", "Five"}})), "Five");
}

TEST(ProxyTest, Summary) {
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

} // namespace
