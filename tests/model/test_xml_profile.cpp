#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"

#include <gtest/gtest.h>

namespace {

using Attributes = QNXMLElement::Attributes;
using Elements = QNXMLElement::Elements;

std::shared_ptr<QNXMLElement> parse(const QByteArray& text) {
    const auto result = QNXMLText::xmlElementWithData(text);
    EXPECT_TRUE(result.ok()) << result.message().toStdString() << "\n" << text.toStdString();
    return result.element ? result.element : QNXMLElement::xmlElementWithName("unreadable");
}

// Through the text form and back, as an export followed by an import does it.
std::shared_ptr<QNXMLElement> throughText(const QNXMLElement& element) {
    const QByteArray text = QNXMLText::dataWithXMLElement(element);
    EXPECT_FALSE(text.isNull());
    return parse(text);
}

std::shared_ptr<QNProxy> sshProxy() {
    return QNProxy::proxyWithName("Jump \"host\"", QNProxyTypeSSHTunnel, "ssh.example.org", 2222, "alice", "s3cret&<>",
                                  {"22", "1000-2000,3000"}, true, QNProxyCipherAES256CTR,
                                  QByteArray("-----BEGIN KEY-----\n\x01\x02\xff"), "client-pass",
                                  QByteArray("server key bytes"), "server-pass", 45);
}

std::shared_ptr<QNProxy> socksProxy(const QString& name, const QString& host = "192.0.2.1") {
    return QNProxy::proxyWithName(name, QNProxyTypeSOCKS5, host, 1080, QString(), QString(), {}, false, 0, {},
                                  QString(), {}, QString(), 0);
}

// What an import brings back: the saved settings without the passphrases (the fingerprint and tunnel port are
// never saved); cipher and keep-alive only for SSH tunnels, and only ciphers the text form knows.
void expectImportedProxy(const QNProxy& imported, const QNProxy& original) {
    QVariantMap expected = original.settings();
    expected.remove("clientKeyPassphrase");
    expected.remove("serverKeyPassphrase");
    if (original.type() != QNProxyTypeSSHTunnel || original.cipher() > QNProxyCipherBlowfishCBC) {
        expected["cipher"] = QVariant::fromValue<qint64>(0);
    }
    if (original.type() != QNProxyTypeSSHTunnel) {
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

TEST(ProxyXMLTest, EveryTypeSurvivesTreeAndText) {
    for (quint32 type = QNProxyTypeSOCKS4; type <= QNProxyTypeSSHTunnel; ++type) {
        auto original = sshProxy();
        original->setType(type);
        original->setLocalTunnelPort(40000);
        original->setServerKeyFingerprint("aa:bb");
        for (const auto& element : {original->xmlElement(), throughText(*original->xmlElement())}) {
            const auto imported = QNProxy::proxyWithXML(*element);
            ASSERT_NE(imported, nullptr) << type;
            SCOPED_TRACE(type);
            expectImportedProxy(*imported, *original);
        }
    }
}

TEST(ProxyXMLTest, WritesOnlyWhatIsSet) {
    const auto bare = QNProxy::proxyWithName(QString(), QNProxyTypeHTTPConnect, QString(), 0, QString(), QString(), {},
                                             false, 3, {}, QString(), {}, QString(), 60);
    const auto element = bare->xmlElement();
    EXPECT_EQ(element->name(), "proxy");
    EXPECT_EQ(element->attributes(), std::optional(Attributes{{"type", "httpConnect"}}));
    EXPECT_FALSE(element->elements().has_value());

    const auto full = sshProxy()->xmlElement();
    EXPECT_EQ(full->attributes(), std::optional(Attributes{{"name", "Jump \"host\""},
                                                           {"type", "sshTunnel"},
                                                           {"host", "ssh.example.org"},
                                                           {"port", "2222"},
                                                           {"username", "alice"},
                                                           {"password", "s3cret&<>"},
                                                           {"anonymizeRequests", "true"},
                                                           {"cipher", "aes256-ctr"},
                                                           {"serverAliveInterval", "45"}}));
    EXPECT_EQ(namesOf(*full->elements()), QStringList({"filterPorts", "clientKey", "serverKey"}));
    EXPECT_EQ(full->childElementWithName("serverKey")->data(), "c2VydmVyIGtleSBieXRlcw==");
}

TEST(ProxyXMLTest, CipherAndTypeTextsOnWriting) {
    struct Case {
        quint32 type;
        quint32 cipher;
        const char* typeText; // null: no attribute
        const char* cipherText;
    };
    const Case cases[] = {
        {QNProxyTypeSSHTunnel, 0, "sshTunnel", "default"},
        {QNProxyTypeSSHTunnel, 1, "sshTunnel", "aes128-cbc"},
        {QNProxyTypeSSHTunnel, 8, "sshTunnel", "3des-cbc-ssh1"},
        {QNProxyTypeSSHTunnel, 9, "sshTunnel", "blowfish-cbc"},
        {QNProxyTypeSSHTunnel, 10, "sshTunnel", "default"},
        {QNProxyTypeSOCKS4A, 5, "socks4a", nullptr},
        {0, 1, nullptr, nullptr},
        {8, 1, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        auto proxy = QNProxy::proxy();
        proxy->setType(c.type);
        proxy->setCipher(c.cipher);
        const auto element = proxy->xmlElement();
        EXPECT_EQ(element->attribute("type"), c.typeText ? QString(c.typeText) : QString()) << c.type;
        EXPECT_EQ(element->attribute("cipher"), c.cipherText ? QString(c.cipherText) : QString()) << c.type;
    }
}

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
        {"empty cipher", "<proxy type=\"sshTunnel\" cipher=\"\"/>", 7, 0, 0, false, 0},
        {"cipher ignored off ssh", "<proxy type=\"socks4\" cipher=\"aes128-ctr\"/>", 1, 0, 0, false, 0},
        {"port low 16 bits", "<proxy type=\"httpTransparent\" port=\"70000\"/>", 4, 0, 4464, false, 0},
        {"port with junk", "<proxy type=\"httpConnect\" port=\" 8080x\"/>", 6, 0, 8080, false, 0},
        {"negative port", "<proxy type=\"httpConnect\" port=\"-1\"/>", 6, 0, 65535, false, 0},
        {"anonymize in capitals", "<proxy type=\"socks4a\" anonymizeRequests=\"TRUE\"/>", 2, 0, 0, true, 0},
        {"anonymize yes is off", "<proxy type=\"socks4a\" anonymizeRequests=\"yes\"/>", 2, 0, 0, false, 0},
        {"interval on any type", "<proxy type=\"httpNonTransparent\" serverAliveInterval=\"30s\"/>", 5, 0, 0, false,
         30},
        {"no type", "<proxy host=\"h\" port=\"1\"/>", 0, 0, 0, false, 0},
        {"empty type", "<proxy type=\"\"/>", 0, 0, 0, false, 0},
        {"unknown type", "<proxy type=\"socks6\"/>", 0, 0, 0, false, 0},
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

// How chains are written and read back is shown with the profile below; here, what reading makes of odd
// members.
TEST(ChainXMLTest, ReadingSortsAndSkipsWhatIsNotAProxy) {
    const auto chain =
        QNProxyChain::proxyChainWithXML(*parse("<proxyChain>"
                                               "  <proxy order=\"2\" type=\"socks5\" name=\"c\"/>"
                                               "  <proxy order=\"0\" name=\"no type\"/>"
                                               "  <proxyChain order=\"-1\"><proxy type=\"socks4\"/></proxyChain>"
                                               "  <PROXY order=\"1\" type=\"httpConnect\" name=\"b\"/>"
                                               "  <proxy type=\"socks4\" name=\"a\"/>"
                                               "</proxyChain>"));
    EXPECT_EQ(namesOf(chain->proxies()), QStringList({"a", "b", "c"}));
    EXPECT_TRUE(chain->open());
}

TEST(RuleXMLTest, RoundTripWrittenFormAndTexts) {
    auto rule = QNRule::ruleWithName("Mail & <news>", {"Thunderbird", "mutt,neomutt"}, {"10.0.0.0-10.255.255.255, a.b"},
                                     {"25", "993-995"}, QNRuleActionDirect, nullptr, false);
    const auto element = rule->xmlElement();
    EXPECT_EQ(element->attributes(),
              std::optional(Attributes{{"name", "Mail & <news>"}, {"action", "direct"}, {"enabled", "false"}}));
    EXPECT_EQ(QNRule::ruleWithXML(*throughText(*element))->settings(), rule->settings());

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

TEST(DNSXMLTest, RoundTripAndResolveTexts) {
    auto entry = QNDNS::dnsWithName("Intranet", {"corp.example", "a.example, b.example"}, QNDNSResolveLocal, true);
    const auto element = entry->xmlElement();
    EXPECT_EQ(element->attributes(),
              std::optional(Attributes{{"name", "Intranet"}, {"resolve", "local"}, {"enabled", "true"}}));
    EXPECT_EQ(QNDNS::dnsWithXML(*throughText(*element))->settings(), entry->settings());

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

struct RichProfile {
    std::shared_ptr<QNProxy> proxy;
    std::shared_ptr<QNProxyChain> chain;
    std::shared_ptr<QNProxy> typeless;
    std::shared_ptr<QNProfile> profile;
};

RichProfile richProfile() {
    RichProfile r;
    r.proxy = sshProxy();
    r.chain = QNProxyChain::proxyChainWithName("chain", {socksProxy("member 1"), socksProxy("member 2")}, false);
    r.typeless = socksProxy("no type");
    r.typeless->setType(0);
    auto foreign = socksProxy("not in this profile");
    const QList<std::shared_ptr<QNRule>> rules = {
        QNRule::ruleWithName("to chain", {"curl"}, {}, {}, QNRuleActionProxy, r.chain, true),
        QNRule::ruleWithName("to proxy", {}, {"example.org"}, {"443"}, QNRuleActionProxy, r.proxy, true),
        QNRule::ruleWithName("to a copy", {}, {}, {}, QNRuleActionProxy, r.proxy->copy(), true),
        QNRule::ruleWithName("to foreign", {}, {}, {}, QNRuleActionProxy, foreign, true),
        QNRule::ruleWithName("to nothing", {}, {}, {}, QNRuleActionProxy, nullptr, true),
        QNRule::ruleWithName("to typeless", {}, {}, {}, QNRuleActionProxy, r.typeless, true),
        QNRule::ruleWithName("direct", {}, {"127.0.0.1"}, {}, QNRuleActionDirect, nullptr, false),
        QNRule::ruleWithName("odd action", {}, {}, {}, 0, r.proxy, true),
    };
    const QList<std::shared_ptr<QNDNS>> dns = {QNDNS::dnsWithName("local", {"lan"}, QNDNSResolveLocal, true),
                                               QNDNS::dnsWithName("odd", {}, 9, false)};
    r.profile = QNProfile::profileWithName("Work", {r.chain, r.proxy, r.typeless}, rules, dns, 77);
    return r;
}

TEST(ProfileXMLTest, WritingNumbersItemsAndPointsRulesAtThem) {
    const auto r = richProfile();
    const auto element = r.profile->xmlElement();
    EXPECT_EQ(element->name(), "profile");
    EXPECT_EQ(element->attributes(), std::optional(Attributes{{"name", "Work"}}));
    EXPECT_EQ(namesOf(*element->elements()), QStringList({"proxies", "rules", "dns"}));

    const Elements items = *element->childElementWithName("proxies")->elements();
    ASSERT_EQ(items.size(), 3);
    const QStringList itemNames = {"proxyChain", "proxy", "proxy"};
    for (qsizetype i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i]->name(), itemNames[i]);
        EXPECT_EQ(items[i]->attribute("order"), QString::number(i));
        EXPECT_EQ(items[i]->attribute("identifier"), QString::number(i));
    }
    // The chain's members keep their own order numbers and get no identifier.
    const auto member = items[0]->elements()->at(1);
    EXPECT_EQ(member->attribute("order"), "1");
    EXPECT_FALSE(member->hasAttribute("identifier"));

    struct Expected {
        const char* action;
        const char* proxyIdentifier;
    };
    const Expected expected[] = {{"proxy", "0"},     {"proxy", "1"}, {"block", nullptr},  {"block", nullptr},
                                 {"block", nullptr}, {"proxy", "2"}, {"direct", nullptr}, {nullptr, nullptr}};
    const Elements rules = *element->childElementWithName("rules")->elements();
    ASSERT_EQ(rules.size(), 8);
    for (qsizetype i = 0; i < rules.size(); ++i) {
        SCOPED_TRACE(rules[i]->attribute("name").toStdString());
        EXPECT_EQ(rules[i]->attribute("order"), QString::number(i));
        EXPECT_EQ(rules[i]->attribute("action"), expected[i].action ? QString(expected[i].action) : QString());
        EXPECT_EQ(rules[i]->attribute("proxyIdentifier"),
                  expected[i].proxyIdentifier ? QString(expected[i].proxyIdentifier) : QString());
    }
    // The profile's own rule objects are not touched by writing.
    EXPECT_EQ(r.profile->rules()[2]->action(), QNRuleActionProxy);

    const Elements dns = *element->childElementWithName("dns")->elements();
    ASSERT_EQ(dns.size(), 2);
    EXPECT_EQ(dns[1]->attribute("order"), "1");
}

TEST(ProfileXMLTest, ExportThenImportGivesTheSameProfile) {
    const auto r = richProfile();
    const auto root = QNProfile::xmlElementForProfiles({r.profile});
    const auto profiles = QNProfile::profilesWithXML(*throughText(*root), 5);
    ASSERT_EQ(profiles.size(), 1);
    const auto& imported = *profiles[0];
    EXPECT_EQ(imported.name(), "Work");
    EXPECT_EQ(imported.identifier(), 5u);

    // The typeless proxy does not come back.
    ASSERT_EQ(imported.proxies().size(), 2);
    const auto chain = std::dynamic_pointer_cast<QNProxyChain>(imported.proxies()[0]);
    const auto proxy = std::dynamic_pointer_cast<QNProxy>(imported.proxies()[1]);
    ASSERT_NE(chain, nullptr);
    ASSERT_NE(proxy, nullptr);
    expectImportedProxy(*proxy, *r.proxy);
    EXPECT_EQ(chain->name(), "chain");
    EXPECT_TRUE(chain->open());
    ASSERT_EQ(chain->proxies().size(), 2);
    expectImportedProxy(*chain->proxies()[1], *r.chain->proxies()[1]);

    struct Expected {
        quint32 action;
        std::shared_ptr<QNProxyItem> proxy;
    };
    const Expected expected[] = {{QNRuleActionProxy, chain},    {QNRuleActionProxy, proxy},
                                 {QNRuleActionBlock, nullptr},  {QNRuleActionBlock, nullptr},
                                 {QNRuleActionBlock, nullptr},  {QNRuleActionBlock, nullptr},
                                 {QNRuleActionDirect, nullptr}, {QNRuleActionDirect, nullptr}};
    ASSERT_EQ(imported.rules().size(), 8);
    for (qsizetype i = 0; i < imported.rules().size(); ++i) {
        const auto& rule = *imported.rules()[i];
        auto original = r.profile->rules()[i]->copy();
        SCOPED_TRACE(original->name().toStdString());
        original->setAction(expected[i].action);
        EXPECT_EQ(rule.settings(), original->settings());
        EXPECT_EQ(rule.proxy(), expected[i].proxy); // the very imported item
    }

    // A resolve value outside the known ones comes back as the default, remote.
    ASSERT_EQ(imported.dns().size(), 2);
    EXPECT_EQ(imported.dns()[0]->settings(), r.profile->dns()[0]->settings());
    EXPECT_EQ(imported.dns()[1]->resolve(), QNDNSResolveRemote);
    EXPECT_FALSE(imported.dns()[1]->enabled());
}

TEST(ProfileXMLTest, AnEmptyProfileIsJustItsName) {
    const auto empty = QNProfile::profileWithName("Nothing", {}, {}, {}, 3);
    const auto element = empty->xmlElement();
    EXPECT_EQ(element->attributes(), std::optional(Attributes{{"name", "Nothing"}}));
    EXPECT_FALSE(element->elements().has_value());
    EXPECT_EQ(QNXMLText::dataWithXMLElement(*element), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                                       "<profile name=\"Nothing\"/>\n");

    const auto read = QNProfile::profileWithXML(*throughText(*element), 9);
    EXPECT_EQ(read->name(), "Nothing");
    EXPECT_EQ(read->identifier(), 9u);
    EXPECT_TRUE(read->proxies().isEmpty() && read->rules().isEmpty() && read->dns().isEmpty());
    EXPECT_TRUE(QNProfile::profileWithXML(QNXMLElement("profile"), 0)->name().isNull());
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

// Each section is sorted by its order numbers (how they compare is the tree's business).
TEST(ProfileXMLTest, SectionsAreSortedByOrder) {
    const auto profile = QNProfile::profileWithXML(
        *parse("<profile name=\"p\">"
               "<proxies><proxy order=\"10\" type=\"socks5\" name=\"ten\"/><proxy order=\"9\" type=\"socks5\" "
               "name=\"nine\"/><proxy type=\"socks5\" name=\"none\"/></proxies>"
               "<rules><rule order=\"7\" name=\"seven\"/><rule order=\"-3\" name=\"minus three\"/></rules>"
               "<dns><dnsItem order=\"1\" name=\"b\"/><dnsItem order=\"abc\" name=\"a\"/><host order=\"-1\"/></dns>"
               "</profile>"),
        0);
    EXPECT_EQ(namesOf(profile->proxies()), QStringList({"none", "nine", "ten"}));
    EXPECT_EQ(namesOf(profile->rules()), QStringList({"minus three", "seven"}));
    EXPECT_EQ(namesOf(profile->dns()), QStringList({"a", "b"}));
}

TEST(ProfileXMLTest, ListsAreNumberedInOrderOrder) {
    const auto profiles = QNProfile::profilesWithXML(*parse("<profiles>"
                                                            "  <profile order=\"2\" name=\"third\"/>"
                                                            "  <note order=\"0\"/>"
                                                            "  <profile order=\"0\" name=\"first\"/>"
                                                            "  <PROFILE order=\"1\" name=\"second\"/>"
                                                            "</profiles>"),
                                                     10);
    EXPECT_EQ(namesOf(profiles), QStringList({"first", "second", "third"}));
    for (qsizetype i = 0; i < profiles.size(); ++i) {
        EXPECT_EQ(profiles[i]->identifier(), quint32(10 + i));
    }

    // Numbers wrap like the field they go into.
    const auto wrapped = QNProfile::profilesWithXML(*parse("<Profiles><profile/><profile/></Profiles>"), 0xFFFFFFFF);
    ASSERT_EQ(wrapped.size(), 2);
    EXPECT_EQ(wrapped[0]->identifier(), 0xFFFFFFFFu);
    EXPECT_EQ(wrapped[1]->identifier(), 0u);
}

TEST(ProfileXMLTest, ListsRoundTripAndForeignRootsGiveNothing) {
    const QList<std::shared_ptr<QNProfile>> original = {QNProfile::profileWithName("a", {}, {}, {}, 40), nullptr,
                                                        QNProfile::profileWithName("b", {}, {}, {}, 2),
                                                        QNProfile::profileWithName(QString(), {}, {}, {}, 1)};
    const auto root = QNProfile::xmlElementForProfiles(original);
    EXPECT_EQ(root->name(), "profiles");
    EXPECT_FALSE(root->attributes().has_value());
    ASSERT_EQ(root->elements()->size(), 3);
    EXPECT_EQ(root->elements()->at(2)->attribute("order"), "2");

    const auto back = QNProfile::profilesWithXML(*throughText(*root), 1);
    EXPECT_EQ(namesOf(back), QStringList({"a", "b", QString()}));
    EXPECT_TRUE(back[2]->name().isNull());

    for (const QByteArray& text :
         {QByteArray("<profile name=\"a\"/>"), QByteArray("<profilesList><profile/></profilesList>"),
          QByteArray("<profiles/>"), QByteArray("<profiles>  </profiles>")}) {
        EXPECT_TRUE(QNProfile::profilesWithXML(*parse(text), 1).isEmpty()) << text.toStdString();
    }
    EXPECT_TRUE(QNProfile::profilesWithXML(*QNProfile::xmlElementForProfiles({}), 1).isEmpty());
}

TEST(ProfileXMLTest, OneImportNormalisesAMessyDocument) {
    // Hand-edited: odd cases, numbers with junk, empty leaves, missing and unknown values, stray elements.
    const QByteArray messy =
        "<Profiles>\n"
        "  <profile order=\"1x\" name=\"b\">\n"
        "    <dns><dnsItem resolve=\"Remote\" enabled=\"TRUE\"><hosts><host/></hosts></dnsItem></dns>\n"
        "    <proxies>\n"
        "      <proxy type=\"SSHTUNNEL\" port=\"70000\" identifier=\"k\" serverAliveInterval=\"-5\">\n"
        "        <clientKey>AAEC\n/w==</clientKey><filterPorts><port/></filterPorts>\n"
        "      </proxy>\n"
        "      <proxyChain identifier=\"c\"><proxy type=\"socks4\" cipher=\"x\"/><proxy/></proxyChain>\n"
        "    </proxies>\n"
        "    <rules><rule action=\"PROXY\" proxyIdentifier=\"c\"/><rule action=\"proxy\" "
        "proxyIdentifier=\"k\" enabled=\"true\"/><rule action=\"?\"/></rules>\n"
        "  </profile>\n"
        "  <profile order=\"0\"><junk/></profile>\n"
        "</Profiles>\n";
    const auto first = QNProfile::profilesWithXML(*parse(messy), 1);
    ASSERT_EQ(first.size(), 2);
    EXPECT_EQ(first[1]->name(), "b");
    const auto proxy = std::dynamic_pointer_cast<QNProxy>(first[1]->proxies()[0]);
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->serverAliveInterval(), -5);
    EXPECT_EQ(proxy->clientKey(), QByteArray("\x00\x01\x02\xff", 4));
    EXPECT_EQ(first[1]->rules()[1]->proxy(), proxy);

    const QByteArray exported = QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles(first));
    const auto second = QNProfile::profilesWithXML(*parse(exported), 1);
    EXPECT_EQ(QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles(second)), exported);
}

} // namespace
