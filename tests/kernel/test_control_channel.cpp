#include "kernel/QNControlChannel.h"

#include "support/QNScopedEnvironment.h"
#include "support/QNTestWait.h"
#include "test_kernel_support.h"
#include "util/QNConstants.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <thread>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qntest;

namespace {

sockaddr_un unixAddress(const QByteArray& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return address;
}

// The engine's end of the control socket, driven byte by byte by the test.
class EnginePeer {
public:
    EnginePeer() {
        _path = _folder.filePath(QStringLiteral("control.sock"));
        const QByteArray path = _path.toLocal8Bit();
        const sockaddr_un address = unixAddress(path);
        _listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(_listener, 4);
    }
    ~EnginePeer() {
        closeConnection();
        ::close(_listener);
    }

    QString path() const { return _path; }

    bool accept() {
        pollfd descriptor{_listener, POLLIN, 0};
        if (::poll(&descriptor, 1, 20000) != 1) {
            return false;
        }
        closeConnection();
        _connection = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        return _connection >= 0;
    }

    void send(const QByteArray& bytes) {
        qsizetype written = 0;
        while (written < bytes.size()) {
            const ssize_t count =
                ::send(_connection, bytes.constData() + written, size_t(bytes.size() - written), MSG_NOSIGNAL);
            ASSERT_GT(count, 0);
            written += count;
        }
    }

    // Reads until `size` bytes arrived, the connection ends or nothing comes for a long time.
    QByteArray receive(qsizetype size) {
        QByteArray bytes;
        char buffer[65536];
        while (bytes.size() < size) {
            pollfd descriptor{_connection, POLLIN, 0};
            if (::poll(&descriptor, 1, 20000) != 1) {
                break;
            }
            const ssize_t count =
                ::recv(_connection, buffer, size_t(qMin<qsizetype>(sizeof buffer, size - bytes.size())), 0);
            if (count <= 0) {
                break;
            }
            bytes.append(buffer, count);
        }
        return bytes;
    }

    void shutdownWrite() { ::shutdown(_connection, SHUT_WR); }
    void closeConnection() {
        if (_connection >= 0) {
            ::close(_connection);
            _connection = -1;
        }
    }

private:
    QTemporaryDir _folder;
    QString _path;
    int _listener = -1;
    int _connection = -1;
};

// What the channel told its owner, one line per signal.
struct ChannelRecorder {
    explicit ChannelRecorder(QNControlChannel& channel) {
        QObject::connect(&channel, &QNControlChannel::statisticsChanged, [this, &channel](quint32 type) {
            if (type == kQNAtomTypeConnections) {
                events << QStringLiteral("conn %1").arg(channel.connections());
            } else if (type == kQNAtomTypeDataReceived) {
                events << QStringLiteral("datr %1").arg(channel.dataReceived());
            } else if (type == kQNAtomTypeDataSent) {
                events << QStringLiteral("dats %1").arg(channel.dataSent());
            }
        });
        QObject::connect(&channel, &QNControlChannel::logLine,
                         [this](const QString& text) { events << QStringLiteral("loge ") + text; });
        QObject::connect(&channel, &QNControlChannel::streamError,
                         [this] { events << QStringLiteral("stream error"); });
        QObject::connect(&channel, &QNControlChannel::optionError,
                         [this](quint32 option) { events << QStringLiteral("option error %1").arg(option); });
    }
    QStringList events;
};

int unreadBytes(int fd) {
    int count = 0;
    ::ioctl(fd, FIONREAD, &count);
    return count;
}

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        channel.enableControlSocket(true);
        ASSERT_TRUE(channel.isControlSocketOpen());
        ASSERT_TRUE(peer.accept());
    }

    // True once the channel has taken everything the peer sent off the socket.
    bool drained() {
        return qnWaitUntil([this] { return unreadBytes(channel.controlSocket()) == 0; });
    }

    EnginePeer peer;
    QNControlChannel channel{peer.path()};
    ChannelRecorder recorder{channel};
};

struct Message {
    QByteArray bytes;
    std::optional<QString> event; // what it should turn into with logging on
};

const QList<Message>& conversation() {
    static const QList<Message> messages = {
        {connMessage(3), QStringLiteral("conn 3")},
        {atom(kQNAtomTypeDataSent, value<quint64>(1234567890123ULL)), QStringLiteral("dats 1234567890123")},
        {logMessage("r\xC3\xA8gle appliqu\xC3\xA9"
                    "e"),
         QStringLiteral("loge règle appliquée")},
        {atom(QNFourCharCode("what"), "never mind"), std::nullopt},
        {connMessage(-5), QStringLiteral("conn 0")},
        {atom(kQNAtomTypeDataReceived, value<quint64>(42)), QStringLiteral("datr 42")},
    };
    return messages;
}

} // namespace

// Each split point is a separate delivery: what is complete before it is handled at once, the message
// it cuts is handled when its last byte arrives. All in one read is the split at the end.
TEST_F(ControlChannelTest, MessageSplitAcrossReadsAtEveryBytePosition) {
    channel.setLogging(true);
    QByteArray bytes;
    QList<qsizetype> ends;
    QStringList all;
    for (const Message& m : conversation()) {
        bytes += m.bytes;
        ends << bytes.size();
        if (m.event) {
            all << *m.event;
        }
    }
    for (qsizetype split = 1; split <= bytes.size(); ++split) {
        recorder.events.clear();
        QStringList before;
        for (qsizetype i = 0; i < conversation().size(); ++i) {
            if (conversation()[i].event && ends[i] <= split) {
                before << *conversation()[i].event;
            }
        }
        peer.send(bytes.left(split));
        ASSERT_TRUE(drained());
        ASSERT_EQ(recorder.events, before) << "split at " << split;
        peer.send(bytes.mid(split));
        ASSERT_TRUE(qnWaitUntil([&] { return recorder.events.size() >= all.size(); })) << "split at " << split;
        ASSERT_EQ(recorder.events, all) << "split at " << split;
    }
    EXPECT_EQ(channel.connections(), 0);
    EXPECT_EQ(channel.dataSent(), 1234567890123ULL);
    EXPECT_EQ(channel.dataReceived(), 42U);
    EXPECT_TRUE(channel.controlBufferData().isEmpty());
}

TEST_F(ControlChannelTest, LogLinesPassOnlyWhileLoggingIsOn) {
    channel.setLogging(false);
    peer.send(logMessage("hidden") + connMessage(1));
    ASSERT_TRUE(qnWaitUntil([&] { return !recorder.events.isEmpty(); }));
    channel.setLogging(true);
    peer.send(logMessage("shown") + connMessage(2));
    ASSERT_TRUE(qnWaitUntil([&] { return recorder.events.size() >= 3; }));
    EXPECT_EQ(recorder.events,
              (QStringList{QStringLiteral("conn 1"), QStringLiteral("loge shown"), QStringLiteral("conn 2")}));
}

// A message of an unknown type is skipped; a length that cannot be framed breaks the stream, like its
// end, until the socket is opened again. Which lengths cannot be framed is the parser test's table.
TEST_F(ControlChannelTest, UnknownMessagesAreSkippedAndUnframeableOnesEndTheStream) {
    peer.send(atom(0xDEADBEEF, QByteArray(3000, '\0')) + connMessage(1));
    ASSERT_TRUE(qnWaitUntil([&] { return !recorder.events.isEmpty(); }));
    EXPECT_EQ(recorder.events, QStringList{QStringLiteral("conn 1")});

    recorder.events.clear();
    peer.send(header(2 * 1024 * 1024, kQNAtomTypeLog) + QByteArray(5000, 'g') + connMessage(2));
    ASSERT_TRUE(qnWaitUntil([&] { return !recorder.events.isEmpty(); }));
    EXPECT_EQ(recorder.events, QStringList{QStringLiteral("stream error")});
    EXPECT_FALSE(channel.isReading());
    EXPECT_TRUE(channel.controlBufferData().isEmpty());

    channel.enableControlSocket(false);
    channel.enableControlSocket(true);
    ASSERT_TRUE(peer.accept());
    peer.send(connMessage(3));
    ASSERT_TRUE(qnWaitUntil([&] { return recorder.events.size() > 1; }));
    EXPECT_EQ(recorder.events.last(), QStringLiteral("conn 3"));
}

// A peer that goes away ends the stream; options then fail without killing us with SIGPIPE.
TEST_F(ControlChannelTest, PeerClosingIsAStreamEndAndOptionsThenFail) {
    peer.send(connMessage(4));
    peer.closeConnection();
    ASSERT_TRUE(qnWaitUntil([&] { return recorder.events.contains(QStringLiteral("stream error")); }));
    EXPECT_EQ(recorder.events, (QStringList{QStringLiteral("conn 4"), QStringLiteral("stream error")}));
    EXPECT_FALSE(channel.isReading());
    EXPECT_TRUE(channel.isControlSocketOpen());

    recorder.events.clear();
    EXPECT_FALSE(channel.updateKEXT(kQNKernelOptionLogging));
    EXPECT_FALSE(channel.updateKEXT(kQNKernelOptionProfile, QByteArray(100000, 'p')));
    EXPECT_EQ(recorder.events, (QStringList{QStringLiteral("option error 1"), QStringLiteral("option error 0")}));
}

// After the engine stops writing, the descriptor still carries options.
TEST_F(ControlChannelTest, OptionsStillGoOutAfterTheStreamEnded) {
    peer.shutdownWrite();
    ASSERT_TRUE(qnWaitUntil([&] { return !recorder.events.isEmpty(); }));
    EXPECT_EQ(recorder.events, QStringList{QStringLiteral("stream error")});
    EXPECT_TRUE(channel.updateKEXT(kQNKernelOptionProfile, "stream"));
    EXPECT_EQ(peer.receive(14), atom(0, "stream"));
}

TEST_F(ControlChannelTest, OptionsArriveFramedAndIntact) {
    QByteArray profile(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator random(99);
    for (char& byte : profile) {
        byte = char(random.bounded(256));
    }
    const QByteArray expected =
        atom(1, QByteArray(1, '\1')) + atom(0, profile) + atom(0) + atom(1, QByteArray(1, '\0'));
    QByteArray received;
    std::thread reader([&] { received = peer.receive(expected.size() + 1); });

    channel.setLogging(true);
    EXPECT_TRUE(channel.updateKEXT(kQNKernelOptionLogging, "ignored"));
    EXPECT_TRUE(channel.updateKEXT(kQNKernelOptionProfile, profile));
    EXPECT_TRUE(channel.updateKEXT(kQNKernelOptionProfile, QByteArray()));
    channel.setLogging(false);
    EXPECT_TRUE(channel.updateKEXT(kQNKernelOptionLogging));
    // Unknown options send nothing and are no error.
    EXPECT_FALSE(channel.updateKEXT(2, "x"));
    channel.enableControlSocket(false); // ends the reader
    reader.join();

    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    EXPECT_TRUE(recorder.events.isEmpty());
}

// A frame that breaks off halfway would leave the engine misreading everything after it, so the
// channel closes; the next switch-on reopens it.
TEST_F(ControlChannelTest, FrameCutOffClosesTheSocket) {
    const struct {
        const char* name;
        bool peerReadsSome;
    } cases[] = {{"peer leaves mid-frame", true}, {"peer stops reading", false}};
    for (const auto& c : cases) {
        recorder.events.clear();
        if (!channel.isControlSocketOpen()) {
            channel.enableControlSocket(true);
            ASSERT_TRUE(peer.accept()) << c.name;
        }
        channel.setWriteTimeout(200);
        std::thread reader([&] {
            if (c.peerReadsSome) {
                peer.receive(64 * 1024);
                peer.closeConnection();
            }
        });
        EXPECT_FALSE(channel.updateKEXT(kQNKernelOptionProfile, QByteArray(16 * 1024 * 1024, 's'))) << c.name;
        reader.join();
        EXPECT_EQ(recorder.events, QStringList{QStringLiteral("option error 0")}) << c.name;
        EXPECT_FALSE(channel.isControlSocketOpen()) << c.name;
        // Closed: nothing is sent and nothing is reported.
        EXPECT_FALSE(channel.updateKEXT(kQNKernelOptionLogging)) << c.name;
        EXPECT_EQ(recorder.events.size(), 1) << c.name;
    }
}

// The owner may close the channel from a handler while more messages wait in the same read.
TEST_F(ControlChannelTest, ClosingFromAHandlerStopsAtOnce) {
    QObject::connect(&channel, &QNControlChannel::statisticsChanged, [&] { channel.enableControlSocket(false); });
    peer.send(connMessage(1) + connMessage(2) + connMessage(3));
    ASSERT_TRUE(qnWaitUntil([&] { return !recorder.events.isEmpty(); }));
    // The wait returns only after the read that closed the channel has finished: nothing more came out.
    EXPECT_FALSE(channel.isControlSocketOpen());
    EXPECT_EQ(recorder.events, QStringList{QStringLiteral("conn 1")});

    // Reopening starts clean.
    QObject::disconnect(&channel, &QNControlChannel::statisticsChanged, nullptr, nullptr);
    ChannelRecorder again(channel);
    channel.enableControlSocket(true);
    ASSERT_TRUE(peer.accept());
    peer.send(connMessage(8));
    ASSERT_TRUE(qnWaitUntil([&] { return !again.events.isEmpty(); }));
    EXPECT_EQ(again.events, QStringList{QStringLiteral("conn 8")});
}

TEST_F(ControlChannelTest, OpeningTwiceKeepsTheSameSocket) {
    const int fd = channel.controlSocket();
    channel.enableControlSocket(true);
    EXPECT_EQ(channel.controlSocket(), fd);
    channel.enableControlSocket(false);
    EXPECT_EQ(channel.controlSocket(), -1);
    channel.enableControlSocket(false);
    EXPECT_FALSE(channel.isControlSocketOpen());
}

// Without an engine the channel stays closed, silently; sending is skipped without an error.
TEST(ControlChannel, NoEngineLeavesItClosed) {
    QTemporaryDir folder;
    const QString stale = folder.filePath(QStringLiteral("stale.sock"));
    {
        const QByteArray path = stale.toLocal8Bit();
        const sockaddr_un address = unixAddress(path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::close(fd); // the file stays, nobody listens
    }
    // Missing, nobody listening, not a socket, longer than a socket address holds, none.
    const QString paths[] = {folder.filePath(QStringLiteral("missing.sock")), stale, folder.path(),
                             folder.filePath(QString(200, QLatin1Char('x'))), QString()};
    for (const QString& path : paths) {
        QNControlChannel channel(path);
        ChannelRecorder recorder(channel);
        channel.enableControlSocket(true);
        EXPECT_FALSE(channel.isControlSocketOpen()) << path.toStdString();
        EXPECT_FALSE(channel.updateKEXT(kQNKernelOptionProfile, "data"));
        EXPECT_TRUE(recorder.events.isEmpty()) << path.toStdString();
    }
}

TEST(ControlChannel, SocketPathComesFromTheEnvironmentOrTheDefault) {
    QNScopedEnvironment variable(QNControlChannel::kEnvironmentVariable);
    EXPECT_EQ(QNControlChannel::controlSocketPath(), QStringLiteral("/run/quillon/control.sock"));
    variable.set(QByteArray(""));
    EXPECT_EQ(QNControlChannel::controlSocketPath(), QStringLiteral("/run/quillon/control.sock"));
    variable.set(QByteArray("/tmp/rig/engine.sock"));
    EXPECT_EQ(QNControlChannel::controlSocketPath(), QStringLiteral("/tmp/rig/engine.sock"));
}
