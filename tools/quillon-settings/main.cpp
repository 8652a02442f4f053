// quillon-settings: the window to edit Quillon's profiles and settings.

#include "QNSettingsWindow.h"
#include "QNSingleInstance.h"
#include "fingerprint/QNFingerprint.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "settings/QNSettingsSession.h"
#include "settings/QNSettingsStrings.h"
#include "settings/QNStatisticsReader.h"

#include <QApplication>
#include <QDBusConnection>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillon-settings"));
    QApplication::setApplicationDisplayName(QNSettingsStrings::text("windowTitle"));
    QApplication::setDesktopFileName(QStringLiteral("quillon-settings"));

    QNSingleInstance instance(QNSingleInstance::defaultSocketPath());
    if (instance.askRunningInstance()) {
        return 0;
    }
    if (!instance.listen()) {
        std::fprintf(stderr, "quillon-settings: cannot listen on %s; a second start will open a second window\n",
                     qPrintable(QNSingleInstance::defaultSocketPath()));
    }

    QNFingerprint::init();
    QNPreferenceStore store;
    QNNotificationCenter center;
    QNSettingsSession session(store, center.isConnected() ? &center : nullptr);
    session.reload();
    session.watch();
    QNStatisticsReader reader(QDBusConnection::sessionBus());
    QNSettingsWindow window(session, &reader);
    QObject::connect(&instance, &QNSingleInstance::raiseRequested, &window, &QNSettingsWindow::raiseWindow);
    window.show();
    const int status = application.exec();
    QNFingerprint::destroy();
    return status;
}
