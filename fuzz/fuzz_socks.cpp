// Feeds arbitrary client bytes to the SOCKS header parser, whole and cut into pieces at places the input
// itself chooses, and checks that the outcome does not depend on the cuts and that replies are well-formed.
#include "QNFuzzCheck.h"

#include "tunnel/QNSOCKSRequestParser.h"
#include "util/QNConstants.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

using Parser = QNSOCKSRequestParser;

bool sameResult(const Parser::Result& a, const Parser::Result& b) {
    return a.outcome == b.outcome && a.consumed == b.consumed && a.reply == b.reply && a.host == b.host &&
           a.port == b.port && a.boundAddress == b.boundAddress && a.isSOCKS5 == b.isSOCKS5;
}

void checkWellFormed(const Parser::Result& result, qsizetype inputSize) {
    qnFuzzCheck(result.consumed >= 0 && result.consumed <= inputSize);
    qnFuzzCheck(result.consumed <= kQNSSHTunnelConnectionHeaderSizeMaximum);
    switch (result.outcome) {
    case Parser::Outcome::NeedMore:
    case Parser::Outcome::Close:
        qnFuzzCheck(result.consumed == 0 && result.reply.isEmpty());
        break;
    case Parser::Outcome::GreetingAccepted:
        qnFuzzCheck(result.reply == QByteArray::fromHex("0500"));
        break;
    case Parser::Outcome::Refused:
        // SOCKS 4: 0x00 0x5B and six zeros; SOCKS 5: no acceptable method, or the request echoed with
        // "command not supported".
        qnFuzzCheck(result.consumed > 0);
        if (!result.isSOCKS5) {
            qnFuzzCheck(result.reply == QByteArray::fromHex("005b000000000000"));
        } else if (result.boundAddress.isEmpty()) {
            qnFuzzCheck(result.reply == QByteArray::fromHex("05ff"));
        } else {
            qnFuzzCheck(result.reply == QByteArray::fromHex("050700") + result.boundAddress);
        }
        break;
    case Parser::Outcome::Connect: {
        qnFuzzCheck(result.consumed > 0 && result.reply.isEmpty());
        const QByteArray granted = result.connectReply(true, 0);
        const QByteArray failed = result.connectReply(false, Parser::kSOCKS5ConnectionRefused);
        if (result.isSOCKS5) {
            // Version, code, reserved, then the address exactly as the request gave it.
            qnFuzzCheck(result.boundAddress.size() >= 1 + 1 + 2);
            qnFuzzCheck(granted == QByteArray::fromHex("050000") + result.boundAddress);
            qnFuzzCheck(failed == QByteArray::fromHex("050500") + result.boundAddress);
        } else {
            qnFuzzCheck(granted == QByteArray::fromHex("005a000000000000"));
            qnFuzzCheck(failed == QByteArray::fromHex("005b000000000000"));
        }
        break;
    }
    }
}

// Feeds the input piece by piece, as a connection does, until the parser decides.
Parser::Result feedInPieces(Parser::Stage stage, const QByteArray& input, uint8_t cutSeed) {
    qsizetype available = 0;
    size_t step = 0;
    while (true) {
        const qsizetype piece = 1 + ((cutSeed + step * 7) % 13);
        available = qMin(input.size(), available + piece);
        ++step;
        const Parser::Result result = Parser::parseHeader(stage, QByteArrayView(input).first(available));
        if (result.outcome != Parser::Outcome::NeedMore || available == input.size()) {
            return result;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the stage and the cuts; the rest is what the client sent.
    const auto stage = (data[0] & 1) ? Parser::Stage::Request : Parser::Stage::Header;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    const Parser::Result whole = Parser::parseHeader(stage, input);
    checkWellFormed(whole, input.size());
    const Parser::Result pieces = feedInPieces(stage, input, data[0]);
    qnFuzzCheck(sameResult(whole, pieces));

    // A complete header followed by more bytes is the same header.
    if (whole.outcome != Parser::Outcome::NeedMore && whole.outcome != Parser::Outcome::Close) {
        const Parser::Result longer = Parser::parseHeader(stage, input + QByteArray(64, '\x05'));
        qnFuzzCheck(sameResult(whole, longer));
    }
    return 0;
}
