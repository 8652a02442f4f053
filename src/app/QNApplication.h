#pragma once

#include "app/QNStatusMenu.h"
#include "platform/QNStatisticsProtocol.h"
#include "tunnel/QNSSHTunnelServerDelegate.h"

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>

class QNActivityLog;
class QNAlertPresenter;
class QNAlertRecorder;
class QNControlChannel;
class QNMenuInterface;
class QNNotificationCenter;
class QNPreferenceStore;
class QNProfile;
class QNProfileCompiler;
class QNSSHTunnelServer;
class QNSessionMonitor;
class QNStatisticsService;
class QNStrings;
class QNSystemServices;
class QNUpdateChecker;

// Everything the controller works with but does not make itself, so tests can put fakes in its place.
// The collaborators must outlive the controller.
struct QNApplicationParts {
    QNPreferenceStore* preferenceStore = nullptr;
    QNNotificationCenter* notificationCenter = nullptr;
    QNSessionMonitor* sessionMonitor = nullptr;
    QNSystemServices* systemServices = nullptr;
    QNAlertPresenter* alertPresenter = nullptr;
    QNMenuInterface* menu = nullptr;
    const QNStrings* strings = nullptr;
    // The engine's control socket.
    QString controlSocketPath;
    // Folder of the activity log; empty means the platform gives none.
    QString logDirectoryPath;
    // Where the statistics service is offered, under which name.
    QDBusConnection statisticsBus = QDBusConnection(QString());
    QString statisticsServiceName;
    // Asks the event loop to end; called once the orderly quit is done.
    std::function<void()> quitEventLoop;
};

// The agent's single controller: start-up, the preference domain shared with the settings tool, the
// notifications the two exchange, the list of profiles, the one path that switches a profile on or off,
// login-session switching, the SSH tunnels of the active profile and shutdown. The status menu, the activity
// log, the control channel with its statistics and the profile compiler are parts it owns; everything runs on
// the main thread.
class QNApplication : public QObject,
                      public QNStatusMenuOwner,
                      public QNStatisticsProtocol,
                      public QNSSHTunnelServerDelegate {
    Q_OBJECT

public:
    explicit QNApplication(const QNApplicationParts& parts, QObject* parent = nullptr);
    // The release: switches off without recording it, unless the orderly quit already ran.
    ~QNApplication() override;

    // Takes the statistics service's bus name, which keeps the agent single-instance. Done before
    // anything else is touched; false when the bus cannot be reached or another agent owns the name.
    static bool claimServiceName(const QDBusConnection& bus, const QString& serviceName);

    // The start-up sequence.
    void awakeFromNib();

    // Preference domain, always read and written whole.
    void loadPreferences();
    void savePreferenceObject(const QVariant& object, const QString& key);
    void removePreferenceObjectWithKey(const QString& key);
    const QVariantMap& preferences() const { return _preferences; }

    void loadSettings();
    void loadProfiles();
    qint64 loadActiveProfileIdentifier() const;
    std::shared_ptr<QNProfile> profileWithIdentifier(qint64 identifier) const;
    // The only way the active profile changes.
    void enableProfile(qint64 identifier, bool notify);

    // SSH tunnels: stops every tunnel, then starts one for each SSH-tunnel proxy of the profile (-1: none) and
    // stores its listener's port in the proxy, so that the profile compiled next tells the engine about it.
    void updateTunnels(qint64 identifier);

    // QNSSHTunnelServerDelegate: a failure restarts the tunnels once; the next one is shown and switches the
    // profile off unless "safetyOverride" is set. A success in between starts the count again.
    void sshTunnelServerConnected(QNSSHTunnelServer* server) override;
    void sshTunnelServerError(QNSSHTunnelServer* server, const QString& error) override;
    void sshTunnelServerLog(QNSSHTunnelServer* server, const QString& log) override;

    // Notifications from the settings tool. All but "terminate" only record what is to be reloaded; the reload
    // runs once the event loop is idle (and never inside an enableProfile or a tunnel failure in progress), so
    // a burst of notifications costs one reload. Reloading the profiles includes what the active identifier
    // asks for.
    void activeProfileIdentifierNotification();
    void profilesNotification();
    void settingsNotification();
    void terminateNotification();

    // Login-session switching.
    void sessionDidBecomeActive();
    void sessionDidResignActive();

    // Flushes the system's DNS cache; once per enableProfile.
    void clearDNSCache();
    // The orderly quit, for the menu's quit and for SIGTERM, SIGINT and SIGHUP. Runs once.
    void applicationShouldTerminate();
    bool terminated() const { return _terminated; }

    // What a platform service reports on its own (an alert that could not be shown, a damaged preference
    // file) goes to the activity log while logging is on.
    void logPlatformMessage(const QString& line);

    // QNStatusMenuOwner
    qint64 activeProfileIdentifier() const override { return _activeProfileIdentifier; }
    const QList<std::shared_ptr<QNProfile>>& profiles() const override { return _profiles; }
    qint32 connections() const override;
    quint64 dataSent() const override;
    quint64 dataReceived() const override;
    // The control socket is open and read. While it is not (and the agent wants it), the agent tries again
    // every few seconds and, once it is back, sends the engine the last profile stream and the logging flag.
    // For the menu: missing only while the agent wants the engine (not when it let go on purpose).
    bool engineConnected() const override { return _engineConnected || !_engineWanted; }
    void profileChosen(qint64 identifier) override;
    void quitChosen() override;

    // QNStatisticsProtocol
    bool statisticsWithConnections(qint32* connections, quint64* dataSent, quint64* dataReceived) override;

    // Settings as last loaded.
    bool showInMenuBarSetting() const { return _showInMenuBar; }
    bool logging() const { return _logging; }
    bool checkForUpdates() const { return _checkForUpdates; }
    quint32 verbosity() const { return _verbosity; }
    quint32 retryCount() const { return _retryCount; }
    const std::shared_ptr<QNSSHTunnelServer>& sshServer() const { return _sshServer; }
    bool stoppingTunnels() const { return _stoppingTunnels; }

    QNStatusMenu& statusMenu() { return *_statusMenu; }
    QNActivityLog& activityLog() { return *_activityLog; }
    QNControlChannel& controlChannel() { return *_controlChannel; }
    QNStatisticsService& statisticsService() { return *_statisticsService; }
    QNUpdateChecker& updateChecker() { return *_updateChecker; }

private:
    void observeNotifications();
    void stopObservingNotifications();
    void postNotification(const QString& name);
    // What the settings tool's notifications asked for and is not done yet.
    struct PendingNotifications {
        bool settings = false;
        bool profiles = false;
        bool activeProfileIdentifier = false;
        bool any() const { return settings || profiles || activeProfileIdentifier; }
    };
    // Work that waits while an enableProfile or a tunnel failure is in progress: both may run a nested event
    // loop (a modal alert) in which more arrives.
    bool busy() const { return _enablingProfile > 0 || _handlingTunnelError; }
    void scheduleDeferredWork();
    void runPendingNotifications();
    // Reads the domain again and applies the settings and the profile list as far as asked for.
    void reloadPreferences(const PendingNotifications& pending);
    struct PendingTunnelError {
        std::weak_ptr<QNSSHTunnelServer> server;
        QString error;
    };
    bool isCurrentServer(const QNSSHTunnelServer* server) const;
    void stopTunnels();
    void tunnelFailed(const QString& error);
    void runPendingTunnelErrors();
    void logTunnelText(const QString& text);
    void controlStatisticsChanged(quint32 messageType);
    void controlLogLine(const QString& text);
    void controlStreamError();
    void controlOptionError(quint32 option);
    // The engine connection: opening and closing on purpose, noticing it come and go, trying again.
    void openEngine();
    void closeEngine();
    void engineConnectionChanged();
    void retryEngine();
    // Offers what others may want to know on the bus.
    void publishState();
    void alertShown(const QString& text);
    void release();
    // Shuts the SSH library down once, after the last tunnel has stopped.
    void destroyTunnelLibrary();
    bool boolPreference(const QString& key, bool defaultValue) const;

    QNApplicationParts _parts;

    QList<std::shared_ptr<QNProfile>> _profiles;
    qint64 _activeProfileIdentifier = -1;
    bool _showInMenuBar = false;
    bool _logging = false;
    bool _checkForUpdates = false;
    QVariantMap _preferences;
    bool _displayedError = false;
    quint32 _verbosity = 0;
    quint32 _retryCount = 0;
    QList<int> _observerTokens;
    bool _terminated = false;

    PendingNotifications _pending;
    QTimer _pendingTimer;
    // enableProfile calls in progress: more than one only through a nested event loop (a modal alert).
    int _enablingProfile = 0;

    std::shared_ptr<QNSSHTunnelServer> _sshServer;
    // Set while no started server is ours to hear from: its errors are ignored.
    bool _stoppingTunnels = true;
    // A tunnel failure is being handled; it may be showing its alert.
    bool _handlingTunnelError = false;
    QList<PendingTunnelError> _pendingTunnelErrors;
    // Between the SSH library's set-up at start-up and its tear-down at quit or release.
    bool _tunnelLibraryReady = false;

    bool _engineConnected = false;
    // Set while the agent means to be connected: not at quit, uninstall or while the session is switched away.
    bool _engineWanted = false;
    QTimer _engineRetryTimer;
    // The last profile stream handed to the engine, sent again when it comes back.
    QByteArray _profileStream;
    QString _lastAlert;
    quint32 _alertCount = 0;
    quint32 _activations = 0;

    std::unique_ptr<QNAlertRecorder> _alerts;
    std::unique_ptr<QNControlChannel> _controlChannel;
    std::unique_ptr<QNActivityLog> _activityLog;
    std::unique_ptr<QNProfileCompiler> _compiler;
    std::unique_ptr<QNStatisticsService> _statisticsService;
    std::unique_ptr<QNStatusMenu> _statusMenu;
    std::unique_ptr<QNUpdateChecker> _updateChecker;
};
