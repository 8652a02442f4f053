// Feeds arbitrary proxy replies to every kind of handshake (and a chain), and arbitrary client and proxy
// bytes to the plain-HTTP proxy stream, whole and cut into pieces at places the input chooses. The outcome
// must not depend on the cuts, and what goes out must stay bounded and consistent with the outcome.
#include "QNFuzzCheck.h"

#include "engine/QNHTTPProxyStream.h"
#include "engine/QNProxyHandshake.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

using Status = QNProxyHandshake::Status;

QNDecodedProxy proxy(quint32 type, quint16 port, bool withUser) {
    QNDecodedProxy p;
    p.name = QStringLiteral("p");
    p.type = type;
    p.host = {0, 0, 0, 0x0A000002};
    p.port = port;
    if (withUser) {
        p.user = QStringLiteral("user");
        p.password = QStringLiteral("password");
    }
    if (type == 7) {
        p.localTunnelPort = 50000;
    }
    return p;
}

QNEngineTarget target(uint8_t kind) {
    QNEngineTarget t;
    t.port = 443;
    switch (kind % 3) {
    case 0:
        t.address = {0, 0, 0, 0xCB007107};
        break;
    case 1:
        t.address = {0xFD000000, 0, 0, 1};
        t.isIPv6 = true;
        break;
    default:
        t.address = {0, 0, 0, 0xCB007107};
        t.hostName = QStringLiteral("example.org");
        break;
    }
    return t;
}

QList<QNDecodedProxy> hops(uint8_t kind) {
    switch (kind % 9) {
    case 0:
        return {proxy(1, 1080, true)};
    case 1:
        return {proxy(2, 1080, false)};
    case 2:
        return {proxy(3, 1080, false)};
    case 3:
        return {proxy(3, 1080, true)};
    case 4:
        return {proxy(6, 3128, false)};
    case 5:
        return {proxy(6, 3128, true)};
    case 6:
        return {proxy(7, 22, true)};
    case 7:
        return {proxy(3, 1080, true), proxy(2, 1081, false), proxy(6, 3128, true)};
    default:
        return {proxy(7, 22, false), proxy(3, 1080, false), proxy(5, 3128, true)};
    }
}

struct Outcome {
    Status status = Status::Continue;
    QByteArray sent;
    QByteArray leftover;
    QString failure;
    bool hasStream = false;

    bool operator==(const Outcome&) const = default;
};

// piece 0: everything at once.
Outcome handshake(uint8_t kind, const QByteArray& replies, uint8_t cutSeed, bool whole) {
    QNProxyHandshake h(hops(kind), target(kind / 9));
    Outcome outcome;
    if (!h.firstHop()) {
        outcome.status = Status::Failed;
        outcome.failure = h.failureReason();
        return outcome;
    }
    outcome.status = h.start();
    outcome.sent += h.takeOutput();
    qsizetype offset = 0;
    for (size_t step = 0; outcome.status == Status::Continue && offset < replies.size(); ++step) {
        const qsizetype piece = whole ? replies.size() : qsizetype(1 + ((cutSeed + step * 7) % 13));
        const qsizetype size = qMin(piece, replies.size() - offset);
        outcome.status = h.feed(QByteArrayView(replies).sliced(offset, size));
        outcome.sent += h.takeOutput();
        offset += size;
    }
    if (outcome.status == Status::Done) {
        if (offset < replies.size()) {
            h.feed(QByteArrayView(replies).sliced(offset));
        }
        outcome.leftover = h.takeLeftover();
        outcome.hasStream = h.takeStream() != nullptr;
    }
    outcome.failure = h.failureReason();
    return outcome;
}

void checkHandshake(uint8_t kind, uint8_t cutSeed, const QByteArray& replies) {
    const Outcome whole = handshake(kind, replies, cutSeed, true);
    qnFuzzCheck(handshake(kind, replies, cutSeed, false) == whole, "handshake outcome depends on the cuts");
    qnFuzzCheck((whole.status == Status::Failed) == !whole.failure.isEmpty(), "failure reason iff failed");
    qnFuzzCheck(whole.status == Status::Done || whole.leftover.isEmpty(), "leftover only when done");
    qnFuzzCheck(whole.leftover.size() <= replies.size(), "leftover longer than the replies");
    // At most a few requests per hop, each far below a kilobyte.
    qnFuzzCheck(whole.sent.size() < 4096, "handshake output unbounded");
}

struct StreamOutcome {
    QNHTTPProxyStream::Status status = QNHTTPProxyStream::Status::Continue;
    QByteArray toProxy;
    QByteArray toClient;
    QString failure;

    bool operator==(const StreamOutcome&) const = default;
};

StreamOutcome stream(uint8_t kind, const QByteArray& client, const QByteArray& server, uint8_t cutSeed, bool whole) {
    QNHTTPProxyStream::Settings settings;
    settings.mode = kind & 1 ? QNHTTPProxyStream::Mode::Transparent : QNHTTPProxyStream::Mode::NonTransparent;
    settings.anonymize = kind & 2;
    settings.target = target(kind >> 2);
    if (kind & 8) {
        settings.user = QStringLiteral("user");
    }
    settings.hopLabel = QStringLiteral("at hop 1 of 1");
    QNHTTPProxyStream s(settings);
    StreamOutcome outcome;
    // Client bytes first, then the proxy's, each cut the same way.
    for (const QByteArray* bytes : {&client, &server}) {
        qsizetype offset = 0;
        for (size_t step = 0; outcome.status == QNHTTPProxyStream::Status::Continue && offset < bytes->size(); ++step) {
            const qsizetype piece = whole ? bytes->size() : qsizetype(1 + ((cutSeed + step * 5) % 11));
            const qsizetype size = qMin(piece, bytes->size() - offset);
            const QByteArrayView part = QByteArrayView(*bytes).sliced(offset, size);
            outcome.status = bytes == &client ? s.fromClient(part, &outcome.toProxy)
                                              : s.fromProxy(part, &outcome.toClient, &outcome.toProxy);
            offset += size;
        }
    }
    outcome.failure = s.failureReason();
    return outcome;
}

void checkStream(uint8_t kind, uint8_t cutSeed, const QByteArray& input) {
    const QByteArray client = input.first(input.size() / 2);
    const QByteArray server = input.sliced(input.size() / 2);
    const StreamOutcome whole = stream(kind, client, server, cutSeed, true);
    qnFuzzCheck(stream(kind, client, server, cutSeed, false) == whole, "stream outcome depends on the cuts");
    qnFuzzCheck((whole.status == QNHTTPProxyStream::Status::Failed) == !whole.failure.isEmpty(),
                "stream failure reason iff failed");
    qnFuzzCheck(whole.toClient.size() <= server.size(), "the client gets more than the proxy sent");
    // Rewriting adds a bounded amount per request; a request takes at least a few bytes.
    qnFuzzCheck(whole.toProxy.size() <= 2 * client.size() + 200 * (client.size() / 4 + 1), "stream output unbounded");
    if ((kind & 3) == 1) {
        qnFuzzCheck(whole.toProxy == client && whole.toClient == server, "transparent without anon changes bytes");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // Byte 0 picks what is driven and how; byte 1 the cuts; the rest is what the other side sent.
    const QByteArray input(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));
    if (data[0] & 0x80) {
        checkStream(data[0] & 0x7F, data[1], input);
    } else {
        checkHandshake(data[0], data[1], input);
    }
    return 0;
}
