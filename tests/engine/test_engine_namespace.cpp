// The engine intercepting for real, in a network namespace this test makes and removes: nothing outside it
// is touched. Needs root, ip, nft, setpriv, curl and python3; skipped otherwise.

#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"
#include "kernel/QNControlMessageParser.h"
#include "util/QNConstants.h"

#include "support/QNTestChildProcess.h"
#include "support/QNTestProcess.h"
#include "support/QNTestWait.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#ifdef QN_QUILLON_ENGINE_PATH
const QString kEngine = QStringLiteral(QN_QUILLON_ENGINE_PATH);
#else
const QString kEngine;
#endif

constexpr uid_t kAgentUser = 65534; // intercepted
constexpr uid_t kOtherUser = 65533; // has no agent
const char* const kServer4 = "10.231.0.1";
const char* const kServer6 = "fd00:231::1";

QByteArray u32(quint32 value) {
    return QByteArray(reinterpret_cast<const char*>(&value), 4);
}

QByteArray atom(quint32 type, const QByteArray& data = {}) {
    QByteArray bytes;
    QNAtomWriter::appendAtom(bytes, type, data);
    return bytes;
}

QByteArray portsAtom(quint16 port) {
    QByteArray ports;
    QNAtomWriter::appendUInt16Atom(ports, kQNAtomTypePort, port);
    return atom(kQNAtomTypePorts, ports);
}

// Blocks the server's port 8081, sends port 8082 through a SOCKS 5 proxy nobody runs, everything else direct.
QByteArray profileStream() {
    quint32 address = 0;
    ::inet_pton(AF_INET, kServer4, &address);
    const QByteArray server = u32(ntohl(address));
    QByteArray block = atom(kQNAtomTypeName, "no 8081") +
                       atom(kQNAtomTypeHosts, atom(kQNAtomTypeHostAddressIPv4, server)) + portsAtom(8081);
    QNAtomWriter::appendUInt32Atom(block, kQNAtomTypeAction, 3);
    QByteArray proxied = atom(kQNAtomTypeName, "dead proxy") + portsAtom(8082);
    QNAtomWriter::appendUInt32Atom(proxied, kQNAtomTypeAction, 1);
    QNAtomWriter::appendUInt32Atom(proxied, kQNAtomTypeProxyIndex, 0);
    // In the compiler's order: name, type, host, port, anon.
    QByteArray proxy = atom(kQNAtomTypeName, "gone");
    QNAtomWriter::appendUInt32Atom(proxy, kQNAtomTypeType, 3);
    proxy += atom(kQNAtomTypeHostIPv4, server);
    QNAtomWriter::appendUInt16Atom(proxy, kQNAtomTypePort, 1);
    QNAtomWriter::appendUInt8Atom(proxy, kQNAtomTypeAnonymize, 0);
    return atom(kQNAtomTypeProfileName, "smoke") + atom(kQNAtomTypeProxies, atom(kQNAtomTypeProxy, proxy)) +
           atom(kQNAtomTypeRules, atom(kQNAtomTypeRule, block) + atom(kQNAtomTypeRule, proxied)) +
           atom(kQNAtomTypeDNSEntries);
}

QByteArray frame(quint32 option, const QByteArray& value) {
    return u32(quint32(8 + value.size())) + u32(option) + value;
}

// An agent running as another user: a child process that connects as that user, sends the frames and
// copies whatever the engine answers into a pipe, until the test closes its end of the stop pipe.
class ForeignAgent {
public:
    ForeignAgent(const QString& socketPath, uid_t uid, const QByteArray& frames) {
        int output[2];
        int stop[2];
        if (::pipe2(output, O_CLOEXEC) < 0 || ::pipe2(stop, O_CLOEXEC) < 0) {
            return;
        }
        const QByteArray path = QFile::encodeName(socketPath);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(qMin<qsizetype>(path.size(), 100)));
        _pid = ::fork();
        if (_pid == 0) {
            // Only async-signal-safe calls from here on.
            ::close(output[0]);
            ::close(stop[1]);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::setresgid(uid, uid, uid) < 0 || ::setresuid(uid, uid, uid) < 0 ||
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
                ::write(fd, frames.constData(), size_t(frames.size())) != frames.size()) {
                ::_exit(2);
            }
            char bytes[4096];
            pollfd watched[2] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
            while (::poll(watched, 2, -1) > 0 && watched[1].revents == 0) {
                const ssize_t count = ::read(fd, bytes, sizeof bytes);
                if (count <= 0 || ::write(output[1], bytes, size_t(count)) != count) {
                    break;
                }
            }
            ::_exit(0);
        }
        ::close(output[1]);
        ::close(stop[0]);
        _output = output[0];
        _stop = stop[1];
        ::fcntl(_output, F_SETFL, O_NONBLOCK);
        _parser.setCallbacks({{},
                              [this](quint64 value) { received = value; },
                              {},
                              [this](const QByteArray& text) { logLines << QString::fromUtf8(text); }});
        _notifier = std::make_unique<QSocketNotifier>(_output, QSocketNotifier::Read);
        QObject::connect(_notifier.get(), &QSocketNotifier::activated, [this] {
            char bytes[4096];
            ssize_t count = 0;
            while ((count = ::read(_output, bytes, sizeof bytes)) > 0) {
                _parser.feed(QByteArrayView(bytes, count));
            }
            if (count == 0) {
                _notifier->setEnabled(false);
            }
        });
    }
    ~ForeignAgent() { leave(); }

    bool started() const { return _pid > 0; }
    bool hasLine(const QString& text) const {
        return std::any_of(logLines.cbegin(), logLines.cend(),
                           [&](const QString& line) { return line.contains(text); });
    }
    void leave() {
        if (_pid <= 0) {
            return;
        }
        _notifier.reset();
        ::close(_stop);
        ::close(_output);
        ::waitpid(_pid, nullptr, 0);
        _pid = -1;
    }

    QStringList logLines;
    quint64 received = 0;

private:
    pid_t _pid = -1;
    int _output = -1;
    int _stop = -1;
    QNControlMessageParser _parser;
    std::unique_ptr<QSocketNotifier> _notifier;
};

class EngineNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        if (kEngine.isEmpty()) {
            GTEST_SKIP() << "quillon-engine is not built";
        }
        if (::geteuid() != 0) {
            GTEST_SKIP() << "intercepting needs root: run as root to make a network namespace for the engine";
        }
        for (const char* program : {"ip", "nft", "setpriv", "curl", "python3"}) {
            if (!qnHaveProgram(QString::fromLatin1(program))) {
                GTEST_SKIP() << program << " is missing";
            }
        }
        name = QStringLiteral("qn-engine-%1").arg(::getpid());
        if (ip({"netns", "add", name}).exitCode != 0) {
            GTEST_SKIP() << "cannot make a network namespace here";
        }
        made = true;
        ASSERT_EQ(inside({"ip", "link", "set", "lo", "up"}).exitCode, 0);
        ASSERT_EQ(inside({"ip", "addr", "add", QString::fromLatin1(kServer4) + "/32", "dev", "lo"}).exitCode, 0);
        ASSERT_EQ(inside({"ip", "addr", "add", QString::fromLatin1(kServer6) + "/128", "dev", "lo", "nodad"}).exitCode,
                  0);
        ASSERT_TRUE(folder.isValid());
        // Other users' agents must reach the control socket inside it.
        ASSERT_EQ(::chmod(QFile::encodeName(folder.path()).constData(), 0755), 0);
        QFile page(folder.filePath("index.html"));
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write("hello from the namespace\n");
    }
    void TearDown() override {
        if (made) {
            ip({"netns", "del", name});
        }
    }

    static QNTestProcessResult ip(const QStringList& arguments) {
        return qnRunProcess(QStringLiteral("ip"), arguments);
    }
    QNTestProcessResult inside(const QStringList& command) const {
        return ip(QStringList{"netns", "exec", name} + command);
    }
    QNTestProcessResult curlAs(uid_t uid, const QString& url) const {
        const QString id = QString::number(uid);
        return inside({"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "curl", "-sS", "-m", "20", url});
    }
    // A plain HTTP server inside the namespace on both families.
    bool serve(QNTestChildProcess& server, quint16 port) const {
        const QString url = QStringLiteral("http://%1:%2/").arg(QLatin1String(kServer4)).arg(port);
        return server.start({"netns", "exec", name, "python3", "-m", "http.server", "-b", "::", "-d", folder.path(),
                             QString::number(port)}) &&
               qnWaitUntil([&] {
                   return inside({"curl", "-sf", "-m", "5", url}).exitCode == 0;
               });
    }

    QString name;
    bool made = false;
    QTemporaryDir folder;
};

} // namespace

TEST_F(EngineNamespace, DirectBlockOtherUsersAndCleanStop) {
    QNTestChildProcess web(QStringLiteral("ip"));
    QNTestChildProcess blocked(QStringLiteral("ip"));
    ASSERT_TRUE(serve(web, 8080));
    ASSERT_TRUE(serve(blocked, 8081));

    const QString socketPath = folder.filePath("run/control.sock");
    QNTestChildProcess engine(QStringLiteral("ip"));
    ASSERT_TRUE(
        engine.start({"netns", "exec", name, kEngine, "--socket", socketPath, "--verbose", "--interval", "0.1"}));
    ASSERT_TRUE(engine.waitForStderr("listening on"));
    EXPECT_TRUE(engine.stderrContains("intercepting"));

    ForeignAgent agent(socketPath, kAgentUser,
                       frame(kQNKernelOptionLogging, QByteArray(1, '\1')) +
                           frame(kQNKernelOptionProfile, profileStream()));
    ASSERT_TRUE(agent.started());
    ASSERT_TRUE(qnWaitUntil([&] { return agent.hasLine("profile smoke"); }));
    EXPECT_TRUE(inside({"nft", "list", "table", "inet", "quillon"}).standardOutput.contains("skuid 65534"));

    const QString page4 = QStringLiteral("http://%1:8080/").arg(QLatin1String(kServer4));
    const QString page6 = QStringLiteral("http://[%1]:8080/").arg(QLatin1String(kServer6));
    const QString closed = QStringLiteral("http://%1:8081/").arg(QLatin1String(kServer4));
    // The agent's user: relayed direct on both families (the log line shows it went through the engine),
    // and reset on the blocked port.
    for (const QString& url : {page4, page6}) {
        const QNTestProcessResult result = curlAs(kAgentUser, url);
        EXPECT_EQ(result.exitCode, 0) << result.standardError.data();
        EXPECT_TRUE(result.standardOutput.contains("hello from the namespace"));
    }
    EXPECT_TRUE(qnWaitUntil([&] { return agent.hasLine("10.231.0.1:8080 direct"); }));
    EXPECT_TRUE(qnWaitUntil([&] { return agent.hasLine("[fd00:231::1]:8080 direct"); }));
    EXPECT_NE(curlAs(kAgentUser, closed).exitCode, 0);
    EXPECT_TRUE(qnWaitUntil([&] { return agent.hasLine("10.231.0.1:8081 blocked by rule \"no 8081\""); }));
    EXPECT_TRUE(qnWaitUntil([&] { return agent.received > 0; }));

    // A proxy that cannot be reached: reset, and the hop that failed is named.
    EXPECT_NE(curlAs(kAgentUser, QStringLiteral("http://%1:8082/").arg(QLatin1String(kServer4))).exitCode, 0);
    EXPECT_TRUE(qnWaitUntil([&] { return agent.hasLine("connection to 10.231.0.1:8082 failed at hop 1 of 1 ("); }));
    // The relay's own port, reached through an address of this machine, would loop: refused.
    const QByteArray table = inside({"nft", "list", "table", "inet", "quillon"}).standardOutput;
    const QByteArray relayRedirect = "ack redirect to :"; // "tcp flags syn / fin,syn,rst,ack redirect to :N"
    const QByteArray relayPort =
        table.mid(table.indexOf(relayRedirect) + relayRedirect.size()).split('\n').value(0).trimmed();
    ASSERT_FALSE(relayPort.isEmpty()) << table.data();
    EXPECT_NE(
        curlAs(kAgentUser, QStringLiteral("http://%1:%2/").arg(QLatin1String(kServer4), QString::fromLatin1(relayPort)))
            .exitCode,
        0);
    EXPECT_TRUE(qnWaitUntil([&] { return agent.hasLine("would loop back into the engine"); }));

    // Another user, and root, are not intercepted at all.
    EXPECT_EQ(curlAs(kOtherUser, closed).exitCode, 0);
    EXPECT_EQ(inside({"curl", "-sf", "-m", "20", closed}).exitCode, 0);

    // The agent leaving releases its user; stopping removes the table.
    agent.leave();
    EXPECT_TRUE(qnWaitUntil([&] { return curlAs(kAgentUser, closed).exitCode == 0; }));
    engine.signal(SIGTERM);
    EXPECT_EQ(engine.waitForExit(), 0);
    EXPECT_NE(inside({"nft", "list", "table", "inet", "quillon"}).exitCode, 0);
}

// A table left by an engine that was killed is replaced at the next start.
TEST_F(EngineNamespace, LeftoverTableIsReplacedAtStart) {
    ASSERT_EQ(inside({"nft", "add", "table", "inet", "quillon"}).exitCode, 0);
    ASSERT_EQ(inside({"nft", "add", "chain", "inet", "quillon", "stale"}).exitCode, 0);
    QNTestChildProcess engine(QStringLiteral("ip"));
    ASSERT_TRUE(engine.start({"netns", "exec", name, kEngine, "--socket", folder.filePath("control.sock")}));
    ASSERT_TRUE(engine.waitForStderr("listening on"));
    EXPECT_NE(inside({"nft", "list", "table", "inet", "quillon"}).exitCode, 0);
    engine.signal(SIGTERM);
    EXPECT_EQ(engine.waitForExit(), 0);
}
