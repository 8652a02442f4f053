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
    const char* tried;    // the methods the server saw, in order
    QList<QStringList> answers = {};
};

const char* const kKbd = "none keyboard-interactive";

// clang-format off
const AuthenticationCase kCases[] = {
    {"InteractiveBeforePassword", {kInteractive | kPassword, false, {{"Password: "}}, Ending::Success, "pw"}, "pw",
     nullptr, kKbd, {{"pw"}}},
    {"PromptRules", {kInteractive, false, {{"Continue (yes/no)?", "Token:", "password:"}}}, "pw", nullptr, kKbd,
     {{"yes", "", "pw"}}},
    {"RoundWithoutPrompts", {kInteractive, false, {{}, {"Password:"}}}, "pw", nullptr, kKbd, {{}, {"pw"}}},
    {"NoRouteToHost", {kInteractive, false, {{"connect: No route to host"}}}, "pw",
     "authenticationFailedNoRouteToHost", kKbd},
    {"HostIsDown", {kInteractive, false, {{"Host is down"}}}, "pw", "authenticationFailedHostIsDown", kKbd},
    {"OperationTimedOut", {kInteractive, false, {{"Operation timed out"}}}, "pw", "authenticationFailedTimedOut",
     kKbd},
    {"InteractiveDenied", {kInteractive | kPassword, false, {{"Password:"}}, Ending::Deny, "pw"}, "pw",
     "authenticationFailedDenied", kKbd, {{"pw"}}},
    {"PartialSuccessThenPassword", {kInteractive | kPassword, false, {{"Password:"}}, Ending::Partial, "pw"}, "pw",
     nullptr, "none keyboard-interactive password", {{"pw"}}},
    {"PasswordWithoutInteractive", {kPassword, false, {}, Ending::Success, "pw"}, "pw", nullptr, "none password"},
    {"PasswordRefused", {kPassword, false, {}, Ending::Success, "other"}, "pw", "", "none password"},
    {"PublicKeyOnlyWithoutKey", {SSH_AUTH_METHOD_PUBLICKEY}, "pw", "authenticationFailed", "none"},
    {"AnyoneAdmitted", {0, true}, nullptr, nullptr, "none"},
    {"OnlyMethodsWeLack", {SSH_AUTH_METHOD_HOSTBASED}, "pw", "authenticationFailed", "none"},
};
// clang-format on

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
        if (*c.errorKey) {
            EXPECT_TRUE(error.endsWith(QStringLiteral(" - ") + QNLocalizedString(QString::fromLatin1(c.errorKey))))
                << error.toStdString();
        } else {
            // The library's words for a refused password.
            EXPECT_TRUE(error.contains(QStringLiteral("Access denied"))) << error.toStdString();
        }
    }
    server->stop();
    EXPECT_EQ(sshServer.methodsTried(), QString::fromLatin1(c.tried).split(QLatin1Char(' ')));
    EXPECT_EQ(sshServer.answers(), c.answers);
}

INSTANTIATE_TEST_SUITE_P(Scripted, TunnelAuthenticationTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<AuthenticationCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
