#include "QNProxyTestValues.h"

#include "engine/QNHTTPProxyStream.h"

#include <gtest/gtest.h>

namespace {

using Mode = QNHTTPProxyStream::Mode;
using Status = QNHTTPProxyStream::Status;

struct Result {
    Status status = Status::Continue;
    QByteArray toProxy;
    QString failure;

    bool operator==(const Result&) const = default;
};

QNHTTPProxyStream::Settings settings(Mode mode, bool anonymize = false, std::optional<QString> user = std::nullopt) {
    QNHTTPProxyStream::Settings s;
    s.mode = mode;
    s.target = testTarget(0xCB007107, 8080);
    s.user = std::move(user);
    s.password = QStringLiteral("pw");
    s.anonymize = anonymize;
    s.hopLabel = QStringLiteral("at hop 1 of 1 (HTTP \"p\" 10.0.0.2:3128)");
    return s;
}

// The client's bytes fed in pieces of the given size (0: all at once).
Result fromClient(const QNHTTPProxyStream::Settings& s, const QByteArray& bytes, qsizetype piece = 0) {
    QNHTTPProxyStream stream(s);
    Result result;
    for (qsizetype offset = 0; offset < bytes.size() && result.status == Status::Continue;) {
        const qsizetype size = piece == 0 ? bytes.size() : qMin(piece, bytes.size() - offset);
        result.status = stream.fromClient(QByteArrayView(bytes).sliced(offset, size), &result.toProxy);
        offset += size;
    }
    result.failure = stream.failureReason();
    return result;
}

struct StreamCase {
    const char* name;
    QNHTTPProxyStream::Settings settings;
    QByteArray client;
    QByteArray toProxy;
    QString failure = {};
};

QList<StreamCase> cases() {
    const auto nonTransparent = settings(Mode::NonTransparent);
    const auto anonymous = settings(Mode::NonTransparent, true);
    const auto withUser = settings(Mode::NonTransparent, false, QStringLiteral("bob"));
    const auto transparentAnonymous = settings(Mode::Transparent, true);
    const QString label = QStringLiteral("at hop 1 of 1 (HTTP \"p\" 10.0.0.2:3128): ");
    return {
        {"rewritesEveryRequestOfTheConnection", nonTransparent,
         "GET /a?b=c HTTP/1.1\r\nHost: example.org:8080\r\n\r\n"
         "\r\nHEAD / HTTP/1.0\r\nHost: example.org\r\n\r\n"
         "OPTIONS * HTTP/1.1\r\n\r\n"
         "GET http://other.example/ HTTP/1.1\r\n\r\n",
         "GET http://example.org:8080/a?b=c HTTP/1.1\r\nHost: example.org:8080\r\n\r\n"
         "HEAD http://203.0.113.7:8080/ HTTP/1.0\r\nHost: example.org\r\n\r\n"
         "OPTIONS http://203.0.113.7:8080 HTTP/1.1\r\n\r\n"
         "GET http://other.example/ HTTP/1.1\r\n\r\n"},
        {"bodiesPassUntouched", nonTransparent,
         "POST /form HTTP/1.1\r\nContent-Length: 27\r\n\r\nGET /not-a-request HTTP/1.1"
         "PUT /up HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
         "5;ext=1\r\nGET /\r\n1A\r\nPOST /x HTTP/1.1\r\n\r\n......\r\n0\r\nTrailer: t\r\n\r\n"
         "GET /last HTTP/1.1\n\n",
         "POST http://203.0.113.7:8080/form HTTP/1.1\r\nContent-Length: 27\r\n\r\nGET /not-a-request HTTP/1.1"
         "PUT http://203.0.113.7:8080/up HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
         "5;ext=1\r\nGET /\r\n1A\r\nPOST /x HTTP/1.1\r\n\r\n......\r\n0\r\nTrailer: t\r\n\r\n"
         "GET http://203.0.113.7:8080/last HTTP/1.1\n\n"},
        {"credentialsReplaceTheClients", withUser,
         "GET / HTTP/1.1\r\nProxy-Authorization: Basic bWU6eW91\r\nAccept: */*\r\n\r\n",
         "GET http://203.0.113.7:8080/ HTTP/1.1\r\nAccept: */*\r\nProxy-Authorization: Basic Ym9iOnB3\r\n\r\n"},
        {"anonymousDropsIdentifyingHeaders", anonymous,
         "GET / HTTP/1.1\r\nHost: h\r\nreferer: http://a/\r\n  folded referer\r\nVia: 1.1 x\r\nFrom: me@x\r\n"
         "X-Forwarded-For: 1.2.3.4\r\nX-Real-IP: 1.2.3.4\r\nClient-IP: 1.2.3.4\r\nForwarded: for=x\r\n"
         "X-Referer-Note: kept\r\nAccept: */*\r\n\r\n",
         "GET http://203.0.113.7:8080/ HTTP/1.1\r\nHost: h\r\nX-Referer-Note: kept\r\nAccept: */*\r\n\r\n"},
        {"transparentOnlyStrips", transparentAnonymous,
         "GET /p HTTP/1.1\r\nHost: h\r\nVia: x\r\n\r\nGET /q HTTP/1.1\r\nReferer: r\r\nContent-Length: 2\r\n\r\nok",
         "GET /p HTTP/1.1\r\nHost: h\r\n\r\nGET /q HTTP/1.1\r\nContent-Length: 2\r\n\r\nok"},
        {"transparentNotHTTPPassesThrough", transparentAnonymous, "\x16\x03\x01\x02\x05Referer: x\r\n\r\n",
         "\x16\x03\x01\x02\x05Referer: x\r\n\r\n"},
        {"upgradeLeavesHTTPBehind", anonymous,
         "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n\x81\x05Via: x\r\n\r\n",
         "GET http://203.0.113.7:8080/ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"
         "\x81\x05Via: x\r\n\r\n"},
        {"clientConnectTunnels", anonymous, "CONNECT h:443 HTTP/1.1\r\nVia: v\r\n\r\n\x16\x03Via: x\r\n\r\n",
         "CONNECT h:443 HTTP/1.1\r\n\r\n\x16\x03Via: x\r\n\r\n"},
        {"conflictingLengths",
         nonTransparent,
         "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n",
         {},
         label + "malformed Content-Length in a request"},
        {"badLength",
         nonTransparent,
         "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
         {},
         label + "malformed Content-Length in a request"},
        {"badChunk", nonTransparent, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         "POST http://203.0.113.7:8080/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         label + "malformed chunked request body"},
        {"hugeChunk", nonTransparent, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1000000000000000\r\n",
         "POST http://203.0.113.7:8080/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         label + "malformed chunked request body"},
        {"garbageAfterARequest", nonTransparent, "GET / HTTP/1.1\r\n\r\n\x16\x03",
         "GET http://203.0.113.7:8080/ HTTP/1.1\r\n\r\n",
         label + "the client sent something other than an HTTP request"},
        {"headerWithoutColon",
         nonTransparent,
         "GET / HTTP/1.1\r\nnonsense\r\n\r\n",
         {},
         label + "malformed request header line"},
        {"headTooLong",
         nonTransparent,
         "GET / HTTP/1.1\r\nX: " + QByteArray(16400, 'a'),
         {},
         label + "request header longer than 16384 bytes"},
    };
}

class StreamScript : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamScript, SameResultHoweverTheClientCutsItsBytes) {
    const StreamCase& c = GetParam();
    const Result whole = fromClient(c.settings, c.client);
    EXPECT_EQ(whole.toProxy, c.toProxy);
    EXPECT_EQ(whole.failure, c.failure);
    EXPECT_EQ(whole.status, c.failure.isEmpty() ? Status::Continue : Status::Failed);
    for (qsizetype piece : {1, 2, 3, 7}) {
        EXPECT_EQ(fromClient(c.settings, c.client, piece), whole) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, StreamScript, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

TEST(HTTPProxyStream, NonHTTPClientBytesGoThroughCONNECT) {
    auto s = settings(Mode::NonTransparent, false, QStringLiteral("bob"));
    s.target = testTarget(0xCB007107, 443, QStringLiteral("example.org"));
    QNHTTPProxyStream stream(s);
    QByteArray toProxy;
    QByteArray toClient;
    EXPECT_EQ(stream.fromClient("\x16\x03\x01hello", &toProxy), Status::Continue);
    EXPECT_EQ(toProxy, "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n"
                       "Proxy-Authorization: Basic Ym9iOnB3\r\n\r\n");
    toProxy.clear();
    EXPECT_EQ(stream.fromClient(" more", &toProxy), Status::Continue);
    EXPECT_TRUE(toProxy.isEmpty()) << "held until the proxy agrees";
    EXPECT_FALSE(stream.isPassThrough());
    EXPECT_EQ(stream.fromProxy("HTTP/1.1 200 Connection established\r\n", &toClient, &toProxy), Status::Continue);
    EXPECT_EQ(stream.fromProxy("\r\n\x16\x03server", &toClient, &toProxy), Status::Continue);
    EXPECT_EQ(toClient, "\x16\x03server");
    EXPECT_EQ(toProxy, "\x16\x03\x01hello more");
    EXPECT_TRUE(stream.isPassThrough());

    QNHTTPProxyStream refused(settings(Mode::NonTransparent));
    refused.fromClient("\x16\x03\x01", &toProxy);
    EXPECT_EQ(refused.fromProxy("HTTP/1.1 403 Forbidden\r\n\r\n", &toClient, &toProxy), Status::Failed);
    EXPECT_EQ(refused.failureReason(),
              QStringLiteral("at hop 1 of 1 (HTTP \"p\" 10.0.0.2:3128): CONNECT refused (HTTP 403 Forbidden)"));
}

TEST(HTTPProxyStream, ResponsesPassUnchanged) {
    QNHTTPProxyStream stream(settings(Mode::NonTransparent, true));
    QByteArray toProxy;
    QByteArray toClient;
    stream.fromClient("GET / HTTP/1.1\r\n\r\n", &toProxy);
    const QByteArray response = "HTTP/1.1 200 OK\r\nVia: proxy\r\nContent-Length: 2\r\n\r\nok";
    EXPECT_EQ(stream.fromProxy(response, &toClient, &toProxy), Status::Continue);
    EXPECT_EQ(toClient, response);
}

} // namespace
