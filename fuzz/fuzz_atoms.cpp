// Feeds arbitrary bytes to the atom reader and the profile stream decoder, as the engine stand-in
// receives them from a peer it does not trust.
#include "QNFuzzCheck.h"

#include "kernel/QNAtomReader.h"
#include "kernel/QNProfileStreamDecoder.h"

#include <QByteArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Reads every atom as if it were a container, a few levels down, and every value accessor on it.
void walk(QByteArrayView buffer, int depth) {
    QNAtomReader reader(buffer);
    QNAtom atom;
    qsizetype covered = 0;
    while (reader.next(&atom)) {
        qnFuzzCheck(atom.length >= 8 && atom.offset == covered && atom.data.size() == qsizetype(atom.length) - 8);
        qnFuzzCheck(atom.data.data() >= buffer.data() &&
                    atom.data.data() + atom.data.size() <= buffer.data() + buffer.size());
        covered += atom.length;
        (void)atom.u8();
        (void)atom.u16();
        (void)atom.u32();
        (void)atom.s32();
        (void)atom.u64();
        (void)atom.u16Pair();
        (void)atom.text();
        (void)atom.ipv4();
        (void)atom.ipv6();
        (void)atom.ipv4Range();
        (void)atom.ipv6Range();
        if (depth < 4) {
            walk(atom.data, depth + 1);
        }
    }
    qnFuzzCheck(reader.atEnd() != reader.hasError());
    qnFuzzCheck(reader.atEnd() == (covered == buffer.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    walk(bytes, 0);

    QString error;
    const std::optional<QNDecodedProfile> profile = QNProfileStreamDecoder::decode(bytes, &error);
    qnFuzzCheck(profile.has_value() == error.isNull());
    if (profile) {
        qnFuzzCheck(!QNProfileStreamDecoder::jsonDocument(*profile).toJson().isEmpty());
    }
    return 0;
}
