#include "kernel/QNProfileCompiler.h"
#include "support/QNRecordingAlertPresenter.h"
#include "test_compiler_support.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

#include <functional>

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

std::shared_ptr<QNProxy> goodProxy(const QString& name = QStringLiteral("good")) {
    return makeProxy(name, QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080);
}

std::shared_ptr<QNProxy> typedProxy(quint32 type) {
    return makeProxy(QStringLiteral("m"), type, QStringLiteral("127.0.0.1"), 1080);
}

struct FailureCase {
    const char* what;
    std::function<std::shared_ptr<QNProfile>()> profile;
    QString message;
};

TEST(CompilerAlerts, EachProblemShowsItsKeyWithTheOffendingItemAndFailsTheWhole) {
    const FailureCase cases[] = {
        {"chain with HTTP before SOCKS",
         [] {
             const auto chain = QNProxyChain::proxyChainWithName(
                 QStringLiteral("Office chain"), {typedProxy(QNProxyTypeHTTPConnect), typedProxy(QNProxyTypeSOCKS5)},
                 true);
             return makeProfile(QStringLiteral("P"), {goodProxy(), chain});
         },
         QStringLiteral("Bad chain: Office chain")},
        {"chain with the tunnel not first",
         [] {
             const auto chain = QNProxyChain::proxyChainWithName(
                 QStringLiteral("c"), {typedProxy(QNProxyTypeSOCKS5), typedProxy(QNProxyTypeSSHTunnel)}, true);
             return makeProfile(QStringLiteral("P"), {chain});
         },
         QStringLiteral("Bad chain: c")},
        // The chain is judged before any member is resolved.
        {"invalid chain with an unresolvable member",
         [] {
             const auto bad = makeProxy(QStringLiteral("m"), QNProxyTypeSSHTunnel, kUnresolvableHost, 22);
             const auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("c"), {bad, bad}, true);
             return makeProfile(QStringLiteral("P"), {chain});
         },
         QStringLiteral("Bad chain: c")},
        {"unresolvable proxy host",
         [] {
             const auto bad = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, kUnresolvableHost, 1080);
             return makeProfile(QStringLiteral("P"), {goodProxy(), bad});
         },
         QStringLiteral("Bad host: nowhere.invalid")},
        {"unresolvable chain member",
         [] {
             const auto bad = makeProxy(QStringLiteral("m"), QNProxyTypeSOCKS5, kUnresolvableHost, 1080);
             const auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("c"), {goodProxy(), bad}, true);
             return makeProfile(QStringLiteral("P"), {chain});
         },
         QStringLiteral("Bad host: nowhere.invalid")},
        {"host and port without a scheme",
         [] {
             const auto bad = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QStringLiteral("localhost:1080"), 1);
             return makeProfile(QStringLiteral("P"), {bad});
         },
         QStringLiteral("Bad host: localhost:1080")},
        {"empty host",
         [] {
             const auto bad = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QString(), 1080);
             return makeProfile(QStringLiteral("P"), {bad});
         },
         QStringLiteral("Bad host: ")},
        {"filter port range backwards",
         [] {
             const auto bad = makeProxy(QStringLiteral("p"), QNProxyTypeHTTPTransparent, QStringLiteral("127.0.0.1"),
                                        80, {QStringLiteral("80"), QStringLiteral("443,8080-80")});
             return makeProfile(QStringLiteral("P"), {bad});
         },
         QStringLiteral("Bad filter port: 8080-80")},
        {"filter port not a number",
         [] {
             const auto bad = makeProxy(QStringLiteral("p"), QNProxyTypeHTTPTransparent, QStringLiteral("127.0.0.1"),
                                        80, {QStringLiteral("http")});
             return makeProfile(QStringLiteral("P"), {bad});
         },
         QStringLiteral("Bad filter port: http")},
        // The entry is shown as it was cut from its element, blank included.
        {"rule port range backwards",
         [] {
             const auto rule = makeRule(QStringLiteral("r"), {}, {QStringLiteral("443, 90-80")}, QNRuleActionDirect);
             return makeProfile(QStringLiteral("P"), {goodProxy()}, {rule});
         },
         QStringLiteral("Bad port:  90-80")},
        {"rule port with three parts",
         [] {
             const auto rule = makeRule(QStringLiteral("r"), {}, {QStringLiteral("1-2-3")}, QNRuleActionBlock);
             return makeProfile(QStringLiteral("P"), {}, {rule});
         },
         QStringLiteral("Bad port: 1-2-3")},
        // The item is put in as it is: a placeholder inside it is not filled a second time.
        {"item holding a placeholder",
         [] {
             const auto rule = makeRule(QStringLiteral("r"), {}, {QStringLiteral("%1")}, QNRuleActionBlock);
             return makeProfile(QStringLiteral("P"), {}, {rule});
         },
         QStringLiteral("Bad port: %1")},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        QNRecordingAlertPresenter presenter;
        QNProfileCompiler compiler(presenter, testBundle());
        const auto profile = c.profile();
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

TEST(CompilerAlerts, FirstFailureWins) {
    const auto badHost = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, kUnresolvableHost, 1080);
    const auto badFilter = makeProxy(QStringLiteral("q"), QNProxyTypeHTTPTransparent, QStringLiteral("127.0.0.1"), 80,
                                     {QStringLiteral("x")});
    const auto badRule = makeRule(QStringLiteral("r"), {}, {QStringLiteral("90-80")}, QNRuleActionDirect);

    struct Case {
        const char* what;
        QList<std::shared_ptr<QNProxyItem>> proxies;
        QString message;
    };
    const Case cases[] = {
        {"host before rule port", {badHost}, QStringLiteral("Bad host: nowhere.invalid")},
        {"earlier proxy first", {badFilter, badHost}, QStringLiteral("Bad filter port: x")},
        {"rule port when proxies are fine", {goodProxy()}, QStringLiteral("Bad port: 90-80")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QNRecordingAlertPresenter presenter;
        QNProfileCompiler compiler(presenter, testBundle());
        const auto profile = makeProfile(QStringLiteral("P"), c.proxies, {badRule});
        EXPECT_FALSE(compiler.profileData(profile.get()));
        ASSERT_EQ(presenter.alerts().size(), 1);
        EXPECT_EQ(presenter.alerts().first().messageText, c.message);
    }

    // A host that resolves and a bad filter port in the same proxy: the host is looked at first, the
    // filter port still fails.
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, testBundle());
    badFilter->setHost(kUnresolvableHost);
    EXPECT_FALSE(compiler.profileProxyData(*badFilter));
    ASSERT_EQ(presenter.alerts().size(), 1);
    EXPECT_EQ(presenter.alerts().first().messageText, QStringLiteral("Bad host: nowhere.invalid"));
}

TEST(CompilerAlerts, DisabledRulesAreNotChecked) {
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, testBundle());
    const auto badRule =
        makeRule(QStringLiteral("r"), {}, {QStringLiteral("x")}, QNRuleActionDirect, nullptr, {}, false);
    const auto profile = makeProfile(QStringLiteral("P"), {}, {badRule});
    EXPECT_TRUE(compiler.profileData(profile.get()));
    EXPECT_TRUE(presenter.alerts().isEmpty());
}

TEST(CompilerAlerts, UsesTheProgramsOwnTexts) {
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    const auto rule = makeRule(QStringLiteral("r"), {}, {QStringLiteral("90-80")}, QNRuleActionDirect);
    EXPECT_FALSE(compiler.profileRulesData(*makeProfile(QString(), {}, {rule})));
    ASSERT_EQ(presenter.alerts().size(), 1);
    EXPECT_EQ(presenter.alerts().first().messageText,
              QNLocalizedString(QStringLiteral("invalidPort")) + QStringLiteral(": 90-80"));
    EXPECT_EQ(presenter.alerts().first().defaultButton, QNLocalizedString(QStringLiteral("ok")));
}

} // namespace
