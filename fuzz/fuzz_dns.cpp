// Feeds arbitrary bytes to the DNS readers as a query and as an answer, and the name table's file reader.
// A query that parses must be answerable: the answer built from it parses back as an answer to it, with the
// record it was given. The name table never grows past its bound whatever its file holds.
#include "QNFuzzCheck.h"

#include "engine/QNDNSMessage.h"
#include "engine/QNNameTable.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<QNDNSMessage::Question> question = QNDNSMessage::parseQuery(bytes)) {
        qnFuzzCheck(question->questionEnd <= bytes.size(), "the question ends inside the message");
        qnFuzzCheck(question->name.size() <= 253, "names are bounded");
        const QByteArray answer = QNDNSMessage::answer(bytes, *question, 0xC6120001, 60);
        const std::optional<QList<QNDNSMessage::Record>> records = QNDNSMessage::parseAnswers(answer, question->id);
        qnFuzzCheck(records && records->size() == 1 && records->at(0).address[3] == 0xC6120001,
                    "an answer to a parsed query reads back");
    }
    if (size >= 2) {
        QNDNSMessage::parseAnswers(bytes, quint16((data[0] << 8) | data[1]));
    }
    QNNameTable table(16);
    table.load(bytes);
    qnFuzzCheck(table.size() <= 16, "the name table keeps its bound");
    return 0;
}
