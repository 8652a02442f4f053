#include "SettingsCommands.h"

#include "platform/QNPreferenceStore.h"
#include "util/QNConstants.h"
#include "util/QNPreferenceValues.h"

#include <limits>
#include <optional>

using namespace ctl;

namespace {

const char kGetUsage[] = "Usage: quillonctl get [KEY]\n"
                         "\n"
                         "Prints the value of a setting, or every setting with its name when no KEY is given.\n"
                         "Settings that were never set show the value the agent uses for them.\n"
                         "\n"
                         "Keys:\n"
                         "  enableLogging        Write the activity log (default false).\n"
                         "  showInMenuBar        Show the status icon (default true).\n"
                         "  checkForUpdates      Look for a newer version once a week (default true).\n"
                         "  sshTunnelVerbosity   Log level of SSH tunnels, 0 and up (default 0).\n"
                         "  safetyOverride       Restore the active profile after an unclean end, a session\n"
                         "                       switch or a tunnel failure (default false).\n";

const char kSetUsage[] = "Usage: quillonctl set KEY VALUE\n"
                         "\n"
                         "Changes a setting; a running agent applies it at once. Booleans take true, false, yes,\n"
                         "no, 1 or 0; sshTunnelVerbosity takes a whole number from 0. See 'quillonctl get --help'\n"
                         "for the keys.\n";

struct Setting {
    QString key;
    bool boolean;
    qint64 defaultValue;
};

const QList<Setting>& settings() {
    static const QList<Setting> table{
        {kQNUserDefaultEnableLogging, true, kQNDefaultEnableLogging},
        {kQNUserDefaultShowInMenuBar, true, kQNDefaultShowInMenuBar},
        {kQNUserDefaultCheckForUpdates, true, kQNDefaultCheckForUpdates},
        {kQNUserDefaultSSHTunnelLogVerbosity, false, kQNDefaultSSHTunnelLogVerbosity},
        {kQNUserDefaultSafetyOverride, true, false},
    };
    return table;
}

const Setting* settingNamed(const QString& key) {
    for (const Setting& setting : settings()) {
        if (setting.key == key) {
            return &setting;
        }
    }
    return nullptr;
}

// The value as the agent reads it.
QString shownValue(const Setting& setting, const QVariantMap& preferences) {
    if (setting.boolean) {
        const bool value = QNPreferenceValues::boolValue(preferences, setting.key).value_or(setting.defaultValue != 0);
        return value ? QStringLiteral("true") : QStringLiteral("false");
    }
    const qint64 value = QNPreferenceValues::integerValue(preferences, setting.key).value_or(setting.defaultValue);
    return QString::number(quint32(value));
}

std::optional<QVariant> parsedValue(const Setting& setting, const QString& text) {
    if (setting.boolean) {
        const QString lower = text.toLower();
        if (lower == QLatin1String("true") || lower == QLatin1String("yes") || lower == QLatin1String("1")) {
            return QVariant(true);
        }
        if (lower == QLatin1String("false") || lower == QLatin1String("no") || lower == QLatin1String("0")) {
            return QVariant(false);
        }
        return std::nullopt;
    }
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
    }
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!ok || value > std::numeric_limits<quint32>::max()) {
        return std::nullopt;
    }
    return QVariant(qint64(value));
}

int unknownKey(const QString& command, const QString& key) {
    QStringList keys;
    for (const Setting& setting : settings()) {
        keys << setting.key;
    }
    return usageError(command,
                      QStringLiteral("unknown key '%1' (the keys are %2)").arg(key, keys.join(QStringLiteral(", "))));
}

int runGet(const QStringList& raw) {
    const QString command = QStringLiteral("get");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kGetUsage, raw, 0, 1, &arguments, &status)) {
        return status;
    }
    const Setting* only = nullptr;
    if (!arguments.operands.isEmpty() && !(only = settingNamed(arguments.operands.first()))) {
        return unknownKey(command, arguments.operands.first());
    }
    QNPreferenceStore store;
    const QVariantMap preferences = store.loadPreferences();
    if (only) {
        printOut(shownValue(*only, preferences) + QLatin1Char('\n'));
        return kSuccess;
    }
    for (const Setting& setting : settings()) {
        printOut(QStringLiteral("%1: %2\n").arg(setting.key, shownValue(setting, preferences)));
    }
    return kSuccess;
}

int runSet(const QStringList& raw) {
    const QString command = QStringLiteral("set");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kSetUsage, raw, 2, 2, &arguments, &status)) {
        return status;
    }
    const Setting* setting = settingNamed(arguments.operands.first());
    if (!setting) {
        return unknownKey(command, arguments.operands.first());
    }
    const auto value = parsedValue(*setting, arguments.operands.at(1));
    if (!value) {
        return usageError(command, setting->boolean
                                       ? QStringLiteral("%1 takes true, false, yes, no, 1 or 0").arg(setting->key)
                                       : QStringLiteral("%1 takes a whole number from 0").arg(setting->key));
    }
    QString shown;
    const auto change = [&](QVariantMap& preferences, ChangeNotes*) {
        preferences.insert(setting->key, *value);
        shown = shownValue(*setting, preferences);
        return true;
    };
    return storeChange(
        command, change, [&] { return QStringLiteral("%1: %2\n").arg(setting->key, shown); }, kQNNotificationSettings);
}

} // namespace

QList<Command> settingsCommands() {
    return {
        {QStringLiteral("get"), QStringLiteral("get [KEY]"), QStringLiteral("Print one setting or all of them"),
         runGet},
        {QStringLiteral("set"), QStringLiteral("set KEY VALUE"), QStringLiteral("Change a setting"), runSet},
    };
}
