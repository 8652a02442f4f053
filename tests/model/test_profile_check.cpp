// What the profile check reports for documents and stored profiles.

#include "model/QNProfile.h"
#include "model/QNProfileCheck.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

namespace {

// Every host resolves except those under .invalid, so no name service is asked.
QNProfileCheck check() {
    return QNProfileCheck([](const QString& host) { return !host.endsWith(".invalid"); }, QNStrings::mainBundle());
}

QStringList texts(const QList<QNProfileWarning>& warnings) {
    QStringList result;
    for (const auto& warning : warnings) {
        result.append(warning.text());
    }
    return result;
}

QStringList documentWarnings(const QString& profileBody) {
    const QByteArray text = "<profiles><profile name=\"P\">" + profileBody.toUtf8() + "</profile></profiles>";
    const auto result = QNXMLText::xmlElementWithData(text);
    EXPECT_TRUE(result.ok()) << result.message().toStdString();
    return result.ok() ? texts(check().warningsForDocument(*result.element)) : QStringList{"unreadable"};
}

const QString kSocks = R"(<proxy name="S" type="socks5" host="192.0.2.1" port="1080" identifier="0"/>)";

struct DocumentCase {
    const char* what;
    QString body;
    QStringList expected;
};

TEST(ProfileCheckTest, Documents) {
    const QList<DocumentCase> cases = {
        {"clean profile",
         "<proxies>" + kSocks + R"(</proxies><rules><rule name="R" action="proxy" proxyIdentifier="0"
             enabled="true"><ports><port>80, 1000-2000</port></ports></rule></rules>)",
         {}},
        {"proxy port beyond 16 bits",
         R"(<proxies><proxy name="S" type="socks5" host="192.0.2.1" port="99999"/></proxies>)",
         {R"(Profile "P", proxy "S": port "99999" is not a number in 0-65535; it would be stored as 34463)"}},
        {"proxy port negative and not a number",
         R"(<proxies><proxy name="A" type="socks5" host="192.0.2.1" port="-1"/>
                     <proxy name="B" type="socks5" host="192.0.2.1" port="http"/></proxies>)",
         {R"(Profile "P", proxy "A": port "-1" is not a number in 0-65535; it would be stored as 65535)",
          R"(Profile "P", proxy "B": port "http" is not a number in 0-65535; it would be stored as 0)"}},
        {"rule and filter ports beyond 16 bits",
         R"(<proxies><proxy name="S" type="socks5" host="192.0.2.1"><filterPorts><port>80,70000</port></filterPorts>
             </proxy></proxies><rules><rule name="R" action="direct"><ports><port>065536</port></ports></rule></rules>)",
         {R"(Profile "P", proxy "S": port 70000 is outside 0-65535)",
          R"(Profile "P", rule "R": port 065536 is outside 0-65535)"}},
        {"port texts the compiler refuses",
         R"(<rules><rule name="R" action="direct"><ports><port>2000-1000</port><port>http</port></ports></rule></rules>)",
         {R"(Profile "P", rule "R": "2000-1000" is not a port or port range)",
          R"(Profile "P", rule "R": "http" is not a port or port range)"}},
        {"rule naming no item, an unknown item and an item standing after the rules",
         R"(<rules><rule name="A" action="proxy"/><rule name="B" action="PROXY" proxyIdentifier="7"/>
             <rule name="C" action="proxy" proxyIdentifier="0"/></rules><proxies>)" +
             kSocks + "</proxies>",
         {R"(Profile "P", rule "A": the rule's proxy does not exist; the rule would block)",
          R"(Profile "P", rule "B": the rule's proxy does not exist; the rule would block)",
          R"(Profile "P", rule "C": the rule's proxy does not exist; the rule would block)"}},
        {"rule naming a proxy of unknown type",
         R"(<proxies><proxy name="X" type="socks6" host="192.0.2.1" identifier="0"/></proxies>
             <rules><rule name="R" action="proxy" proxyIdentifier="0"/><rule name="Q" action="drop"/></rules>)",
         {R"(Profile "P", proxy "X": the type "socks6" is unknown; the proxy would be left out)",
          R"(Profile "P", rule "R": the rule's proxy does not exist; the rule would block)",
          R"(Profile "P", rule "Q": the action "drop" is unknown; the rule would block)"}},
        {"chain out of order, its members checked too",
         R"(<proxies><proxyChain name="C" identifier="0">
               <proxy order="0" type="httpConnect" host="192.0.2.1" name="H"/>
               <proxy order="1" type="socks5" host="gone.invalid" port="70000" name="S"/></proxyChain></proxies>)",
         {R"(Profile "P", proxy "S": port "70000" is not a number in 0-65535; it would be stored as 4464)",
          R"(Profile "P", chain "C": The proxy chain is not valid (at most one HTTP proxy, last, and at most one SSH tunnel, first))",
          R"(Profile "P", proxy "S": the host "gone.invalid" does not resolve now)"}},
        {"host that does not resolve",
         R"(<proxies><proxy name="S" type="socks5" host="proxy.example.invalid"/></proxies>)",
         {R"(Profile "P", proxy "S": the host "proxy.example.invalid" does not resolve now)"}},
    };
    for (const auto& c : cases) {
        const QStringList warnings = documentWarnings(c.body);
        EXPECT_EQ(warnings, c.expected) << c.what << "\n" << warnings.join('\n').toStdString();
    }
}

TEST(ProfileCheckTest, EveryProfileOfADocumentByName) {
    const auto result = QNXMLText::xmlElementWithData(
        R"(<profiles><profile name="B" order="1"><rules><rule name="R" action="proxy"/></rules></profile>
           <profile name="A" order="0"><rules><rule name="R" action="proxy"/></rules></profile></profiles>)");
    ASSERT_TRUE(result.ok());
    const auto warnings = check().warningsForDocument(*result.element);
    ASSERT_EQ(warnings.size(), 2);
    EXPECT_EQ(warnings[0].profile, "A");
    EXPECT_EQ(warnings[1].profile, "B");
}

// The stored form: a rule pointing at an item outside the profile's list compiles to no proxy at all.
TEST(ProfileCheckTest, StoredProfileRuleProxyByIdentity) {
    auto proxy =
        QNProxy::proxyWithName("S", QNProxyTypeSOCKS5, "192.0.2.1", 1080, {}, {}, {}, false, 0, {}, {}, {}, {}, 0);
    auto chain = QNProxyChain::proxyChainWithName("C", {proxy->copy()}, true);
    auto good = QNRule::ruleWithName("good", {}, {}, {"443"}, QNRuleActionProxy, chain, true);
    auto stray = QNRule::ruleWithName("stray", {}, {}, {}, QNRuleActionProxy, proxy->copy(), true);
    auto none = QNRule::ruleWithName("none", {}, {}, {}, QNRuleActionProxy, nullptr, false);
    auto direct = QNRule::ruleWithName("direct", {}, {}, {}, QNRuleActionDirect, nullptr, true);
    const auto profile = QNProfile::profileWithName("P", {proxy, chain}, {good, stray, none, direct}, {}, 1);
    EXPECT_EQ(texts(check().warningsForProfile(*profile)),
              QStringList({R"(Profile "P", rule "stray": the rule's proxy does not exist; the rule would block)",
                           R"(Profile "P", rule "none": the rule's proxy does not exist; the rule would block)"}));
}

// Exporting a clean profile and checking the document finds nothing: the check does not quarrel with our own output.
TEST(ProfileCheckTest, DefaultProfileWithAResolvableHostIsClean) {
    auto profile = QNProfile::profileWithIdentifier(1, QNStrings::mainBundle());
    for (const auto& item : profile->proxies()) {
        std::static_pointer_cast<QNProxy>(item)->setHost("192.0.2.1");
    }
    EXPECT_TRUE(check().warningsForProfile(*profile).isEmpty());
    const auto document = QNProfile::xmlElementForProfiles({profile});
    EXPECT_TRUE(check().warningsForDocument(*document).isEmpty());
}

} // namespace
