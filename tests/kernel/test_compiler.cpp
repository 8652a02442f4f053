#include "kernel/QNAtomTypes.h"
#include "kernel/QNProfileCompiler.h"
#include "support/QNRecordingAlertPresenter.h"
#include "test_kernel_support.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

using namespace qntest;

namespace {

// Literal vectors: a proxy named p (SOCKS5, 127.0.0.1:1080), a rule named r (applications "A, B", hosts
// "10.0.0.1, printer", "10.0.0.0-10.255.255.255,::1" and "fd00::-fdff::,10.0.0.1-::1", ports "80, 8000-8080",
// direct) and a DNS entry named d (host intranet, remote), each as its whole atom. List entries are split at
// commas and sent as they are, blanks included; a host entry goes as what it parses as, an address or a range,
// else as a name. A range of mixed families is no range: the address read before the dash must not leak out.
const QByteArray kProxyP = hex("3C000000 79787270"
                               "09000000 656D616E 70"
                               "0C000000 65707974 03000000"
                               "0C000000 34747368 0100007F"
                               "0A000000 74726F70 3804"
                               "09000000 6E6F6E61 00");
const QByteArray kRuleR = hex("DE000000 656C7572"
                              "09000000 656D616E 72"
                              "1B000000 73707061 09000000 6C707061 41 0A000000 6C707061 2042"
                              "88000000 73747368"
                              "0C000000 34697468 0100000A"
                              "10000000 74736F68 207072696E746572"
                              "10000000 72346968 0000000A FFFFFF0A"
                              "18000000 36697468 00000000 00000000 00000000 01000000"
                              "28000000 72366968 000000FD 00000000 00000000 00000000"
                              "0000FFFD 00000000 00000000 00000000"
                              "14000000 74736F68 31302E302E302E312D3A3A31"
                              "1E000000 73747270 0A000000 74726F70 5000 0C000000 67727470 401F901F"
                              "0C000000 6E746361 02000000");
const QByteArray kDNSD = hex("35000000 20736E64"
                             "09000000 656D616E 64"
                             "18000000 73747368 10000000 74736F68 696E7472616E6574"
                             "0C000000 6C736572 01000000");

class CompilerTest : public ::testing::Test {
protected:
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler{presenter, QNStrings::mainBundle()};

    QByteArray compile(const std::shared_ptr<QNProfile>& profile) {
        const std::optional<QByteArray> stream = compiler.profileData(profile.get());
        EXPECT_TRUE(stream);
        EXPECT_TRUE(presenter.alerts().isEmpty());
        return stream.value_or(QByteArray());
    }

    // The 'prxy' atom of one proxy.
    QByteArray proxyAtom(const std::shared_ptr<QNProxy>& proxy) {
        const std::optional<QByteArray> data = compiler.profileProxyData(*proxy);
        EXPECT_TRUE(data);
        return atom(kQNAtomTypeProxy, data.value_or(QByteArray()));
    }
};

TEST_F(CompilerTest, EmptyProfileIsItsNameAndThreeEmptyContainers) {
    const QByteArray stream = compile(makeProfile(QStringLiteral("Home")));
    EXPECT_EQ(stream, hex("0C000000 6D6E7270 486F6D65"
                          "08000000 73787270"
                          "08000000 73656C72"
                          "08000000 73736E64"));

    // A null name writes no 'prnm'; an empty one writes it without data.
    EXPECT_EQ(compile(makeProfile(QString())), hex("08000000 73787270 08000000 73656C72 08000000 73736E64"));
    EXPECT_EQ(compile(makeProfile(QStringLiteral(""))).left(8), hex("08000000 6D6E7270"));

    // No profile at all is a failure, but nothing to tell the user about.
    EXPECT_FALSE(compiler.profileData(nullptr));
    EXPECT_TRUE(presenter.alerts().isEmpty());
}

TEST_F(CompilerTest, StreamHoldsProxiesRulesAndDNSInThatOrder) {
    const auto proxy = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const QStringList hosts = {QStringLiteral("10.0.0.1, printer"), QStringLiteral("10.0.0.0-10.255.255.255,::1"),
                               QStringLiteral("fd00::-fdff::,10.0.0.1-::1")};
    const auto rule = makeRule(QStringLiteral("r"), hosts, {QStringLiteral("80, 8000-8080")}, QNRuleActionDirect,
                               nullptr, {QStringLiteral("A, B")});
    const auto dns = makeDNS(QStringLiteral("d"), {QStringLiteral("intranet")}, QNDNSResolveRemote);
    const QByteArray stream = compile(makeProfile(QStringLiteral("Home"), {proxy}, {rule}, {dns}));
    EXPECT_EQ(stream, hex("0C000000 6D6E7270 486F6D65") + atom(kQNAtomTypeProxies, kProxyP) +
                          atom(kQNAtomTypeRules, kRuleR) + atom(kQNAtomTypeDNSEntries, kDNSD));
}

// Every optional field of a proxy in its place. Which of them are left out when empty or zero (and that a
// filter list whose entries all start at port 0 is an empty group) the fuzz harness checks on every input.
TEST_F(CompilerTest, ProxyWithEveryOptionalField) {
    const auto proxy = makeProxy(QStringLiteral("p"), QNProxyTypeSSHTunnel, QStringLiteral("2001:db8::1"), 22,
                                 {QStringLiteral("80, 8000-8080")}, QStringLiteral("ann"), QStringLiteral("pw"));
    proxy->setAnonymizeRequests(true);
    proxy->setLocalTunnelPort(49152);
    EXPECT_EQ(compiler.profileProxyData(*proxy),
              std::optional<QByteArray>(hex("09000000 656D616E 70"
                                            "0C000000 65707974 07000000"
                                            "18000000 36747368 B80D0120 00000000 00000000 01000000"
                                            "0A000000 74726F70 1600"
                                            "0B000000 72657375 616E6E"
                                            "0A000000 73736170 7077"
                                            "1E000000 73747066 0A000000 74727066 5000 0C000000 67727066 401F901F"
                                            "09000000 6E6F6E61 01"
                                            "0A000000 7470746C 00C0")));
}

TEST_F(CompilerTest, ChainIsFlattenedIntoItsMembers) {
    const auto first = makeProxy(QStringLiteral("a"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const auto last = makeProxy(QStringLiteral("b"), QNProxyTypeHTTPConnect, QStringLiteral("::1"), 3128);
    const auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("c"), {first, last}, true);
    const auto empty = QNProxyChain::proxyChainWithName(QString(), {}, true);

    const std::optional<QByteArray> proxies = compiler.profileProxiesData(*makeProfile(QString(), {chain, empty}));
    ASSERT_TRUE(proxies);
    EXPECT_EQ(*proxies,
              atom(kQNAtomTypeProxyChain, atom(kQNAtomTypeChainName, "c") +
                                              atom(kQNAtomTypeChainProxies, proxyAtom(first) + proxyAtom(last))) +
                  hex("18000000 68637870 08000000 6E637870 08000000 78706370"));
}

// A rule's proxy index is the position of its item's atom, found by identity: an equal copy of an item is not
// that item. A list entry that is neither a proxy nor a chain has no atom, so positions count atoms, not
// entries: otherwise every rule behind it would be sent to the wrong proxy. Positions in general (chains, empty
// slots, proxies from elsewhere) the fuzz harness checks on every input.
TEST_F(CompilerTest, ProxyIndexesFollowIdentityAndCountOnlyCompiledItems) {
    const auto bare = std::make_shared<QNProxyItem>();
    const auto p = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
    const auto toP = makeRule(QStringLiteral("r"), {}, {}, QNRuleActionProxy, p);
    const auto toBare = makeRule(QStringLiteral("s"), {}, {}, QNRuleActionProxy, bare);
    const auto toCopy = makeRule(QStringLiteral("t"), {}, {}, QNRuleActionProxy, p->copy());
    const QByteArray stream = compile(makeProfile(QString(), {bare, nullptr, p}, {toP, toBare, toCopy}));
    // A rule: its name, action 1 (proxy), then the index.
    const auto toProxy = [](const char* name, const char* index) {
        return atom(kQNAtomTypeRule, hex(name) + hex("0C000000 6E746361 01000000 0C000000 69787270") + hex(index));
    };
    EXPECT_EQ(stream, atom(kQNAtomTypeProxies, kProxyP) +
                          atom(kQNAtomTypeRules, toProxy("09000000 656D616E 72", "00000000") +
                                                     toProxy("09000000 656D616E 73", "FFFFFFFF") +
                                                     toProxy("09000000 656D616E 74", "FFFFFFFF")) +
                          atom(kQNAtomTypeDNSEntries));
}

// A table of its own, so the test sees that the texts come from the bundle it hands over.
const QNStrings& alertBundle() {
    static const QNStrings bundle({
        {QStringLiteral("invalidChain"), QStringLiteral("Bad chain")},
        {QStringLiteral("invalidProxyHost"), QStringLiteral("Bad host")},
        {QStringLiteral("invalidFilterPort"), QStringLiteral("Bad filter port")},
        {QStringLiteral("invalidPort"), QStringLiteral("Bad port")},
        {QStringLiteral("ok"), QStringLiteral("Fine")},
    });
    return bundle;
}

std::shared_ptr<QNProxy> proxyAt(const QString& host, quint32 type = QNProxyTypeSOCKS5,
                                 const QStringList& filterPorts = {}) {
    return makeProxy(QStringLiteral("p"), type, host, 1080, filterPorts);
}

std::shared_ptr<QNProxy> typed(quint32 type) {
    return proxyAt(QStringLiteral("127.0.0.1"), type);
}

std::shared_ptr<QNProxyChain> chain(const QString& name, const QList<std::shared_ptr<QNProxy>>& members) {
    return QNProxyChain::proxyChainWithName(name, members, true);
}

std::shared_ptr<QNRule> portRule(const QString& ports, bool enabled = true) {
    return makeRule(QStringLiteral("r"), {}, {ports}, QNRuleActionDirect, nullptr, {}, enabled);
}

// Each problem shows one alert, its key's text with the offending item, and fails the whole profile; the
// first problem found is the one shown: proxies in order (host before filter ports), then rules.
TEST(CompilerAlerts, EachProblemShowsItsKeyWithTheOffendingItem) {
    const QString unresolvable = kUnresolvableHost;
    const QString loopback = QStringLiteral("127.0.0.1");
    const auto good = typed(QNProxyTypeSOCKS5);
    const auto http = QNProxyTypeHTTPTransparent;
    const struct {
        const char* what;
        QList<std::shared_ptr<QNProxyItem>> proxies;
        QList<std::shared_ptr<QNRule>> rules;
        QString message;
    } cases[] = {
        {"chain with HTTP before SOCKS",
         {good, chain(QStringLiteral("Office chain"), {typed(QNProxyTypeHTTPConnect), typed(QNProxyTypeSOCKS5)})},
         {},
         QStringLiteral("Bad chain: Office chain")},
        // The chain is judged before any member is resolved.
        {"invalid chain with an unresolvable member",
         {chain(QStringLiteral("c"), {proxyAt(unresolvable, QNProxyTypeSSHTunnel), typed(QNProxyTypeSSHTunnel)})},
         {},
         QStringLiteral("Bad chain: c")},
        {"unresolvable proxy host", {good, proxyAt(unresolvable)}, {}, QStringLiteral("Bad host: nowhere.invalid")},
        {"unresolvable chain member",
         {chain(QStringLiteral("c"), {good, proxyAt(unresolvable)})},
         {},
         QStringLiteral("Bad host: nowhere.invalid")},
        {"empty host", {proxyAt(QString())}, {}, QStringLiteral("Bad host: ")},
        {"filter port range backwards",
         {proxyAt(loopback, http, {QStringLiteral("80"), QStringLiteral("443,8080-80")})},
         {},
         QStringLiteral("Bad filter port: 8080-80")},
        // The entry is shown as it was cut from its element, blank included.
        {"rule port range backwards",
         {good},
         {portRule(QStringLiteral("443, 90-80"))},
         QStringLiteral("Bad port:  90-80")},
        // The item is put in as it is: a placeholder inside it is not filled a second time.
        {"item holding a placeholder", {}, {portRule(QStringLiteral("%1"))}, QStringLiteral("Bad port: %1")},
        {"host before rule port",
         {proxyAt(unresolvable)},
         {portRule(QStringLiteral("90-80"))},
         QStringLiteral("Bad host: nowhere.invalid")},
        {"earlier proxy first",
         {proxyAt(loopback, http, {QStringLiteral("x")}), proxyAt(unresolvable)},
         {},
         QStringLiteral("Bad filter port: x")},
        {"host before filter port in one proxy",
         {proxyAt(unresolvable, http, {QStringLiteral("x")})},
         {},
         QStringLiteral("Bad host: nowhere.invalid")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QNRecordingAlertPresenter presenter;
        QNProfileCompiler compiler(presenter, alertBundle());
        const auto profile = makeProfile(QStringLiteral("P"), c.proxies, c.rules);
        EXPECT_FALSE(compiler.profileData(profile.get()));
        ASSERT_EQ(presenter.alerts().size(), 1);
        const QNAlert& alert = presenter.alerts().first();
        EXPECT_EQ(alert.messageText, c.message);
        EXPECT_TRUE(alert.informativeText.isEmpty());
        EXPECT_EQ(alert.defaultButton, QStringLiteral("Fine"));
        EXPECT_TRUE(alert.alternateButton.isEmpty());
        EXPECT_TRUE(alert.otherButton.isEmpty());
    }
}

} // namespace
