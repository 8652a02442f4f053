#include "ProfileCommands.h"

#include "AgentCommands.h"

#include "ShowCommand.h"

#include "model/QNProfile.h"
#include "platform/QNPreferenceStore.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

using namespace ctl;

namespace {

const char kListUsage[] = "Usage: quillonctl list\n"
                          "\n"
                          "Lists the profiles, one per line: a '*' for the active one, the identifier and the name.\n";

const char kNewUsage[] = "Usage: quillonctl new NAME\n"
                         "\n"
                         "Adds a profile called NAME made from the default profile: one SOCKS 5 placeholder proxy,\n"
                         "rules for private networks, loopback and everything else, and remote name resolution.\n"
                         "Its identifier is one above the highest in use; it is printed.\n";

const char kDeleteUsage[] = "Usage: quillonctl delete PROFILE\n"
                            "\n"
                            "Removes a profile. PROFILE is an identifier or an exact name. When it is the active\n"
                            "profile, no profile is active afterwards.\n";

const char kRenameUsage[] = "Usage: quillonctl rename PROFILE NAME\n"
                            "\n"
                            "Gives a profile a new name. PROFILE is an identifier or an exact name.\n";

const char kActivateUsage[] = "Usage: quillonctl activate PROFILE|none\n"
                              "\n"
                              "Makes a profile the active one, or with 'none' switches profiles off. PROFILE is an\n"
                              "identifier or an exact name (a profile called 'none' is activated by its identifier).\n"
                              "A running agent switches at once, and the command waits for it: it fails, with the\n"
                              "agent's alert, when the profile could not be switched on or the engine is not\n"
                              "running. Without a running agent the choice takes effect at its next start.\n";

// A name the preference file and the XML document can both carry.
bool checkName(const QString& command, const QString& name, int* status) {
    if (name.trimmed().isEmpty()) {
        *status = usageError(command, QStringLiteral("the name cannot be empty"));
        return false;
    }
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.isNonCharacter() || c.isSurrogate()) {
            *status = usageError(command, QStringLiteral("the name cannot hold control characters"));
            return false;
        }
    }
    return true;
}

int runList(const QStringList& raw) {
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(QStringLiteral("list"), kListUsage, raw, 0, 0, &arguments, &status)) {
        return status;
    }
    QNPreferenceStore store;
    const QVariantMap preferences = store.loadPreferences();
    const ProfileList list(preferences);
    const qint64 active = list.activeIdentifier(preferences);
    int width = 1;
    for (const auto& profile : list.profiles()) {
        width = qMax(width, int(QString::number(profile->identifier()).size()));
    }
    for (const auto& profile : list.profiles()) {
        const bool isActive = qint64(profile->identifier()) == active;
        printOut(QStringLiteral("%1 %2  %3\n")
                     .arg(isActive ? QLatin1Char('*') : QLatin1Char(' '))
                     .arg(profile->identifier(), width)
                     .arg(displayName(*profile)));
    }
    return kSuccess;
}

int runShow(const QStringList& raw) {
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(QStringLiteral("show"), showUsage(), raw, 1, 1, &arguments, &status)) {
        return status;
    }
    QNPreferenceStore store;
    const QVariantMap preferences = store.loadPreferences();
    const ProfileList list(preferences);
    QString error;
    const qsizetype index = list.find(arguments.operands.first(), &error);
    if (index < 0) {
        printError(QStringLiteral("show"), error);
        return kFailure;
    }
    const auto& profile = list.profile(index);
    printOut(profileDescription(*profile, qint64(profile->identifier()) == list.activeIdentifier(preferences)));
    return kSuccess;
}

// The change of a command that acts on the one profile an argument names.
PreferenceChange onProfile(const QString& argument,
                           const std::function<void(QVariantMap&, const ProfileList&, qsizetype, ChangeNotes*)>& act) {
    return [argument, act](QVariantMap& preferences, ChangeNotes* notes) {
        const ProfileList list(preferences);
        const qsizetype index = list.find(argument, &notes->refusal);
        if (index < 0) {
            return false;
        }
        act(preferences, list, index, notes);
        return true;
    };
}

QString described(const QNProfile& profile) {
    return QStringLiteral("%1 (%2)").arg(profile.identifier()).arg(displayName(profile));
}

int runNew(const QStringList& raw) {
    const QString command = QStringLiteral("new");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kNewUsage, raw, 1, 1, &arguments, &status) ||
        !checkName(command, arguments.operands.first(), &status)) {
        return status;
    }
    quint32 identifier = 0;
    const auto change = [&](QVariantMap& preferences, ChangeNotes* notes) {
        const ProfileList list(preferences);
        const auto next = list.nextIdentifier();
        if (!next) {
            notes->refusal = QStringLiteral("no identifier is left above the highest one in use");
            return false;
        }
        identifier = *next;
        const auto profile = QNProfile::profileWithIdentifier(identifier, QNStrings::mainBundle());
        profile->setName(arguments.operands.first());
        list.store(preferences, QVariantList(list.entries()) << profile->settings(), notes);
        return true;
    };
    return storeChange(
        command, change, [&] { return QString::number(identifier) + QLatin1Char('\n'); }, kQNNotificationProfiles);
}

int runDelete(const QStringList& raw) {
    const QString command = QStringLiteral("delete");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kDeleteUsage, raw, 1, 1, &arguments, &status)) {
        return status;
    }
    QString deleted;
    const auto change = onProfile(arguments.operands.first(), [&](QVariantMap& preferences, const ProfileList& list,
                                                                  qsizetype index, ChangeNotes* notes) {
        const auto& profile = list.profile(index);
        deleted = described(*profile);
        // A stale active identifier would name the next profile that is given the same number.
        if (list.activeIdentifier(preferences) == qint64(profile->identifier())) {
            preferences.insert(kQNUserDefaultActiveProfileIdentifier, qint64(-1));
        }
        QVariantList entries = list.entries();
        entries.removeAt(index);
        list.store(preferences, entries, notes);
    });
    return storeChange(
        command, change, [&] { return QStringLiteral("Deleted profile %1\n").arg(deleted); }, kQNNotificationProfiles);
}

int runRename(const QStringList& raw) {
    const QString command = QStringLiteral("rename");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kRenameUsage, raw, 2, 2, &arguments, &status) ||
        !checkName(command, arguments.operands.at(1), &status)) {
        return status;
    }
    const QString name = arguments.operands.at(1);
    quint32 identifier = 0;
    const auto change = onProfile(arguments.operands.first(), [&](QVariantMap& preferences, const ProfileList& list,
                                                                  qsizetype index, ChangeNotes* notes) {
        identifier = list.profile(index)->identifier();
        // Only the name changes: everything else in the entry stays as it was stored.
        QVariantList entries = list.entries();
        QVariantMap entry = entries.at(index).toMap();
        entry.insert(kQNSettingsKeyName, name);
        entries[index] = entry;
        list.store(preferences, entries, notes);
    });
    return storeChange(
        command, change, [&] { return QStringLiteral("Renamed profile %1 to %2\n").arg(identifier).arg(name); },
        kQNNotificationProfiles);
}

int runActivate(const QStringList& raw) {
    const QString command = QStringLiteral("activate");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kActivateUsage, raw, 1, 1, &arguments, &status)) {
        return status;
    }
    // Asked before the change is posted, so that the agent's answer to it can be told from what came before.
    QString reason;
    const std::optional<AgentState> before = agentState(&reason);
    QString chosen;
    qint64 chosenIdentifier = -1;
    const PreferenceChange change =
        arguments.operands.first() == QLatin1String("none")
            ? PreferenceChange([](QVariantMap& preferences, ChangeNotes*) {
                  preferences.insert(kQNUserDefaultActiveProfileIdentifier, qint64(-1));
                  return true;
              })
            : onProfile(arguments.operands.first(), [&](QVariantMap& preferences, const ProfileList& list,
                                                        qsizetype index, ChangeNotes*) {
                  chosen = described(*list.profile(index));
                  chosenIdentifier = qint64(list.profile(index)->identifier());
                  preferences.insert(kQNUserDefaultActiveProfileIdentifier, qint64(list.profile(index)->identifier()));
              });
    const int stored = storeChange(
        command, change,
        [&] {
            if (before) {
                return QString();
            }
            return (chosen.isEmpty() ? QStringLiteral("No profile is active\n")
                                     : QStringLiteral("Active profile: %1\n").arg(chosen)) +
                   QStringLiteral("The agent is not running: the choice takes effect at its next start.\n");
        },
        kQNNotificationActiveProfileIdentifier);
    if (stored != kSuccess || !before) {
        return stored;
    }
    return awaitActivation(command, chosenIdentifier, chosen, *before);
}

} // namespace

QList<Command> profileCommands() {
    return {
        {QStringLiteral("list"), QStringLiteral("list"), QStringLiteral("List the profiles and which one is active"),
         runList},
        {QStringLiteral("show"), QStringLiteral("show PROFILE"),
         QStringLiteral("Show a profile's proxies, chains, rules and DNS entries"), runShow},
        {QStringLiteral("new"), QStringLiteral("new NAME"), QStringLiteral("Add a profile made from the default one"),
         runNew},
        {QStringLiteral("delete"), QStringLiteral("delete PROFILE"), QStringLiteral("Remove a profile"), runDelete},
        {QStringLiteral("rename"), QStringLiteral("rename PROFILE NAME"), QStringLiteral("Rename a profile"),
         runRename},
        {QStringLiteral("activate"), QStringLiteral("activate PROFILE|none"),
         QStringLiteral("Choose the active profile, or none"), runActivate},
    };
}
