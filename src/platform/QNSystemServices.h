#pragma once

#include <QString>

class QUrl;

// The few things the agent asks of the desktop and the system: each blocks no longer than it says.
class QNSystemServices {
public:
    virtual ~QNSystemServices() = default;

    // Flushes the system's DNS cache and returns when that is done; the outcome is not looked at.
    virtual void clearDNSCache() = 0;
    // Runs the uninstall script with administrator rights and returns when it is done (the user may be
    // asked for a password); the outcome is not looked at.
    virtual void runUninstallScript() = 0;
    // Opens an address with the user's default application.
    virtual bool openUrl(const QUrl& url) = 0;
    // Opens the settings tool.
    virtual void openSettingsTool() = 0;
    // Tells the user something worth knowing but asking nothing, in passing (not modal).
    virtual void notifyUser(const QString& summary, const QString& body) {
        Q_UNUSED(summary);
        Q_UNUSED(body);
    }
};
