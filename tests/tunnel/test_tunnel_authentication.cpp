// The order of authentication methods and every keyboard-interactive rule, against a scripted server.
#include "QNScriptedSSHServer.h"
#include "QNTunnelTestSupport.h"

#include "model/QNProxy.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

namespace {

using Script = QNScriptedSSHServer::Script;
using Ending = QNScriptedSSHServer::Ending;

constexpr int kInteractive = SSH_AUTH_METHOD_INTERACTIVE;
constexpr int kPassword = SSH_AUTH_METHOD_PASSWORD;

struct AuthenticationCase {
    const char* name;
    Script script;
    const char* password; // the proxy's (null: none)
    const char* errorKey; // null: connects; "" : the library's own text
    QStringList methodsTried;
    QList<QStringList> answers = {};
};

const QString kKbd = QStringLiteral("keyboard-interactive");
const QString kNone = QStringLiteral("none");
const QString kPasswordMethod = QStringLiteral("password");

const AuthenticationCase kCases[] = {
    {"InteractiveBeforePassword",
     {kInteractive | kPassword, false, {{"Password: "}}, Ending::Success, "pw"},
     "pw",
     nullptr,
     {kNone, kKbd},
     {{"pw"}}},
    {"PromptRules",
     {kInteractive, false, {{"Continue (yes/no)?", "Token:", "password:"}}, Ending::Success, {}},
     "pw",
     nullptr,
     {kNone, kKbd},
     {{"yes", "", "pw"}}},
    {"RoundWithoutPrompts",
     {kInteractive, false, {{}, {"Password:"}}, Ending::Success, {}},
     "pw",
     nullptr,
     {kNone, kKbd},
     {{}, {"pw"}}},
    {"NoRouteToHost",
     {kInteractive, false, {{"connect: No route to host"}}, Ending::Success, {}},
     "pw",
     "authenticationFailedNoRouteToHost",
     {kNone, kKbd}},
    {"HostIsDown",
     {kInteractive, false, {{"Host is down"}}, Ending::Success, {}},
     "pw",
     "authenticationFailedHostIsDown",
     {kNone, kKbd}},
    {"OperationTimedOut",
     {kInteractive, false, {{"Operation timed out"}}, Ending::Success, {}},
     "pw",
     "authenticationFailedTimedOut",
     {kNone, kKbd}},
    {"InteractiveDenied",
     {kInteractive | kPassword, false, {{"Password:"}}, Ending::Deny, "pw"},
     "pw",
     "authenticationFailedDenied",
     {kNone, kKbd},
     {{"pw"}}},
    {"PartialSuccessThenPassword",
     {kInteractive | kPassword, false, {{"Password:"}}, Ending::Partial, "pw"},
     "pw",
     nullptr,
     {kNone, kKbd, kPasswordMethod},
     {{"pw"}}},
    {"PasswordWithoutInteractive",
     {kPassword, false, {}, Ending::Success, "pw"},
     "pw",
     nullptr,
     {kNone, kPasswordMethod}},
    {"PasswordRefused", {kPassword, false, {}, Ending::Success, "other"}, "pw", "", {kNone, kPasswordMethod}},
    {"PublicKeyOnlyWithoutKey",
     {SSH_AUTH_METHOD_PUBLICKEY, false, {}, Ending::Success, {}},
     "pw",
     "authenticationFailed",
     {kNone}},
    {"AnyoneAdmitted", {0, true, {}, Ending::Success, {}}, nullptr, nullptr, {kNone}},
    {"OnlyMethodsWeLack",
     {SSH_AUTH_METHOD_HOSTBASED, false, {}, Ending::Success, {}},
     "pw",
     "authenticationFailed",
     {kNone}},
};

class TunnelAuthenticationTest : public testing::TestWithParam<AuthenticationCase> {};

TEST_P(TunnelAuthenticationTest, MethodsAnswersAndOutcome) {
    const AuthenticationCase& c = GetParam();
    QNScriptedSSHServer sshServer(c.script);
    ASSERT_NE(sshServer.port(), 0);
    auto proxy = QNProxy::proxy();
    proxy->setType(QNProxyTypeSSHTunnel);
    proxy->setHost(QStringLiteral("127.0.0.1"));
    proxy->setPort(sshServer.port());
    proxy->setUsername(QStringLiteral("tester"));
    proxy->setPassword(c.password ? QString::fromUtf8(c.password) : QString());

    QNRecordingTunnelDelegate delegate;
    auto server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    ASSERT_NE(server->createTunnel(*proxy), 0);
    server->start();
    const bool connected = delegate.waitForConnected();
    if (!c.errorKey) {
        EXPECT_TRUE(connected) << delegate.errors.join(QLatin1Char('\n')).toStdString();
    } else {
        ASSERT_TRUE(delegate.waitForErrors());
        const QString error = delegate.errors.value(0);
        const QString expected = *c.errorKey ? QNLocalizedString(QString::fromLatin1(c.errorKey)) : QString();
        if (*c.errorKey) {
            EXPECT_TRUE(error.endsWith(QStringLiteral(" - ") + expected)) << error.toStdString();
        } else {
            // The library's words for a refused password.
            EXPECT_TRUE(error.contains(QStringLiteral("Access denied"))) << error.toStdString();
        }
    }
    server->stop();
    EXPECT_EQ(sshServer.methodsTried(), c.methodsTried);
    EXPECT_EQ(sshServer.answers(), c.answers);
}

INSTANTIATE_TEST_SUITE_P(Scripted, TunnelAuthenticationTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<AuthenticationCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
