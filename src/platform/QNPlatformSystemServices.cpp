#include "platform/QNPlatformSystemServices.h"

#include "platform/QNDesktopNotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>

namespace {

// resolvectl answers at once when systemd-resolved is up; a hung one must not freeze the agent for good.
constexpr int kDNSFlushTimeoutMilliseconds = 30000;

} // namespace

QNPlatformSystemServices::QNPlatformSystemServices(const QString& uninstallScriptPath,
                                                   const QString& settingsFolderPath)
    : _uninstallScriptPath(uninstallScriptPath)
    , _settingsFolderPath(settingsFolderPath) {}

void QNPlatformSystemServices::clearDNSCache() {
    const QString resolvectl = QStandardPaths::findExecutable(QStringLiteral("resolvectl"));
    if (resolvectl.isEmpty()) {
        return;
    }
    runAndWait(resolvectl, {QStringLiteral("flush-caches")}, kDNSFlushTimeoutMilliseconds);
}

void QNPlatformSystemServices::runUninstallScript() {
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        return;
    }
    // No limit: the user is typing an administrator's password.
    runAndWait(pkexec, {_uninstallScriptPath}, -1);
}

bool QNPlatformSystemServices::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

void QNPlatformSystemServices::openSettingsTool() {
    // The settings window, installed beside the agent or found on PATH; it raises a window already open.
    const QString besideAgent = QCoreApplication::applicationDirPath() + QStringLiteral("/quillon-settings");
    const QString window = QFileInfo(besideAgent).isExecutable()
                               ? besideAgent
                               : QStandardPaths::findExecutable(QStringLiteral("quillon-settings"));
    if (!window.isEmpty() && QProcess::startDetached(window, {})) {
        return;
    }
    const QString terminal = QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
    if (!terminal.isEmpty() &&
        QProcess::startDetached(terminal, {QStringLiteral("-e"), QStringLiteral("quillonctl")})) {
        return;
    }
    // The folder holds passwords: made private when it does not exist yet, like the preference store does.
    if (!QDir(_settingsFolderPath).exists()) {
        QDir().mkdir(_settingsFolderPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(_settingsFolderPath));
}

void QNPlatformSystemServices::notifyUser(const QString& summary, const QString& body) {
    std::fprintf(stderr, "quillon: %s\n", body.toLocal8Bit().constData());
    QNDesktopNotifier(QDBusConnection::sessionBus()).notify(summary, body);
}

bool QNPlatformSystemServices::runAndWait(const QString& program, const QStringList& arguments,
                                          int timeoutMilliseconds) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted()) {
        return false;
    }
    if (!process.waitForFinished(timeoutMilliseconds)) {
        process.kill();
        process.waitForFinished();
    }
    return true;
}
