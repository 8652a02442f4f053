#include "kernel/QNProfileCompiler.h"
#include "support/QNRecordingAlertPresenter.h"
#include "test_compiler_support.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

using namespace qntest;

namespace {

// A table of its own, so the test sees that the texts come from the bundle it hands over.
const QNStrings& testBundle() {
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

} // namespace

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
        QString message; // empty: compiles
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
        {"host and port without a scheme",
         {proxyAt(QStringLiteral("localhost:1080"))},
         {},
         QStringLiteral("Bad host: localhost:1080")},
        {"empty host", {proxyAt(QString())}, {}, QStringLiteral("Bad host: ")},
        {"filter port range backwards",
         {proxyAt(loopback, http, {QStringLiteral("80"), QStringLiteral("443,8080-80")})},
         {},
         QStringLiteral("Bad filter port: 8080-80")},
        {"filter port not a number",
         {proxyAt(loopback, http, {QStringLiteral("http")})},
         {},
         QStringLiteral("Bad filter port: http")},
        // The entry is shown as it was cut from its element, blank included.
        {"rule port range backwards",
         {good},
         {portRule(QStringLiteral("443, 90-80"))},
         QStringLiteral("Bad port:  90-80")},
        {"rule port with three parts", {}, {portRule(QStringLiteral("1-2-3"))}, QStringLiteral("Bad port: 1-2-3")},
        // The item is put in as it is: a placeholder inside it is not filled a second time.
        {"item holding a placeholder", {}, {portRule(QStringLiteral("%1"))}, QStringLiteral("Bad port: %1")},
        {"disabled rules are not checked", {}, {portRule(QStringLiteral("x"), false)}, QString()},
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
        QNProfileCompiler compiler(presenter, testBundle());
        const auto profile = makeProfile(QStringLiteral("P"), c.proxies, c.rules);
        EXPECT_EQ(compiler.profileData(profile.get()).has_value(), c.message.isEmpty());
        if (c.message.isEmpty()) {
            EXPECT_TRUE(presenter.alerts().isEmpty());
            continue;
        }
        ASSERT_EQ(presenter.alerts().size(), 1);
        const QNAlert& alert = presenter.alerts().first();
        EXPECT_EQ(alert.messageText, c.message);
        EXPECT_TRUE(alert.informativeText.isEmpty());
        EXPECT_EQ(alert.defaultButton, QStringLiteral("Fine"));
        EXPECT_TRUE(alert.alternateButton.isEmpty());
        EXPECT_TRUE(alert.otherButton.isEmpty());
    }
}

TEST(CompilerAlerts, UsesTheProgramsOwnTexts) {
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    EXPECT_FALSE(compiler.profileRulesData(*makeProfile(QString(), {}, {portRule(QStringLiteral("90-80"))})));
    ASSERT_EQ(presenter.alerts().size(), 1);
    EXPECT_EQ(presenter.alerts().first().messageText,
              QNLocalizedString(QStringLiteral("invalidPort")) + QStringLiteral(": 90-80"));
    EXPECT_EQ(presenter.alerts().first().defaultButton, QNLocalizedString(QStringLiteral("ok")));
}
