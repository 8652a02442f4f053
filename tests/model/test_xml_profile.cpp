#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<QNXMLElement> parse(const QByteArray& text) {
    const auto result = QNXMLText::xmlElementWithData(text);
    EXPECT_TRUE(result.ok()) << result.message().toStdString() << "\n" << text.toStdString();
    return result.element ? result.element : QNXMLElement::xmlElementWithName("unreadable");
}

std::shared_ptr<QNProxy> socksProxy(const QString& name) {
    return QNProxy::proxyWithName(name, QNProxyTypeSOCKS5, "192.0.2.1", 1080, QString(), QString(), {}, false, 0, {},
                                  QString(), {}, QString(), 0);
}

// What an import brings back: the saved settings without the passphrases (the fingerprint and tunnel port are
// never saved); cipher and keep-alive only for SSH tunnels.
void expectImportedProxy(const QNProxy& imported, const QNProxy& original) {
    QVariantMap expected = original.settings();
    expected.remove("clientKeyPassphrase");
    expected.remove("serverKeyPassphrase");
    if (original.type() != QNProxyTypeSSHTunnel) {
        expected["cipher"] = QVariant::fromValue<qint64>(0);
        expected.remove("serverAliveInterval");
    }
    EXPECT_EQ(imported.settings(), expected);
    EXPECT_TRUE(imported.serverKeyFingerprint().isNull());
    EXPECT_EQ(imported.localTunnelPort(), 0);
}

template <typename Item> QStringList namesOf(const QList<std::shared_ptr<Item>>& items) {
    QStringList names;
    for (const auto& item : items) {
        names.append(item->name());
    }
    return names;
}

std::shared_ptr<QNProxy> readProxy(const QByteArray& text) {
    return QNProxy::proxyWithXML(*parse(text));
}

// ---- proxy ----

// Both ways for every type and cipher; only SSH tunnels carry a cipher, and one outside the table is written
// as the default.
TEST(ProxyXMLTest, TypeAndCipherTexts) {
    const char* types[] = {"socks4",      "socks4a",  "socks5", "httpTransparent", "httpNonTransparent",
                           "httpConnect", "sshTunnel"};
    const char* ciphers[] = {"default",    "aes128-cbc", "aes192-cbc", "aes256-cbc",    "aes128-ctr",
                             "aes192-ctr", "aes256-ctr", "3des-cbc",   "3des-cbc-ssh1", "blowfish-cbc"};
    for (quint32 type = 0; type <= 8; ++type) {
        SCOPED_TRACE(type);
        auto proxy = QNProxy::proxy();
        proxy->setType(type);
        proxy->setCipher(QNProxyCipherAES128CBC);
        const auto element = proxy->xmlElement();
        const bool known = type >= QNProxyTypeSOCKS4 && type <= QNProxyTypeSSHTunnel;
        EXPECT_EQ(element->attribute("type"), known ? QString(types[type - 1]) : QString());
        EXPECT_EQ(element->attribute("cipher"), type == QNProxyTypeSSHTunnel ? "aes128-cbc" : QString());
        if (known) {
            EXPECT_EQ(QNProxy::proxyWithXML(*element)->type(), type);
        }
    }
    for (quint32 cipher = 0; cipher <= 10; ++cipher) {
        SCOPED_TRACE(cipher);
        auto proxy = QNProxy::proxy();
        proxy->setType(QNProxyTypeSSHTunnel);
        proxy->setCipher(cipher);
        const auto element = proxy->xmlElement();
        EXPECT_EQ(element->attribute("cipher"), ciphers[cipher % 10]);
        EXPECT_EQ(QNProxy::proxyWithXML(*element)->cipher(), cipher % 10);
    }
}

// Texts in any case; what is not understood falls back (a type nobody knows gives no proxy at all). How
// numbers are read from text is the value readers' business; here, that each field keeps its own width.
TEST(ProxyXMLTest, ReadingFollowsTheCaseRulesAndFallbacks) {
    struct Case {
        const char* what;
        QByteArray text;
        quint32 type; // 0: no proxy at all
        quint32 cipher;
        quint16 port;
        bool anonymize;
        qint64 interval;
    };
    const Case cases[] = {
        {"type in any case", "<proxy type=\"SOCKS5\"/>", 3, 0, 0, false, 0},
        {"ssh without cipher", "<proxy type=\"sshTunnel\"/>", 7, 1, 0, false, 0},
        {"ssh with default", "<proxy type=\"sshtunnel\" cipher=\"default\"/>", 7, 0, 0, false, 0},
        {"cipher in any case", "<proxy type=\"sshTunnel\" cipher=\"AES192-CBC\"/>", 7, 2, 0, false, 0},
        {"unknown cipher", "<proxy type=\"sshTunnel\" cipher=\"chacha20\"/>", 7, 0, 0, false, 0},
        {"cipher ignored off ssh", "<proxy type=\"socks4\" cipher=\"aes128-ctr\"/>", 1, 0, 0, false, 0},
        {"port low 16 bits", "<proxy type=\"httpTransparent\" port=\"70000\"/>", 4, 0, 4464, false, 0},
        {"anonymize in capitals", "<proxy type=\"socks4a\" anonymizeRequests=\"TRUE\"/>", 2, 0, 0, true, 0},
        {"anonymize yes is off", "<proxy type=\"socks4a\" anonymizeRequests=\"yes\"/>", 2, 0, 0, false, 0},
        {"interval on any type", "<proxy type=\"httpNonTransparent\" serverAliveInterval=\"30s\"/>", 5, 0, 0, false,
         30},
        {"no type", "<proxy host=\"h\" port=\"1\"/>", 0, 0, 0, false, 0},
        {"type with a blank", "<proxy type=\" socks5\"/>", 0, 0, 0, false, 0},
        {"attribute names are exact", "<proxy Type=\"socks5\"/>", 0, 0, 0, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto proxy = readProxy(c.text);
        if (c.type == 0) {
            EXPECT_EQ(proxy, nullptr);
            continue;
        }
        ASSERT_NE(proxy, nullptr);
        EXPECT_EQ(proxy->type(), c.type);
        EXPECT_EQ(proxy->cipher(), c.cipher);
        EXPECT_EQ(proxy->port(), c.port);
        EXPECT_EQ(proxy->anonymizeRequests(), c.anonymize);
        EXPECT_EQ(proxy->serverAliveInterval(), c.interval);
    }
    EXPECT_EQ(QNProxy::proxyWithXML(QNXMLElement("proxy")), nullptr);
}

TEST(ProxyXMLTest, ChildrenAreGatheredLeniently) {
    const auto proxy = readProxy("<proxy type=\"socks5\" name=\"\">"
                                 "  <FILTERPORTS><port>80</port><port/><other>9</other></FILTERPORTS>"
                                 "  <filterPorts><Port>443</Port></filterPorts>"
                                 "  <clientKey>b2xk</clientKey>"
                                 "  <clientKey>\n  bmV3\n</clientKey>"
                                 "  <serverKey>not base64!</serverKey>"
                                 "  <unknown a=\"b\"><port>1</port></unknown>"
                                 "</proxy>");
    ASSERT_NE(proxy, nullptr);
    EXPECT_FALSE(proxy->name().isNull());
    EXPECT_TRUE(proxy->name().isEmpty());
    EXPECT_TRUE(proxy->host().isNull());
    EXPECT_EQ(proxy->filterPorts(), QStringList({"80", "", "443"}));
    EXPECT_EQ(proxy->clientKey(), QByteArray("new"));
    EXPECT_TRUE(proxy->serverKey().isEmpty());
    EXPECT_TRUE(readProxy("<proxy type=\"socks5\"/>")->name().isNull());
}

// ---- chain, rule, DNS entry ----

// Absent means direct and any text but the two known ones blocks; only "true" enables.
TEST(RuleXMLTest, ActionAndEnabledTexts) {
    struct Case {
        QByteArray text;
        quint32 action;
        bool enabled;
    };
    const Case cases[] = {
        {"<rule/>", QNRuleActionDirect, false},
        {"<rule action=\"DIRECT\" enabled=\"true\"/>", QNRuleActionDirect, true},
        {"<rule action=\"Proxy\" enabled=\"TRUE\"/>", QNRuleActionProxy, false},
        {"<rule action=\"block\" enabled=\"True\"/>", QNRuleActionBlock, false},
        {"<rule action=\"reject\" enabled=\"yes\"/>", QNRuleActionBlock, false},
        {"<rule action=\"\" enabled=\"1\"/>", QNRuleActionBlock, false},
        {"<rule action=\" direct\" enabled=\" true\"/>", QNRuleActionBlock, false},
    };
    for (const auto& c : cases) {
        const auto odd = QNRule::ruleWithXML(*parse(c.text));
        EXPECT_EQ(odd->action(), c.action) << c.text.toStdString();
        EXPECT_EQ(odd->enabled(), c.enabled) << c.text.toStdString();
    }
}

// Absent means remote, anything else but "remote" local.
TEST(DNSXMLTest, ResolveTexts) {
    struct Case {
        QByteArray text;
        quint32 resolve;
    };
    const Case cases[] = {
        {"<dnsItem/>", QNDNSResolveRemote},
        {"<dnsItem resolve=\"REMOTE\"/>", QNDNSResolveRemote},
        {"<dnsItem resolve=\"elsewhere\"/>", QNDNSResolveLocal},
        {"<dnsItem resolve=\"\"/>", QNDNSResolveLocal},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QNDNS::dnsWithXML(*parse(c.text))->resolve(), c.resolve) << c.text.toStdString();
    }
}

// ---- profile ----

struct Exported {
    std::shared_ptr<QNProxy> proxy;
    std::shared_ptr<QNProxyChain> chain;
    std::shared_ptr<QNProfile> work;
    QList<std::shared_ptr<QNProfile>> profiles;
};

// A profile with every kind of item and of rule target, exported with two plain ones and a missing one.
Exported exportedProfiles() {
    Exported e;
    e.proxy = QNProxy::proxyWithName("Jump \"host\"", QNProxyTypeSSHTunnel, "ssh.example.org", 2222, "alice",
                                     "s3cret&<>", {"22", "1000-2000,3000"}, true, QNProxyCipherAES256CTR,
                                     QByteArray("-----BEGIN KEY-----\n\x01\x02\xff"), "client-pass",
                                     QByteArray("server key bytes"), "server-pass", 45);
    e.proxy->setLocalTunnelPort(40000);
    e.proxy->setServerKeyFingerprint("aa:bb");
    const auto http = QNProxy::proxyWithName("member 2", QNProxyTypeHTTPConnect, QString(), 0, QString(), QString(), {},
                                             false, 3, {}, QString(), {}, QString(), 60);
    e.chain = QNProxyChain::proxyChainWithName("chain", {socksProxy("member 1"), http}, false);
    const auto typeless = socksProxy("no type");
    typeless->setType(0);
    const QList<std::shared_ptr<QNRule>> rules = {
        QNRule::ruleWithName("to chain", {"curl"}, {}, {}, QNRuleActionProxy, e.chain, true),
        QNRule::ruleWithName("to proxy", {}, {"example.org"}, {"443"}, QNRuleActionProxy, e.proxy, true),
        QNRule::ruleWithName("to a copy", {}, {}, {}, QNRuleActionProxy, e.proxy->copy(), true),
        QNRule::ruleWithName("to nothing", {}, {}, {}, QNRuleActionProxy, nullptr, true),
        QNRule::ruleWithName("to typeless", {}, {}, {}, QNRuleActionProxy, typeless, true),
        QNRule::ruleWithName("direct", {}, {"127.0.0.1"}, {}, QNRuleActionDirect, nullptr, false),
        QNRule::ruleWithName("odd action", {}, {}, {}, 0, e.proxy, true),
    };
    const QList<std::shared_ptr<QNDNS>> dns = {QNDNS::dnsWithName("local", {"lan"}, QNDNSResolveLocal, true),
                                               QNDNS::dnsWithName("odd", {}, 9, false)};
    e.work = QNProfile::profileWithName("Work", {e.chain, e.proxy, typeless}, rules, dns, 77);
    e.profiles = {e.work, nullptr, QNProfile::profileWithName("Nothing", {}, {}, {}, 3),
                  QNProfile::profileWithName(QString(), {}, {}, {}, 1)};
    return e;
}

// Items are numbered by position and rules point at them by identity: an equal copy, an item not written or
// no item at all makes the rule block. Passphrases and run-time fields stay out, and only SSH tunnels carry
// cipher and keep-alive.
const QByteArray kExported =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<profiles>\n"
    "  <profile name=\"Work\" order=\"0\">\n"
    "    <proxies>\n"
    "      <proxyChain identifier=\"0\" name=\"chain\" order=\"0\">\n"
    "        <proxy host=\"192.0.2.1\" name=\"member 1\" order=\"0\" port=\"1080\" type=\"socks5\"/>\n"
    "        <proxy name=\"member 2\" order=\"1\" type=\"httpConnect\"/>\n"
    "      </proxyChain>\n"
    "      <proxy anonymizeRequests=\"true\" cipher=\"aes256-ctr\" host=\"ssh.example.org\" identifier=\"1\" "
    "name=\"Jump &quot;host&quot;\" order=\"1\" password=\"s3cret&amp;&lt;&gt;\" port=\"2222\" "
    "serverAliveInterval=\"45\" type=\"sshTunnel\" username=\"alice\">\n"
    "        <filterPorts>\n"
    "          <port>22</port>\n"
    "          <port>1000-2000,3000</port>\n"
    "        </filterPorts>\n"
    "        <clientKey>LS0tLS1CRUdJTiBLRVktLS0tLQoBAv8=</clientKey>\n"
    "        <serverKey>c2VydmVyIGtleSBieXRlcw==</serverKey>\n"
    "      </proxy>\n"
    "      <proxy host=\"192.0.2.1\" identifier=\"2\" name=\"no type\" order=\"2\" port=\"1080\"/>\n"
    "    </proxies>\n"
    "    <rules>\n"
    "      <rule action=\"proxy\" enabled=\"true\" name=\"to chain\" order=\"0\" proxyIdentifier=\"0\">\n"
    "        <applications>\n"
    "          <application>curl</application>\n"
    "        </applications>\n"
    "      </rule>\n"
    "      <rule action=\"proxy\" enabled=\"true\" name=\"to proxy\" order=\"1\" proxyIdentifier=\"1\">\n"
    "        <hosts>\n"
    "          <host>example.org</host>\n"
    "        </hosts>\n"
    "        <ports>\n"
    "          <port>443</port>\n"
    "        </ports>\n"
    "      </rule>\n"
    "      <rule action=\"block\" enabled=\"true\" name=\"to a copy\" order=\"2\"/>\n"
    "      <rule action=\"block\" enabled=\"true\" name=\"to nothing\" order=\"3\"/>\n"
    "      <rule action=\"proxy\" enabled=\"true\" name=\"to typeless\" order=\"4\" proxyIdentifier=\"2\"/>\n"
    "      <rule action=\"direct\" enabled=\"false\" name=\"direct\" order=\"5\">\n"
    "        <hosts>\n"
    "          <host>127.0.0.1</host>\n"
    "        </hosts>\n"
    "      </rule>\n"
    "      <rule enabled=\"true\" name=\"odd action\" order=\"6\"/>\n"
    "    </rules>\n"
    "    <dns>\n"
    "      <dnsItem enabled=\"true\" name=\"local\" order=\"0\" resolve=\"local\">\n"
    "        <hosts>\n"
    "          <host>lan</host>\n"
    "        </hosts>\n"
    "      </dnsItem>\n"
    "      <dnsItem enabled=\"false\" name=\"odd\" order=\"1\"/>\n"
    "    </dns>\n"
    "  </profile>\n"
    "  <profile name=\"Nothing\" order=\"1\"/>\n"
    "  <profile order=\"2\"/>\n"
    "</profiles>\n";

TEST(ProfileXMLTest, ExportIsExact) {
    const auto e = exportedProfiles();
    EXPECT_EQ(QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles(e.profiles)), kExported);
    // Writing leaves the profile's own rules as they are.
    EXPECT_EQ(e.work->rules()[2]->action(), QNRuleActionProxy);
}

TEST(ProfileXMLTest, ImportGivesTheProfilesBack) {
    const auto e = exportedProfiles();
    const auto profiles = QNProfile::profilesWithXML(*parse(kExported), 5);
    ASSERT_EQ(namesOf(profiles), QStringList({"Work", "Nothing", QString()}));
    EXPECT_TRUE(profiles[1]->proxies().isEmpty() && profiles[1]->rules().isEmpty() && profiles[1]->dns().isEmpty());
    EXPECT_TRUE(profiles[2]->name().isNull());
    EXPECT_EQ(profiles[2]->identifier(), 7u);

    const auto& imported = *profiles[0];
    EXPECT_EQ(imported.identifier(), 5u);
    // The typeless proxy does not come back.
    ASSERT_EQ(imported.proxies().size(), 2);
    const auto chain = std::dynamic_pointer_cast<QNProxyChain>(imported.proxies()[0]);
    const auto proxy = std::dynamic_pointer_cast<QNProxy>(imported.proxies()[1]);
    ASSERT_NE(chain, nullptr);
    ASSERT_NE(proxy, nullptr);
    expectImportedProxy(*proxy, *e.proxy);
    EXPECT_EQ(chain->name(), "chain");
    EXPECT_TRUE(chain->open());
    ASSERT_EQ(chain->proxies().size(), 2);
    expectImportedProxy(*chain->proxies()[0], *e.chain->proxies()[0]);
    expectImportedProxy(*chain->proxies()[1], *e.chain->proxies()[1]);

    const struct {
        quint32 action;
        std::shared_ptr<QNProxyItem> proxy;
    } expected[] = {{QNRuleActionProxy, chain},   {QNRuleActionProxy, proxy},   {QNRuleActionBlock, nullptr},
                    {QNRuleActionBlock, nullptr}, {QNRuleActionBlock, nullptr}, {QNRuleActionDirect, nullptr},
                    {QNRuleActionDirect, nullptr}};
    ASSERT_EQ(imported.rules().size(), 7);
    for (qsizetype i = 0; i < imported.rules().size(); ++i) {
        const auto& rule = *imported.rules()[i];
        auto original = e.work->rules()[i]->copy();
        SCOPED_TRACE(original->name().toStdString());
        original->setAction(expected[i].action);
        EXPECT_EQ(rule.settings(), original->settings());
        EXPECT_EQ(rule.proxy(), expected[i].proxy); // the very imported item
    }

    // A resolve value outside the known ones comes back as the default, remote.
    ASSERT_EQ(imported.dns().size(), 2);
    EXPECT_EQ(imported.dns()[0]->settings(), e.work->dns()[0]->settings());
    EXPECT_EQ(imported.dns()[1]->resolve(), QNDNSResolveRemote);
    EXPECT_FALSE(imported.dns()[1]->enabled());
}

TEST(ProfileXMLTest, TheIdentifierTableIsFilledInDocumentOrder) {
    struct Case {
        const char* what;
        QByteArray body;
        QStringList expected; // per rule: name of its proxy item, or "block" / "direct"
    };
    const Case cases[] = {
        {"rules before proxies find nothing",
         "<rules><rule action=\"proxy\" proxyIdentifier=\"0\"/></rules>"
         "<proxies><proxy type=\"socks5\" name=\"p\" identifier=\"0\"/></proxies>",
         {"block"}},
        {"a later duplicate identifier wins",
         "<proxies><proxy type=\"socks5\" name=\"first\" identifier=\"x\"/>"
         "<proxy type=\"socks5\" name=\"second\" identifier=\"x\"/></proxies>"
         "<rules><rule action=\"proxy\" proxyIdentifier=\"x\"/></rules>",
         {"second"}},
        {"a chain can be named",
         "<proxies><proxyChain name=\"c\" identifier=\"7\"><proxy type=\"socks4\"/></proxyChain></proxies>"
         "<rules><rule action=\"proxy\" proxyIdentifier=\"7\"/></rules>",
         {"c"}},
        {"identifiers are texts",
         "<proxies><proxy type=\"socks5\" name=\"one\" identifier=\"1\"/></proxies>"
         "<rules><rule action=\"proxy\" proxyIdentifier=\"01\"/><rule action=\"proxy\" proxyIdentifier=\"1\"/>"
         "<rule action=\"proxy\" proxyIdentifier=\" 1\"/></rules>",
         {"block", "one", "block"}},
        {"an empty identifier is an identifier",
         "<proxies><proxy type=\"socks5\" name=\"e\" identifier=\"\"/></proxies>"
         "<rules><rule action=\"proxy\" proxyIdentifier=\"\"/><rule action=\"proxy\"/></rules>",
         {"e", "block"}},
        {"a skipped proxy enters nothing",
         "<proxies><proxy name=\"typeless\" identifier=\"0\"/><proxy type=\"bogus\" identifier=\"1\"/>"
         "<other identifier=\"2\"/></proxies>"
         "<rules><rule action=\"proxy\" proxyIdentifier=\"0\"/><rule action=\"proxy\" proxyIdentifier=\"1\"/>"
         "<rule action=\"proxy\" proxyIdentifier=\"2\"/></rules>",
         {"block", "block", "block"}},
        {"only proxy rules look up",
         "<proxies><proxy type=\"socks5\" name=\"p\" identifier=\"0\"/></proxies>"
         "<rules><rule action=\"direct\" proxyIdentifier=\"0\"/><rule proxyIdentifier=\"0\"/></rules>",
         {"direct", "direct"}},
        {"sections may repeat and come in any case",
         "<PROXIES><proxy type=\"socks5\" name=\"a\" identifier=\"a\"/></PROXIES>"
         "<Rules><rule action=\"proxy\" proxyIdentifier=\"b\"/></Rules>"
         "<proxies><proxy type=\"socks5\" name=\"b\" identifier=\"b\"/></proxies>"
         "<rules><RULE action=\"proxy\" proxyIdentifier=\"b\"/><notARule action=\"direct\"/></rules>",
         {"block", "b"}},
    };
    for (const auto& c : cases) {
        const auto profile = QNProfile::profileWithXML(*parse("<profile>" + c.body + "</profile>"), 1);
        QStringList got;
        for (const auto& rule : profile->rules()) {
            if (rule->action() == QNRuleActionProxy) {
                got.append(rule->proxy() ? rule->proxy()->name() : QStringLiteral("<no proxy>"));
            } else {
                got.append(rule->action() == QNRuleActionBlock ? "block" : "direct");
            }
        }
        EXPECT_EQ(got, c.expected) << c.what;
    }
}

// Every list is read in the order of its order numbers (how they compare is the tree's business), and
// profiles are numbered in that order; elements of the wrong kind, in any case, are passed over, and so is a
// chain member without a type or one that is a chain itself. A chain read is open.
TEST(ProfileXMLTest, ListsAreReadInOrderOrder) {
    const auto profiles = QNProfile::profilesWithXML(
        *parse("<profiles>"
               "  <profile order=\"2\" name=\"third\"/>"
               "  <note order=\"0\"/>"
               "  <profile order=\"1\" name=\"second\">"
               "    <proxies>"
               "      <proxy order=\"10\" type=\"socks5\" name=\"ten\"/>"
               "      <proxyChain order=\"9\" name=\"nine\">"
               "        <proxy order=\"2\" type=\"socks5\" name=\"c\"/><proxy order=\"0\" name=\"no type\"/>"
               "        <proxyChain order=\"-1\"><proxy type=\"socks4\"/></proxyChain>"
               "        <PROXY order=\"1\" type=\"httpConnect\" name=\"b\"/><proxy type=\"socks4\" name=\"a\"/>"
               "      </proxyChain>"
               "      <proxy type=\"socks5\" name=\"none\"/>"
               "    </proxies>"
               "    <rules><rule order=\"7\" name=\"seven\"/><rule order=\"-3\" name=\"minus three\"/></rules>"
               "    <dns><dnsItem order=\"1\" name=\"b\"/><dnsItem order=\"abc\" name=\"a\"/><host order=\"-1\"/></dns>"
               "  </profile>"
               "  <PROFILE order=\"0\" name=\"first\"/>"
               "</profiles>"),
        10);
    ASSERT_EQ(namesOf(profiles), QStringList({"first", "second", "third"}));
    for (qsizetype i = 0; i < profiles.size(); ++i) {
        EXPECT_EQ(profiles[i]->identifier(), quint32(10 + i));
    }
    const auto& second = *profiles[1];
    EXPECT_EQ(namesOf(second.proxies()), QStringList({"none", "nine", "ten"}));
    const auto chain = std::dynamic_pointer_cast<QNProxyChain>(second.proxies()[1]);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(namesOf(chain->proxies()), QStringList({"a", "b", "c"}));
    EXPECT_TRUE(chain->open());
    EXPECT_EQ(namesOf(second.rules()), QStringList({"minus three", "seven"}));
    EXPECT_EQ(namesOf(second.dns()), QStringList({"a", "b"}));

    // Numbers wrap like the field they go into.
    const auto wrapped = QNProfile::profilesWithXML(*parse("<Profiles><profile/><profile/></Profiles>"), 0xFFFFFFFF);
    ASSERT_EQ(wrapped.size(), 2);
    EXPECT_EQ(wrapped[0]->identifier(), 0xFFFFFFFFu);
    EXPECT_EQ(wrapped[1]->identifier(), 0u);
}

TEST(ProfileXMLTest, ForeignRootsGiveNothing) {
    for (const QByteArray& text :
         {QByteArray("<profile name=\"a\"/>"), QByteArray("<profilesList><profile/></profilesList>"),
          QByteArray("<profiles/>"), QByteArray("<profiles>  </profiles>")}) {
        EXPECT_TRUE(QNProfile::profilesWithXML(*parse(text), 1).isEmpty()) << text.toStdString();
    }
    EXPECT_TRUE(QNProfile::profilesWithXML(*QNProfile::xmlElementForProfiles({}), 1).isEmpty());
}

} // namespace
