// quillon, the agent: a tray icon with the profile switcher, the control channel to the traffic engine,
// the SSH tunnels of the active profile, the activity log. Everything it does is driven by the preference
// file and the settings tool.

#include "app/QNActivityLog.h"
#include "app/QNApplication.h"
#include "app/QNTrayMenu.h"
#include "kernel/QNControlChannel.h"
#include "platform/QNAgentLock.h"
#include "platform/QNLogindSessionMonitor.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPlatformAlertPresenter.h"
#include "platform/QNPlatformSystemServices.h"
#include "platform/QNPreferenceStore.h"
#include "platform/QNSignalHandler.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

namespace {

const char* const kUsage = "Usage: quillon [--help] [--version]\n"
                           "\n"
                           "The Quillon agent: shows the active profile in the system tray, hands it to the traffic\n"
                           "engine, runs the SSH tunnels its proxies need and keeps the activity log. It takes its\n"
                           "settings from the preference file ($XDG_CONFIG_HOME/quillon), which quillonctl edits;\n"
                           "run one agent per user session.\n"
                           "\n"
                           "Environment:\n"
                           "  QUILLON_CONTROL_SOCKET  the engine's control socket (default /run/quillon/control.sock)\n"
                           "  QUILLON_UPDATE_BASE_URL http://host:port that the weekly update check asks instead of\n"
                           "                          the maker's site (test rigs)\n"
                           "\n"
                           "Options:\n"
                           "  --help     show this text and exit\n"
                           "  --version  show the version and exit\n";

// Answers --help and --version before anything starts. Returns the exit status, or -1 to go on.
int handleArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quillon %s\n", QUILLON_VERSION);
            return 0;
        }
        std::fprintf(stderr, "quillon: unknown argument '%s'\n%s", argv[i], kUsage);
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (const int status = handleArguments(argc, argv); status >= 0) {
        return status;
    }
    // One agent per user, whatever its session bus: taken before anything is touched.
    QNAgentLock agentLock;
    const QString lockDirectory = QNAgentLock::defaultDirectoryPath();
    QString lockMessage;
    switch (agentLock.acquire(lockDirectory, &lockMessage)) {
    case QNAgentLock::Result::Acquired:
        break;
    case QNAgentLock::Result::HeldByAnother:
        std::fprintf(stderr, "quillon: another Quillon agent is already running for this user%s; this one exits\n",
                     lockMessage.isEmpty() ? "" : qPrintable(QStringLiteral(" (%1)").arg(lockMessage)));
        return 1;
    case QNAgentLock::Result::Failed:
        std::fprintf(stderr, "quillon: cannot make sure no other agent runs: %s\n", qPrintable(lockMessage));
        return 1;
    }
    // Qt wants a runtime folder too; without XDG_RUNTIME_DIR it gets the private one just checked.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(lockDirectory));
    }

    // No display at all: run headless instead of failing to connect to one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillon"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));
    // The agent has no windows; closing an alert must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // Single instance: the name is taken before the preference file, the socket or the log is touched.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "quillon: cannot reach the D-Bus session bus: %s\n",
                     bus.lastError().message().toLocal8Bit().constData());
        return 1;
    }
    if (!QNApplication::claimServiceName(bus, kQNApplicationServerName)) {
        std::fprintf(stderr, "quillon: another Quillon agent is already running in this session (%s is taken)\n",
                     kQNApplicationServerName.toLocal8Bit().constData());
        return 1;
    }

    QNPreferenceStore preferenceStore;
    QNNotificationCenter notificationCenter(bus);
    QNLogindSessionMonitor sessionMonitor;
    // Found beside the installed binary (PREFIX/bin/quillon, PREFIX/share/quillon/uninstall.sh), so
    // a package and a 'cmake --install' elsewhere agree.
    const QString uninstallScript =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/quillon/uninstall.sh"));
    QNPlatformSystemServices systemServices(uninstallScript, QFileInfo(preferenceStore.filePath()).absolutePath());
    QNPlatformAlertPresenter alertPresenter;
    QNTrayMenu trayMenu;

    QNApplicationParts parts;
    parts.preferenceStore = &preferenceStore;
    parts.notificationCenter = &notificationCenter;
    parts.sessionMonitor = &sessionMonitor;
    parts.systemServices = &systemServices;
    parts.alertPresenter = &alertPresenter;
    parts.menu = &trayMenu;
    parts.strings = &QNStrings::mainBundle();
    parts.controlSocketPath = QNControlChannel::controlSocketPath();
    parts.logDirectoryPath = QNActivityLog::defaultDirectoryPath();
    parts.statisticsBus = bus;
    parts.statisticsServiceName = kQNApplicationServerName;
    parts.quitEventLoop = [] { QCoreApplication::quit(); };

    QNApplication controller(parts);
    alertPresenter.setLogSink([&controller](const QString& line) { controller.logPlatformMessage(line); });
    preferenceStore.setReporter([&controller](const QString& message) { controller.logPlatformMessage(message); });

    // A logout or kill runs the same orderly quit as the menu, so no "safety" marker is left behind.
    QNSignalHandler signalHandler;
    QObject::connect(&signalHandler, &QNSignalHandler::signalReceived, &controller,
                     [&controller](int) { controller.applicationShouldTerminate(); });

    // Whatever else ends the event loop (a session manager, say) still gets the orderly quit; it runs once.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &controller,
                     [&controller] { controller.applicationShouldTerminate(); });

    controller.awakeFromNib();
    return QApplication::exec();
}
