#include "EditCommand.h"

#include "ProfileDocument.h"

#include "model/QNProfile.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"
#include "platform/QNPreferenceStore.h"
#include "util/QNConstants.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cstdio>

#include <unistd.h>

using namespace ctl;

namespace {

const char kEditUsage[] = "Usage: quillonctl edit PROFILE [--force] [--no-prompt]\n"
                          "\n"
                          "Opens the profile's XML document in $VISUAL, else $EDITOR, else 'editor', else 'vi', and\n"
                          "once the editor ends replaces the profile with what the document holds: same identifier,\n"
                          "same position, still active if it was. The document is read and checked as 'import' does;\n"
                          "one that cannot be read or does not check out changes nothing: the error says where it\n"
                          "went wrong, and on a terminal you are asked whether to edit it again.\n"
                          "\n"
                          "Options:\n"
                          "  --force       Store the document in spite of the check's warnings (still printed).\n"
                          "  --no-prompt   Never ask: a document that cannot be stored ends the command.\n"
                          "  -h, --help    Show this help.\n";

const QString kCommand = QStringLiteral("edit");

QString editorCommand() {
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        const QString value = qEnvironmentVariable(variable);
        if (!value.trimmed().isEmpty()) {
            return value;
        }
    }
    return QStandardPaths::findExecutable(QStringLiteral("editor")).isEmpty() ? QStringLiteral("vi")
                                                                              : QStringLiteral("editor");
}

// The editor's value may carry arguments of its own, so the shell splits it; the file is passed apart, so
// its name is never parsed.
int runEditor(const QString& path) {
    QProcess editor;
    editor.setProgram(QStringLiteral("/bin/sh"));
    editor.setArguments(
        {QStringLiteral("-c"), editorCommand() + QStringLiteral(" \"$1\""), QStringLiteral("sh"), path});
    editor.setProcessChannelMode(QProcess::ForwardedChannels);
    editor.setInputChannelMode(QProcess::ForwardedInputChannel);
    editor.start();
    if (!editor.waitForStarted(-1) || !editor.waitForFinished(-1)) {
        return -1;
    }
    return editor.exitStatus() == QProcess::NormalExit ? editor.exitCode() : -1;
}

bool askAgain() {
    std::fputs("Edit again? [Y/n] ", stderr);
    std::fflush(stderr);
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, stdin)) {
        return false;
    }
    const QString text = QString::fromLocal8Bit(answer).trimmed();
    return text.isEmpty() || text.startsWith(QLatin1Char('y'), Qt::CaseInsensitive);
}

// The one profile the edited document holds, or the reason it cannot be stored (already printed).
std::shared_ptr<QNProfile> readEdited(const QString& path, bool force) {
    const QNXMLText::Result document = QNXMLText::xmlElementWithContentsOfFile(path);
    if (!document.ok()) {
        printError(kCommand, document.message());
        return nullptr;
    }
    const QNXMLElement& root = *document.element;
    const QList<std::shared_ptr<QNProfile>> profiles = QNProfile::profilesWithXML(root, 0);
    if (root.name().compare(kQNXMLElementNameProfiles, Qt::CaseInsensitive) != 0 || profiles.size() != 1) {
        printError(kCommand, QStringLiteral("the document must hold one <%1> element inside <%2>")
                                 .arg(kQNXMLElementNameProfile, kQNXMLElementNameProfiles));
        return nullptr;
    }
    if (!acceptWarnings(kCommand, documentWarnings(root), force)) {
        return nullptr;
    }
    return profiles.first();
}

int store(quint32 identifier, const std::shared_ptr<QNProfile>& edited) {
    const auto change = [&](QVariantMap& preferences, ChangeNotes* notes) {
        const ProfileList list(preferences);
        for (qsizetype index = 0; index < list.size(); ++index) {
            if (list.profile(index)->identifier() == identifier) {
                QVariantList entries = list.entries();
                replaceEntry(entries, index, *edited, *list.profile(index));
                list.store(preferences, entries, notes);
                return true;
            }
        }
        notes->refusal = QStringLiteral("profile %1 was deleted meanwhile; nothing was stored").arg(identifier);
        return false;
    };
    const auto report = [&] {
        return QStringLiteral("Changed profile %1: %2\n").arg(identifier).arg(displayName(*edited));
    };
    return storeChange(kCommand, change, report, kQNNotificationProfiles);
}

} // namespace

int runEditCommand(const QStringList& raw) {
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(kCommand, kEditUsage, raw, 1, 1, &arguments, &status, {},
                 {QStringLiteral("force"), QStringLiteral("no-prompt")})) {
        return status;
    }
    QNPreferenceStore preferenceStore;
    const ProfileList list(preferenceStore.loadPreferences());
    QString error;
    const qsizetype index = list.find(arguments.operands.first(), &error);
    if (index < 0) {
        printError(kCommand, error);
        return kFailure;
    }
    const std::shared_ptr<QNProfile> profile = list.profile(index);
    const QByteArray original = QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles({profile}));

    // Owner-only: the document holds passwords and keys. The suffix lets editors pick their XML mode.
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/quillon-edit-XXXXXX.xml"));
    if (original.isNull() || !file.open() || file.write(original) != original.size() || !file.flush()) {
        printError(kCommand,
                   QStringLiteral("cannot write the profile to a temporary file: %1").arg(file.errorString()));
        return kFailure;
    }
    file.close();

    const bool mayAsk = !arguments.flags.contains(QStringLiteral("no-prompt")) && ::isatty(STDIN_FILENO);
    const bool force = arguments.flags.contains(QStringLiteral("force"));
    for (;;) {
        const int editorStatus = runEditor(file.fileName());
        if (editorStatus != 0) {
            printError(
                kCommand,
                QStringLiteral("the editor did not end normally (status %1); nothing changed").arg(editorStatus));
            return kFailure;
        }
        QFile edited(file.fileName());
        if (edited.open(QIODevice::ReadOnly) && edited.read(QNXMLText::maximumSize + 1) == original) {
            printOut(QStringLiteral("nothing changed\n"));
            return kSuccess;
        }
        if (const auto replacement = readEdited(file.fileName(), force)) {
            return store(profile->identifier(), replacement);
        }
        if (!mayAsk || !askAgain()) {
            printError(kCommand, QStringLiteral("nothing changed"));
            return kFailure;
        }
    }
}
