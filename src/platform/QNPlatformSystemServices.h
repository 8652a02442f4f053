#pragma once

#include "platform/QNSystemServices.h"

#include <QString>
#include <QStringList>

// The system services on a Linux desktop: systemd-resolved for the DNS flush, polkit for the uninstall
// step, xdg-open for addresses, and the settings window (or, without it, quillonctl in a terminal emulator). Programs
// are looked up on PATH when used, so a missing one simply means the step does nothing.
class QNPlatformSystemServices : public QNSystemServices {
public:
    // uninstallScriptPath: <prefix>/share/quillon/uninstall.sh of this installation;
    // settingsFolderPath: the folder of the preference file, shown when no terminal emulator is found.
    QNPlatformSystemServices(const QString& uninstallScriptPath, const QString& settingsFolderPath);

    void clearDNSCache() override;
    void runUninstallScript() override;
    bool openUrl(const QUrl& url) override;
    void openSettingsTool() override;
    // A line on standard error and, when a notification server runs, a desktop notification.
    void notifyUser(const QString& summary, const QString& body) override;

    // Runs a program to its end, its input and output discarded; false when it could not be started.
    // timeoutMilliseconds < 0 waits without limit; a program still running after the limit is killed.
    static bool runAndWait(const QString& program, const QStringList& arguments, int timeoutMilliseconds);

private:
    QString _uninstallScriptPath;
    QString _settingsFolderPath;
};
