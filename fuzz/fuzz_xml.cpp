// Feeds arbitrary bytes to the XML text reader and, when they make a tree, to the profile import; then
// exports what was imported and checks that the export reads back and is stable.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QNXMLText::Result read = QNXMLText::xmlElementWithData(bytes);
    if (!read.ok()) {
        qnFuzzCheck(!read.errorString.isEmpty());
        qnFuzzCheck(!read.message().isEmpty());
        return 0;
    }

    // Whatever the reader accepts, the writer can write and the reader reads again.
    const QByteArray rewritten = QNXMLText::dataWithXMLElement(*read.element);
    qnFuzzCheck(!rewritten.isNull());
    qnFuzzCheck(QNXMLText::xmlElementWithData(rewritten).ok());

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
