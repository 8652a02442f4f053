// quillon-engine as a program: an agent's control channel and compiler on one side, the engine on the other.

#include "kernel/QNControlChannel.h"
#include "kernel/QNProfileCompiler.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNRule.h"
#include "test_fixture.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A proxy, a rule and a DNS entry: every kind of atom is the kernel's own tests' business, this is what the
// engine makes of a whole stream.
std::shared_ptr<QNProfile> sampleProfile(const QString& name) {
    const auto socks = QNProxy::proxyWithName("SOCKS", QNProxyTypeSOCKS5, "127.0.0.1", 1080, QString(), QString(), {},
                                              false, 0, {}, QString(), {}, QString(), 0);
    const auto rule =
        QNRule::ruleWithName("office", {"mail"}, {"10.0.0.0-10.0.0.9"}, {"443"}, QNRuleActionProxy, socks, true);
    const auto dns = std::make_shared<QNDNS>("inside", QStringList{"intranet,wiki"}, QNDNSResolveRemote, true);
    return QNProfile::profileWithName(name, {socks}, {rule}, {dns}, 1);
}

QByteArray compile(const QNProfile& profile) {
    QNRecordingAlertPresenter alerts;
    QNProfileCompiler compiler(alerts, QNStrings::mainBundle());
    const std::optional<QByteArray> stream = compiler.profileData(&profile);
    EXPECT_TRUE(stream.has_value());
    EXPECT_TRUE(alerts.alerts().isEmpty());
    return stream.value_or(QByteArray());
}

QJsonObject parseLine(const QString& line) {
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
    EXPECT_TRUE(document.isObject()) << line.toStdString();
    return document.object();
}

// A raw connection to the engine, for what a well-behaved channel never sends; or, bound and closed at
// once, the socket file a killed engine leaves behind.
int rawSocket(const QString& path, bool bindOnly = false) {
    const QByteArray bytes = path.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto* where = reinterpret_cast<const sockaddr*>(&address);
    if ((bindOnly ? ::bind(fd, where, sizeof address) : ::connect(fd, where, sizeof address)) < 0 || bindOnly) {
        ::close(fd);
        return bindOnly ? 0 : -1;
    }
    return fd;
}

// True when the engine closed the connection: everything it sent is drained until the end.
bool closedByPeer(int fd) {
    char buffer[4096];
    for (;;) {
        pollfd descriptor{fd, POLLIN, 0};
        if (::poll(&descriptor, 1, 20000) != 1) {
            return false;
        }
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) {
            return true;
        }
    }
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (kEnginePath.isEmpty()) {
            GTEST_SKIP() << "quillon-engine is not built";
        }
        ASSERT_TRUE(folder.isValid());
        // A folder that does not exist yet: the engine makes it.
        socketPath = folder.filePath("run/quillon/control.sock");
    }

    QStringList arguments(const QStringList& more = {}) const {
        // The stand-in: these tests need only the control-socket peer, never interception.
        return QStringList{"--simulate", "--socket", socketPath, "--interval", "0.05"} + more;
    }
    // Starts it and waits until it listens; false when it did not get that far.
    static bool start(QNTestChildProcess& engine, const QStringList& arguments,
                      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
        return engine.start(arguments, environment) && engine.waitForStderr("listening on");
    }

    // An agent's channel, connected, with its log lines and statistics recorded.
    std::unique_ptr<QNControlChannel> connectAgent() {
        auto channel = std::make_unique<QNControlChannel>(socketPath);
        QObject::connect(channel.get(), &QNControlChannel::logLine, [this](const QString& line) { logLines << line; });
        QObject::connect(channel.get(), &QNControlChannel::statisticsChanged,
                         [this](quint32 type) { statistics << type; });
        channel->setLogging(true);
        channel->enableControlSocket(true);
        EXPECT_TRUE(channel->isControlSocketOpen());
        return channel;
    }

    QTemporaryDir folder;
    QString socketPath;
    QStringList logLines;
    QList<quint32> statistics;
};

} // namespace

// Every stream as the engine reads it: printed with --dump, and a 'loge' line while the agent's logging flag
// is 1.
TEST_F(EngineTest, StreamsAreDumpedAndLoggedWhileTheFlagIsOn) {
    QNTestChildProcess engine(kEnginePath);
    ASSERT_TRUE(start(engine, arguments({"--dump"})));
    auto channel = connectAgent();

    const QByteArray stream = compile(*sampleProfile("Büro ✓"));
    channel->setLogging(false);
    ASSERT_TRUE(channel->updateKEXT(kQNKernelOptionLogging));
    ASSERT_TRUE(channel->updateKEXT(kQNKernelOptionProfile, stream));
    channel->setLogging(true);
    ASSERT_TRUE(channel->updateKEXT(kQNKernelOptionLogging));
    ASSERT_TRUE(channel->updateKEXT(kQNKernelOptionProfile, stream));
    ASSERT_TRUE(channel->updateKEXT(kQNKernelOptionProfile, QByteArray()));
    ASSERT_TRUE(channel->updateKEXT(kQNKernelOptionProfile, stream.left(stream.size() - 3)));
    ASSERT_TRUE(engine.waitForStdoutLines(4));

    // Exactly what the decoder reads from the bytes the compiler made (whose own tests pin what that is).
    const QJsonObject dumped = parseLine(engine.stdoutLines[0]);
    EXPECT_EQ(dumped, QNProfileStreamDecoder::jsonDocument(*QNProfileStreamDecoder::decode(stream)).object());
    EXPECT_EQ(dumped["name"].toString(), "Büro ✓");
    // No profile, then a stream cut short.
    EXPECT_EQ(engine.stdoutLines[2], "null");
    EXPECT_TRUE(parseLine(engine.stdoutLines[3]).contains("error"));
    EXPECT_TRUE(engine.waitForStderr("malformed profile stream"));

    // The engine handles frames in order, so a line for the first stream would have come first.
    ASSERT_TRUE(qnWaitUntil([&] { return logLines.size() >= 3; }));
    EXPECT_EQ(logLines[0], "profile Büro ✓: 1 proxies, 1 rules, 1 DNS entries");
    EXPECT_EQ(logLines[1], "no profile");
    EXPECT_TRUE(logLines[2].startsWith("malformed profile stream: ")) << logLines[2].toStdString();
}

// Statistics come every interval, with made-up figures that grow.
TEST_F(EngineTest, StatisticsArriveEveryInterval) {
    QNTestChildProcess engine(kEnginePath);
    // The path from the environment this time.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(QNControlChannel::kEnvironmentVariable), socketPath);
    ASSERT_TRUE(start(engine, QStringList{"--simulate", "--interval", "0.05"}, environment));
    EXPECT_TRUE(engine.stderrContains("simulating"));
    statistics.clear();
    auto channel = connectAgent();
    // Several rounds of all three, so at least one came from the timer and not only from the greeting.
    ASSERT_TRUE(qnWaitUntil([&] {
        return statistics.count(kQNAtomTypeConnections) >= 3 && statistics.count(kQNAtomTypeDataSent) >= 3 &&
               statistics.count(kQNAtomTypeDataReceived) >= 3;
    }));
    EXPECT_GT(channel->connections(), 0);
    EXPECT_GT(channel->dataSent(), 0u);
    EXPECT_GT(channel->dataReceived(), 0u);
}

TEST_F(EngineTest, StaleSocketIsReplacedAndSignalsEndItCleanly) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(socketPath).absolutePath()));
    for (const int number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(number);
        ASSERT_EQ(rawSocket(socketPath, true), 0);
        QNTestChildProcess engine(kEnginePath);
        ASSERT_TRUE(start(engine, arguments()));
        EXPECT_TRUE(engine.stderrContains("stale"));
        auto channel = connectAgent();
        ASSERT_TRUE(engine.waitForStderr("agent connected"));
        engine.signal(number);
        EXPECT_EQ(engine.waitForExit(), 0);
        EXPECT_FALSE(QFileInfo::exists(socketPath));
    }

    // Something that is not a socket is never removed.
    ASSERT_TRUE(writeFile(socketPath, "keep me"));
    const QNTestProcessResult refused = qnRunProcess(kEnginePath, arguments());
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.standardError.contains("not a socket")) << refused.standardError.data();
    EXPECT_EQ(readFile(socketPath), QByteArray("keep me"));
}

// Garbage from an agent costs that agent its connection, never the engine its life.
TEST_F(EngineTest, GarbageClosesOnlyThatAgent) {
    QNTestChildProcess engine(kEnginePath);
    ASSERT_TRUE(start(engine, arguments({"--dump"})));
    const QByteArray garbage[] = {
        QByteArray("\x03\0\0\0\0\0\0\0", 8),         // shorter than its own header
        QByteArray("\x01\0\0\x04\0\0\0\0", 8),       // 64 MiB + 1
        QByteArray("\xff\xff\xff\xff\x01\0\0\0", 8), // 4 GiB
    };
    for (const QByteArray& bytes : garbage) {
        const int fd = rawSocket(socketPath);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL), bytes.size());
        EXPECT_TRUE(closedByPeer(fd));
        ::close(fd);
    }
    // Framed well but wrong inside: reported and skipped, the connection stays.
    const int fd = rawSocket(socketPath);
    ASSERT_GE(fd, 0);
    const QByteArray odd = QByteArray("\x0b\0\0\0\x01\0\0\0abc", 11) + QByteArray("\x08\0\0\0\x09\0\0\0", 8) +
                           QByteArray("\x08\0\0\0\0\0\0\0", 8);
    ASSERT_EQ(::send(fd, odd.constData(), size_t(odd.size()), MSG_NOSIGNAL), odd.size());
    ASSERT_TRUE(engine.waitForStdoutLines(1));
    EXPECT_EQ(engine.stdoutLines[0], "null");
    EXPECT_TRUE(engine.stderrContains("ignored a logging flag"));
    EXPECT_TRUE(engine.stderrContains("ignored unknown option 9"));
    ::close(fd);
}

// One engine on a path; one agent at a time, the next one waiting its turn and then served in full.
TEST_F(EngineTest, OneEngineAPathAndOneAgentAtATime) {
    QNTestChildProcess engine(kEnginePath);
    ASSERT_TRUE(start(engine, arguments({"--dump"})));
    const QNTestProcessResult second = qnRunProcess(kEnginePath, arguments());
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.standardError.contains("another engine is already listening")) << second.standardError.data();

    auto first = connectAgent();
    ASSERT_TRUE(engine.waitForStderr("agent connected"));
    auto waiting = connectAgent();
    ASSERT_TRUE(waiting->updateKEXT(kQNKernelOptionProfile, compile(*sampleProfile("second"))));
    ASSERT_TRUE(first->updateKEXT(kQNKernelOptionProfile, compile(*sampleProfile("first"))));
    ASSERT_TRUE(engine.waitForStdoutLines(1));
    first.reset();
    ASSERT_TRUE(engine.waitForStdoutLines(2));
    EXPECT_EQ(parseLine(engine.stdoutLines[0])["name"].toString(), "first");
    EXPECT_EQ(parseLine(engine.stdoutLines[1])["name"].toString(), "second");
}

TEST(EngineCommandLine, HelpAndBadArguments) {
    if (kEnginePath.isEmpty()) {
        GTEST_SKIP() << "quillon-engine is not built";
    }
    const struct {
        QStringList arguments;
        int exitCode;
        const char* printed;
    } cases[] = {
        {{"--help"}, 0, "--simulate"},
        {{"--interval", "0"}, 1, "--interval"},
        {{"--interval", "soon"}, 1, "--interval"},
        {{"--no-such-option"}, 1, "no-such-option"},
        {{"--simulate", "--socket", QString(200, QLatin1Char('x'))}, 1, "too long"},
        {{"--connect-timeout", "0"}, 1, "--connect-timeout"},
    };
    for (const auto& c : cases) {
        const QNTestProcessResult result = qnRunProcess(kEnginePath, c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE((result.standardOutput + result.standardError).contains(c.printed))
            << c.arguments.join(QLatin1Char(' ')).toStdString();
    }
}

// Without the privilege to intercept, the engine says what it needs and touches nothing.
TEST(EngineCommandLine, InterceptingNeedsThePrivilege) {
    if (kEnginePath.isEmpty()) {
        GTEST_SKIP() << "quillon-engine is not built";
    }
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString socketPath = folder.filePath("control.sock");
    // As root, the same program run as an unprivileged user.
    const QNTestProcessResult result =
        ::geteuid() != 0 ? qnRunProcess(kEnginePath, {"--socket", socketPath})
                         : qnRunProcess("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", kEnginePath,
                                                    "--socket", socketPath});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardError.contains("needs root or CAP_NET_ADMIN (use --simulate"))
        << result.standardError.data();
    EXPECT_FALSE(QFileInfo::exists(socketPath));
}
