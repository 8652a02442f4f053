// How fast the agent takes messages from the engine: 1,000,000 messages (mostly statistics, some log
// lines) fed in random-sized chunks of up to one read (1024 bytes), first straight into the parser, then
// through the control channel reading a real Unix socket on the event loop.

#include "kernel/QNAtomTypes.h"
#include "kernel/QNControlChannel.h"
#include "kernel/QNControlMessageParser.h"
#include "util/QNConstants.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kMessageCount = 1000000;

void appendMessage(QByteArray& stream, quint32 type, const void* payload, quint32 size) {
    const quint32 length = kQNAtomHeaderSize + size;
    stream.append(reinterpret_cast<const char*>(&length), 4);
    stream.append(reinterpret_cast<const char*>(&type), 4);
    stream.append(static_cast<const char*>(payload), size);
}

// The same mix an engine under load sends: statistics in threes, now and then a log line.
const QByteArray& messages() {
    static const QByteArray stream = [] {
        QByteArray bytes;
        bytes.reserve(kMessageCount * 16);
        QRandomGenerator random(1);
        const QByteArray line("connection to 10.1.2.3:443 through proxy 2 (chain office)");
        for (int i = 0; i < kMessageCount; ++i) {
            const quint64 value = random.generate64();
            switch (i % 10) {
            case 9:
                appendMessage(bytes, kQNAtomTypeLog, line.constData(), quint32(line.size()));
                break;
            case 0:
            case 3:
            case 6: {
                const qint32 count = qint32(value % 200);
                appendMessage(bytes, kQNAtomTypeConnections, &count, sizeof count);
                break;
            }
            default:
                appendMessage(bytes, i % 2 ? kQNAtomTypeDataSent : kQNAtomTypeDataReceived, &value, sizeof value);
                break;
            }
        }
        return bytes;
    }();
    return stream;
}

QList<qsizetype> chunkSizes(qsizetype total) {
    QList<qsizetype> sizes;
    QRandomGenerator random(2);
    for (qsizetype at = 0; at < total;) {
        const qsizetype size = qMin<qsizetype>(random.bounded(1, int(kQNApplicationBufferSize) + 1), total - at);
        sizes << size;
        at += size;
    }
    return sizes;
}

void parseInChunks(benchmark::State& state) {
    const QByteArray& stream = messages();
    const QList<qsizetype> sizes = chunkSizes(stream.size());
    quint64 handled = 0;
    QNControlMessageParser::Callbacks callbacks;
    callbacks.connections = [&](qint32) { ++handled; };
    callbacks.dataReceived = [&](quint64) { ++handled; };
    callbacks.dataSent = [&](quint64) { ++handled; };
    callbacks.log = [&](const QByteArray&) { ++handled; };
    for (auto _ : state) {
        QNControlMessageParser parser(callbacks);
        handled = 0;
        qsizetype at = 0;
        for (const qsizetype size : sizes) {
            parser.feed(QByteArrayView(stream.constData() + at, size));
            at += size;
        }
        if (handled != quint64(kMessageCount)) {
            state.SkipWithError("messages lost");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessageCount);
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(parseInChunks)->Unit(benchmark::kMillisecond);

// The whole way in: an engine thread writes the stream in random-sized pieces, the channel reads it on
// the event loop and hands out statistics and log lines.
void channelOverSocket(benchmark::State& state) {
    const QByteArray& stream = messages();
    const QList<qsizetype> sizes = chunkSizes(stream.size());
    QTemporaryDir folder;
    const QByteArray path = folder.filePath(QStringLiteral("bench.sock")).toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);

    for (auto _ : state) {
        QNControlChannel channel(QString::fromLocal8Bit(path));
        channel.setLogging(true);
        quint64 handled = 0;
        QEventLoop loop;
        const auto count = [&] {
            if (++handled == quint64(kMessageCount)) {
                loop.quit();
            }
        };
        QObject::connect(&channel, &QNControlChannel::statisticsChanged, count);
        QObject::connect(&channel, &QNControlChannel::logLine, count);
        QObject::connect(&channel, &QNControlChannel::streamError, &loop, &QEventLoop::quit);
        channel.enableControlSocket(true);
        const int engine = ::accept(listener, nullptr, nullptr);
        std::thread writer([&] {
            qsizetype at = 0;
            for (const qsizetype size : sizes) {
                for (qsizetype done = 0; done < size;) {
                    const ssize_t written =
                        ::send(engine, stream.constData() + at + done, size_t(size - done), MSG_NOSIGNAL);
                    if (written <= 0) {
                        return;
                    }
                    done += written;
                }
                at += size;
            }
        });
        loop.exec();
        writer.join();
        ::close(engine);
        if (handled != quint64(kMessageCount)) {
            state.SkipWithError("messages lost");
            break;
        }
    }
    ::close(listener);
    state.SetItemsProcessed(state.iterations() * kMessageCount);
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(channelOverSocket)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

// The channel needs an event loop, so this program brings its own main.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
