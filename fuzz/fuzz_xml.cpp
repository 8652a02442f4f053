// Feeds arbitrary bytes to the XML text reader. A document it accepts must keep within the reader's limits,
// write out and read back as the same tree, and go through the profile import and export, which then agree
// with each other.
#include "QNFuzzCheck.h"

#include "model/QNProfile.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QByteArray exportProfiles(const QList<std::shared_ptr<QNProfile>>& profiles) {
    return QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles(profiles));
}

// Depth, attribute count and element count of what was read; counts the elements into elementCount.
void checkLimits(const QNXMLElement& element, int depth, qint64& elementCount) {
    qnFuzzCheck(depth <= QNXMLText::maximumDepth);
    qnFuzzCheck(++elementCount <= QNXMLText::maximumElementCount);
    qnFuzzCheck(element.attributes().value_or(QNXMLElement::Attributes()).size() <= QNXMLText::maximumAttributeCount);
    // The reader gives a leaf its text and a container none.
    qnFuzzCheck(element.elements().has_value() == element.data().isNull());
    for (const auto& child : element.elements().value_or(QNXMLElement::Elements())) {
        checkLimits(*child, depth + 1, elementCount);
    }
}

// Value by value: names, attribute tables (present or not), children in order, texts (null or not).
void checkSameTree(const QNXMLElement& a, const QNXMLElement& b) {
    qnFuzzCheck(a.name() == b.name());
    qnFuzzCheck(a.attributes() == b.attributes());
    qnFuzzCheck(a.data() == b.data() && a.data().isNull() == b.data().isNull());
    qnFuzzCheck(a.elements().has_value() == b.elements().has_value());
    const auto childrenA = a.elements().value_or(QNXMLElement::Elements());
    const auto childrenB = b.elements().value_or(QNXMLElement::Elements());
    qnFuzzCheck(childrenA.size() == childrenB.size());
    for (qsizetype i = 0; i < childrenA.size(); ++i) {
        checkSameTree(*childrenA[i], *childrenB[i]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QNXMLText::Result read = QNXMLText::xmlElementWithData(bytes);
    if (!read.ok()) {
        qnFuzzCheck(!read.errorString.isEmpty());
        qnFuzzCheck(!read.message().isEmpty());
        return 0;
    }
    qint64 elementCount = 0;
    checkLimits(*read.element, 1, elementCount);

    // Whatever the reader accepts, the writer writes and the reader reads back unchanged.
    const QByteArray rewritten = QNXMLText::dataWithXMLElement(*read.element);
    qnFuzzCheck(!rewritten.isNull());
    const QNXMLText::Result reread = QNXMLText::xmlElementWithData(rewritten);
    qnFuzzCheck(reread.ok());
    checkSameTree(*read.element, *reread.element);

    // One import normalises the document; from then on export and import agree with each other.
    const auto profiles = QNProfile::profilesWithXML(*read.element, 1);
    const QByteArray exported = exportProfiles(profiles);
    qnFuzzCheck(!exported.isNull());
    const QNXMLText::Result again = QNXMLText::xmlElementWithData(exported);
    qnFuzzCheck(again.ok());
    const auto reimported = QNProfile::profilesWithXML(*again.element, 1);
    qnFuzzCheck(reimported.size() == profiles.size());
    qnFuzzCheck(exportProfiles(reimported) == exported);
    return 0;
}
