// quillonctl, the settings tool: keeps profiles and settings in the preference file, tells a running agent
// about changes, and moves profiles in and out as XML documents.

#include "AgentCommands.h"
#include "CommandSupport.h"
#include "EditCommand.h"
#include "ProfileCommands.h"
#include "SettingsCommands.h"
#include "TransferCommands.h"

#ifdef QUILLONCTL_HAS_FINGERPRINT
#include "FingerprintCommand.h"
#endif
#ifdef QUILLONCTL_HAS_STATS
#include "StatsCommand.h"
#endif

#include <QCoreApplication>

using namespace ctl;

namespace {

// The dispatch table, in the order the help lists it.
QList<Command> commandTable() {
    QList<Command> commands = profileCommands();
    commands += transferCommands();
    commands += settingsCommands();
    commands.append({QStringLiteral("edit"), QStringLiteral("edit PROFILE [--force]"),
                     QStringLiteral("Edit a profile's XML document in $VISUAL or $EDITOR"), runEditCommand});
    commands.append({QStringLiteral("status"), QStringLiteral("status"),
                     QStringLiteral("Show the running agent's state and whether the engine is reachable"),
                     runStatusCommand});
#ifdef QUILLONCTL_HAS_STATS
    commands.append({QStringLiteral("stats"), QStringLiteral("stats [--watch]"),
                     QStringLiteral("Show the running agent's live statistics"), runStatsCommand});
#endif
#ifdef QUILLONCTL_HAS_FINGERPRINT
    commands.append({QStringLiteral("fingerprint"), QStringLiteral("fingerprint FILE [OPTIONS]"),
                     QStringLiteral("Print the MD5 fingerprint of an SSH key file"), runFingerprintCommand});
#endif
    return commands;
}

QString overview(const QList<Command>& commands) {
    qsizetype width = 0;
    for (const Command& command : commands) {
        width = qMax(width, command.synopsis.size());
    }
    QString text =
        QStringLiteral("Usage: quillonctl COMMAND [ARGUMENTS]\n"
                       "\n"
                       "Keeps Quillon's profiles and settings in the preference file\n"
                       "($XDG_CONFIG_HOME/quillon/com.fernhollowsoftware.quillon.plist) and tells a running\n"
                       "agent about every change. PROFILE is a profile's identifier or its exact name.\n"
                       "\n"
                       "Commands:\n");
    for (const Command& command : commands) {
        text += QStringLiteral("  %1  %2\n").arg(command.synopsis.leftJustified(width), command.summary);
    }
    text += QStringLiteral("\n"
                           "Options:\n"
                           "  -h, --help     Show this help; 'quillonctl COMMAND --help' explains one command.\n"
                           "  --version      Show the version.\n"
                           "\n"
                           "Exit status: 0 done, 1 failed, 2 wrong usage.\n");
    return text;
}

const Command* commandNamed(const QList<Command>& commands, const QString& name) {
    for (const Command& command : commands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillonctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));

    const QList<Command> commands = commandTable();
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty()) {
        return usageError(QString(), QStringLiteral("no command given"));
    }
    const QString& first = arguments.first();
    if (first == QLatin1String("-h") || first == QLatin1String("--help") ||
        (first == QLatin1String("help") && arguments.size() == 1)) {
        printOut(overview(commands));
        return kSuccess;
    }
    if (first == QLatin1String("--version")) {
        printOut(QStringLiteral("quillonctl %1\n").arg(QCoreApplication::applicationVersion()));
        return kSuccess;
    }
    if (first == QLatin1String("help")) {
        const Command* command = commandNamed(commands, arguments.at(1));
        if (!command || arguments.size() > 2) {
            return usageError(QString(),
                              QStringLiteral("unknown command '%1'").arg(arguments.mid(1).join(QLatin1Char(' '))));
        }
        return command->run({QStringLiteral("--help")});
    }
    const Command* command = commandNamed(commands, first);
    if (!command) {
        return usageError(QString(), QStringLiteral("unknown command '%1'").arg(first));
    }
    return command->run(arguments.mid(1));
}
