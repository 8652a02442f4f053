#include "CommandSupport.h"

#include "model/QNProfile.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "util/QNConstants.h"
#include "util/QNPreferenceValues.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace ctl {

void printOut(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

void printError(const QString& command, const QString& text) {
    const QString prefix = command.isEmpty() ? QStringLiteral("quillonctl") : QStringLiteral("quillonctl ") + command;
    std::fprintf(stderr, "%s: %s\n", prefix.toLocal8Bit().constData(), text.toLocal8Bit().constData());
}

int usageError(const QString& command, const QString& text) {
    printError(command, text);
    const QString help =
        command.isEmpty() ? QStringLiteral("quillonctl --help") : QStringLiteral("quillonctl %1 --help").arg(command);
    std::fprintf(stderr, "Try '%s'.\n", help.toLocal8Bit().constData());
    return kUsage;
}

Arguments parseArguments(const QStringList& arguments, const QList<OptionSpec>& valueOptions,
                         const QStringList& flagOptions) {
    Arguments result;
    auto optionNamed = [&valueOptions](const QString& argument) -> const OptionSpec* {
        for (const OptionSpec& option : valueOptions) {
            if (argument == QStringLiteral("--") + option.longName ||
                (!option.shortName.isNull() && argument == QStringLiteral("-") + option.shortName)) {
                return &option;
            }
        }
        return nullptr;
    };
    bool optionsEnded = false;
    for (qsizetype index = 0; index < arguments.size(); ++index) {
        const QString& argument = arguments.at(index);
        // A negative number is a value for the command to judge, not an option.
        const bool negativeNumber =
            argument.size() > 1 && argument.at(0) == QLatin1Char('-') && argument.at(1).isDigit();
        if (optionsEnded || argument == QLatin1String("-") || !argument.startsWith(QLatin1Char('-')) ||
            negativeNumber) {
            result.operands.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            result.help = true;
        } else if (argument.startsWith(QLatin1String("--")) && flagOptions.contains(argument.mid(2))) {
            if (!result.flags.contains(argument.mid(2))) {
                result.flags.append(argument.mid(2));
            }
        } else if (const OptionSpec* option = optionNamed(argument)) {
            if (index + 1 >= arguments.size()) {
                result.error = QStringLiteral("option '%1' needs a value").arg(argument);
                return result;
            }
            result.values.insert(option->longName, arguments.at(++index));
        } else if (argument.startsWith(QLatin1String("--")) && argument.contains(QLatin1Char('=')) &&
                   optionNamed(argument.section(QLatin1Char('='), 0, 0))) {
            result.values.insert(argument.section(QLatin1Char('='), 0, 0).mid(2),
                                 argument.section(QLatin1Char('='), 1));
        } else {
            result.error = QStringLiteral("unknown option '%1'").arg(argument);
            return result;
        }
    }
    return result;
}

bool expectOperands(const QString& command, const Arguments& arguments, qsizetype minimum, qsizetype maximum) {
    const qsizetype count = arguments.operands.size();
    if (count < minimum) {
        usageError(command, QStringLiteral("missing argument"));
        return false;
    }
    if (count > maximum) {
        usageError(command, QStringLiteral("unexpected argument '%1'").arg(arguments.operands.at(maximum)));
        return false;
    }
    return true;
}

bool prepare(const QString& command, const char* usage, const QStringList& raw, qsizetype minimum, qsizetype maximum,
             Arguments* arguments, int* status, const QList<OptionSpec>& valueOptions, const QStringList& flagOptions) {
    *arguments = parseArguments(raw, valueOptions, flagOptions);
    if (arguments->help) {
        printOut(QString::fromUtf8(usage));
        *status = kSuccess;
        return false;
    }
    if (!arguments->error.isEmpty()) {
        *status = usageError(command, arguments->error);
        return false;
    }
    if (!expectOperands(command, *arguments, minimum, maximum)) {
        *status = kUsage;
        return false;
    }
    return true;
}

int storeChange(const QString& command, const PreferenceChange& change, const std::function<QString()>& report,
                const QString& notificationName) {
    QNPreferenceStore store;
    ChangeNotes notes;
    const bool stored = store.updatePreferences([&](QVariantMap& preferences) {
        notes = ChangeNotes();
        return change(preferences, &notes);
    });
    if (!stored || !notes.refusal.isEmpty()) {
        printError(command, stored ? notes.refusal : store.lastError());
        return kFailure;
    }
    printOut(report());
    for (const QString& warning : std::as_const(notes.warnings)) {
        printError(command, QStringLiteral("warning: ") + warning);
    }
    notifyAgent(command, notificationName);
    return kSuccess;
}

ProfileList::ProfileList(const QVariantMap& preferences) {
    for (const QVariantMap& settings : QNPreferenceValues::profileDictionaries(preferences, &_passedOver)) {
        _entries.append(settings);
        _profiles.append(QNProfile::profileWithSettings(settings));
    }
}

qsizetype ProfileList::find(const QString& argument, QString* error) const {
    QList<qsizetype> matches;
    // Only plain digits name an identifier: " 1" or "+1" can only be names.
    bool isNumber = !argument.isEmpty() &&
                    std::all_of(argument.cbegin(), argument.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const quint32 identifier = isNumber ? argument.toUInt(&isNumber) : 0;
    if (isNumber) {
        for (qsizetype index = 0; index < _profiles.size(); ++index) {
            if (_profiles.at(index)->identifier() == identifier) {
                matches.append(index);
            }
        }
    }
    if (matches.isEmpty()) {
        for (qsizetype index = 0; index < _profiles.size(); ++index) {
            if (!_profiles.at(index)->name().isNull() && _profiles.at(index)->name() == argument) {
                matches.append(index);
            }
        }
    }
    if (matches.size() == 1) {
        return matches.first();
    }
    if (matches.isEmpty()) {
        *error = QStringLiteral("no profile has the identifier or name '%1'").arg(argument);
    } else {
        *error = QStringLiteral("%1 profiles match '%2'; name one by its identifier (see 'quillonctl list')")
                     .arg(matches.size())
                     .arg(argument);
    }
    return -1;
}

std::optional<quint32> ProfileList::nextIdentifier() const {
    quint32 highest = 0;
    for (const auto& profile : _profiles) {
        highest = qMax(highest, profile->identifier());
    }
    if (highest == std::numeric_limits<quint32>::max()) {
        return std::nullopt;
    }
    return highest + 1;
}

qint64 ProfileList::activeIdentifier(const QVariantMap& preferences) const {
    const auto stored = QNPreferenceValues::integerValue(preferences, kQNUserDefaultActiveProfileIdentifier);
    for (const auto& profile : _profiles) {
        if (stored && qint64(profile->identifier()) == *stored) {
            return *stored;
        }
    }
    return -1;
}

void ProfileList::store(QVariantMap& preferences, const QVariantList& entries, ChangeNotes* notes) const {
    preferences.insert(kQNUserDefaultProfiles, entries);
    for (const QString& passedOver : _passedOver) {
        notes->warnings.append(QStringLiteral("replaced what could not be read: %1").arg(passedOver));
    }
}

QString displayName(const QNProfile& profile) {
    return profile.name().isNull() ? QStringLiteral("(unnamed)") : profile.name();
}

void notifyAgent(const QString& command, const QString& notificationName) {
    QNNotificationCenter center;
    if (center.postNotificationName(notificationName, kQNNotificationIdentifierPreferencePane) && center.flush()) {
        return;
    }
    printError(command, QStringLiteral("warning: the change is saved, but a running agent could not be told (%1)")
                            .arg(center.lastError()));
}

} // namespace ctl
