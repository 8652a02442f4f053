#include "ProfileDocument.h"

#include "CommandSupport.h"

#include "model/QNProfile.h"
#include "model/QNProfileCheck.h"

namespace ctl {

QStringList documentWarnings(const QNXMLElement& root) {
    QStringList texts;
    for (const QNProfileWarning& warning : QNProfileCheck().warningsForDocument(root)) {
        texts.append(warning.text());
    }
    return texts;
}

bool acceptWarnings(const QString& command, const QStringList& warnings, bool force) {
    for (const QString& warning : warnings) {
        printError(command, QStringLiteral("warning: ") + warning);
    }
    if (warnings.isEmpty() || force) {
        return true;
    }
    printError(command, QStringLiteral("the document has %1 %2; nothing was stored (--force stores it anyway)")
                            .arg(warnings.size())
                            .arg(warnings.size() == 1 ? QStringLiteral("warning") : QStringLiteral("warnings")));
    return false;
}

void replaceEntry(QVariantList& entries, qsizetype index, QNProfile& profile, quint32 identifier) {
    profile.setIdentifier(identifier);
    entries[index] = profile.settings();
}

} // namespace ctl
