#include "TransferCommands.h"

#include "ProfileDocument.h"

#include "model/QNProfile.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"
#include "platform/QNPreferenceStore.h"
#include "util/QNConstants.h"

#include <QFile>
#include <QSaveFile>
#include <QSet>

#include <cstdio>
#include <limits>

using namespace ctl;

namespace {

const char kExportUsage[] =
    "Usage: quillonctl export [PROFILE...] [-o FILE]\n"
    "\n"
    "Writes the profiles XML document with the named profiles (identifiers or exact names),\n"
    "or with every profile when none is named. The document holds passwords and keys (not the\n"
    "passphrases of keys): a file written with -o is readable by its owner only.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   Write to FILE instead of standard output ('-' for standard output).\n"
    "  -h, --help          Show this help.\n";

const char kImportUsage[] =
    "Usage: quillonctl import FILE [--replace] [--force]\n"
    "\n"
    "Adds every profile of a profiles XML document ('-' reads standard input). The profiles\n"
    "keep their names and get new identifiers above the highest in use. A document that cannot\n"
    "be read changes nothing; the error says where it went wrong.\n"
    "\n"
    "The document is checked first: ports outside 0-65535, rules whose proxy does not exist,\n"
    "proxies of unknown types, chains that do not validate and proxy hosts that do not resolve\n"
    "now are reported, profile by profile, and the document is refused.\n"
    "\n"
    "Options:\n"
    "  --replace    A profile with the name of a stored one replaces it in place: same\n"
    "               identifier, same position, still active if it was.\n"
    "  --force      Store the document in spite of the check's warnings (still printed).\n"
    "  -h, --help   Show this help.\n";

bool writeOutput(const QString& path, const QByteArray& data, QString* error) {
    if (path.isEmpty() || path == QLatin1String("-")) {
        if (std::fwrite(data.constData(), 1, size_t(data.size()), stdout) != size_t(data.size()) ||
            std::fflush(stdout) != 0) {
            *error = QStringLiteral("cannot write to standard output");
            return false;
        }
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    // The document carries passwords and keys.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(data) != data.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

int runExport(const QStringList& raw) {
    const QString command = QStringLiteral("export");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kExportUsage, raw, 0, std::numeric_limits<qsizetype>::max(), &arguments, &status,
                 {{QStringLiteral("output"), QLatin1Char('o')}})) {
        return status;
    }
    QNPreferenceStore store;
    const ProfileList list(store.loadPreferences());
    QList<std::shared_ptr<QNProfile>> chosen;
    if (arguments.operands.isEmpty()) {
        chosen = list.profiles();
    }
    for (const QString& argument : std::as_const(arguments.operands)) {
        QString error;
        const qsizetype index = list.find(argument, &error);
        if (index < 0) {
            printError(command, error);
            return kFailure;
        }
        if (!chosen.contains(list.profile(index))) {
            chosen.append(list.profile(index));
        }
    }
    const QByteArray document = QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles(chosen));
    if (document.isNull()) {
        printError(command, QStringLiteral("the profiles cannot be written as an XML document"));
        return kFailure;
    }
    QString error;
    if (!writeOutput(arguments.values.value(QStringLiteral("output")).toString(), document, &error)) {
        printError(command, error);
        return kFailure;
    }
    return kSuccess;
}

// Stored profiles of exactly that name (a null name matches only null names).
QList<qsizetype> indexesNamed(const ProfileList& list, const QString& name) {
    QList<qsizetype> matches;
    for (qsizetype index = 0; index < list.size(); ++index) {
        const QString stored = list.profile(index)->name();
        if (stored == name && stored.isNull() == name.isNull()) {
            matches.append(index);
        }
    }
    return matches;
}

QNXMLText::Result readDocument(const QString& path) {
    if (path != QLatin1String("-")) {
        return QNXMLText::xmlElementWithContentsOfFile(path);
    }
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly)) {
        QNXMLText::Result result;
        result.errorString = QStringLiteral("standard input cannot be read");
        return result;
    }
    // One byte over the limit lets the reader refuse the document as too large.
    return QNXMLText::xmlElementWithData(input.read(QNXMLText::maximumSize + 1));
}

int runImport(const QStringList& raw) {
    const QString command = QStringLiteral("import");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kImportUsage, raw, 1, 1, &arguments, &status, {},
                 {QStringLiteral("replace"), QStringLiteral("force")})) {
        return status;
    }
    const QString path = arguments.operands.first();
    const QString shownPath = path == QLatin1String("-") ? QStringLiteral("standard input") : path;
    const QNXMLText::Result document = readDocument(path);
    if (!document.ok()) {
        printError(command, QStringLiteral("%1: %2").arg(shownPath, document.message()));
        return kFailure;
    }
    const QNXMLElement& root = *document.element;
    if (root.name().compare(kQNXMLElementNameProfiles, Qt::CaseInsensitive) != 0) {
        printError(command, QStringLiteral("%1: the document's root element is <%2>, not <%3>")
                                .arg(shownPath, root.name(), kQNXMLElementNameProfiles));
        return kFailure;
    }
    if (!acceptWarnings(command, documentWarnings(root), arguments.flags.contains(QStringLiteral("force")))) {
        return kFailure;
    }
    const bool replace = arguments.flags.contains(QStringLiteral("replace"));
    // Every profile element takes an identifier, even one that yields no profile.
    quint64 numbers = 0;
    for (const auto& child : root.elements().value_or(QNXMLElement::Elements())) {
        if (child && child->name().compare(kQNXMLElementNameProfile, Qt::CaseInsensitive) == 0) {
            ++numbers;
        }
    }

    QList<std::shared_ptr<QNProfile>> imported;
    QSet<const QNProfile*> replaced;
    const auto change = [&](QVariantMap& preferences, ChangeNotes* notes) {
        const ProfileList list(preferences);
        const auto next = list.nextIdentifier();
        if (!next || quint64(*next) + numbers - 1 > std::numeric_limits<quint32>::max()) {
            notes->refusal = QStringLiteral("not enough identifiers are left above the highest one in use");
            return false;
        }
        imported = QNProfile::profilesWithXML(root, *next);
        if (imported.isEmpty()) {
            notes->refusal = QStringLiteral("%1 holds no profile; nothing was imported").arg(shownPath);
            return false;
        }
        QVariantList entries = list.entries();
        replaced.clear();
        QSet<qsizetype> taken;
        for (const auto& profile : std::as_const(imported)) {
            const QList<qsizetype> matches = replace ? indexesNamed(list, profile->name()) : QList<qsizetype>();
            if (matches.isEmpty()) {
                entries.append(profile->settings());
                continue;
            }
            if (matches.size() > 1 || taken.contains(matches.first())) {
                notes->refusal = QStringLiteral("more than one profile is called '%1'; nothing was imported")
                                     .arg(displayName(*profile));
                return false;
            }
            taken.insert(matches.first());
            replaceEntry(entries, matches.first(), *profile, *list.profile(matches.first()));
            replaced.insert(profile.get());
        }
        list.store(preferences, entries, notes);
        return true;
    };
    const auto report = [&] {
        QString text;
        for (const auto& profile : std::as_const(imported)) {
            text += QStringLiteral("%1 profile %2: %3\n")
                        .arg(replaced.contains(profile.get()) ? QStringLiteral("Replaced") : QStringLiteral("Imported"))
                        .arg(profile->identifier())
                        .arg(displayName(*profile));
        }
        return text;
    };
    return storeChange(command, change, report, kQNNotificationProfiles);
}

} // namespace

QList<Command> transferCommands() {
    return {
        {QStringLiteral("export"), QStringLiteral("export [PROFILE...] [-o FILE]"),
         QStringLiteral("Write profiles as a profiles XML document"), runExport},
        {QStringLiteral("import"), QStringLiteral("import FILE [--replace] [--force]"),
         QStringLiteral("Add (or replace) the profiles of a profiles XML document"), runImport},
    };
}
