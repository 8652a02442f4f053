// The engine's framing of what agents send it: whole frames in order however the bytes arrive, and a
// stream that cannot be framed stops for good.

#include "kernel/QNAtomWriter.h"
#include "kernel/QNOptionFrameReader.h"

#include <QList>

#include <gtest/gtest.h>

#include <cstring>

namespace {

QByteArray frame(quint32 option, const QByteArray& value) {
    QByteArray bytes;
    QNAtomWriter::appendAtom(bytes, option, value);
    return bytes;
}

QList<std::pair<quint32, QByteArray>> drain(QNOptionFrameReader& reader) {
    QList<std::pair<quint32, QByteArray>> frames;
    while (const std::optional<QNOptionFrameReader::Frame> next = reader.next()) {
        frames.append({next->option, next->value});
    }
    return frames;
}

TEST(OptionFrameReader, GivesTheSameFramesWholeOrByteByByte) {
    const QByteArray stream = frame(1, QByteArray(1, '\1')) + frame(0, QByteArray(70000, 'p')) + frame(7, {});
    const QList<std::pair<quint32, QByteArray>> expected{
        {1, QByteArray(1, '\1')}, {0, QByteArray(70000, 'p')}, {7, QByteArray()}};

    QNOptionFrameReader whole(1024 * 1024);
    whole.append(stream);
    EXPECT_EQ(drain(whole), expected);
    EXPECT_EQ(whole.bufferedSize(), 0);

    QNOptionFrameReader pieces(1024 * 1024);
    QList<std::pair<quint32, QByteArray>> seen;
    for (const char byte : stream) {
        pieces.append(QByteArrayView(&byte, 1));
        seen += drain(pieces);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(pieces.malformedLength());
}

TEST(OptionFrameReader, StopsForGoodAtALengthThatCannotBeFramed) {
    for (const quint32 bad : {0u, 7u, 4097u}) {
        SCOPED_TRACE(bad);
        QNOptionFrameReader reader(4096);
        QByteArray header(8, '\0');
        std::memcpy(header.data(), &bad, 4);
        reader.append(frame(1, "a") + header + frame(1, "b"));
        // What came before is still delivered; nothing after.
        EXPECT_EQ(drain(reader), (QList<std::pair<quint32, QByteArray>>{{1, "a"}}));
        EXPECT_EQ(reader.malformedLength(), bad);
        reader.append(frame(1, "c"));
        EXPECT_FALSE(reader.next());
        EXPECT_EQ(reader.bufferedSize(), 0);
        // A new connection starts framed.
        reader.clear();
        reader.append(frame(2, "d"));
        EXPECT_EQ(drain(reader), (QList<std::pair<quint32, QByteArray>>{{2, "d"}}));
    }
}

TEST(OptionFrameReader, WaitsForTheRestOfAFrameAtTheLimit) {
    QNOptionFrameReader reader(4096);
    const QByteArray largest = frame(3, QByteArray(4096 - 8, 'x'));
    reader.append(largest.left(4095));
    EXPECT_FALSE(reader.next());
    EXPECT_FALSE(reader.malformedLength());
    reader.append(largest.right(1));
    EXPECT_EQ(drain(reader).size(), 1);
}

} // namespace
