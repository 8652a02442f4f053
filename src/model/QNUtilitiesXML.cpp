#include "model/QNXMLElement.h"
#include "util/QNConstants.h"
#include "util/QNUtilities.h"

#include <algorithm>

namespace {

qint64 orderOf(const std::shared_ptr<QNXMLElement>& element) {
    // A missing attribute, table or node counts as 0, like text without digits.
    if (!element) {
        return 0;
    }
    return QNUtilities::integerValue(element->attribute(kQNXMLAttributeNameOrder));
}

} // namespace

QList<std::shared_ptr<QNXMLElement>>
QNUtilities::sortedXMLElements(const QList<std::shared_ptr<QNXMLElement>>& elements) {
    // Read each order once rather than on every comparison; the stable sort keeps document order among equals.
    QList<std::pair<qint64, std::shared_ptr<QNXMLElement>>> keyed;
    keyed.reserve(elements.size());
    for (const auto& element : elements) {
        keyed.append({orderOf(element), element});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    QList<std::shared_ptr<QNXMLElement>> sorted;
    sorted.reserve(keyed.size());
    for (const auto& entry : keyed) {
        sorted.append(entry.second);
    }
    return sorted;
}
