#include "app/QNApplication.h"

#include "app/QNActivityLog.h"
#include "app/QNAlertRecorder.h"
#include "app/QNUpdateChecker.h"
#include "fingerprint/QNFingerprint.h"
#include "kernel/QNAtomTypes.h"
#include "kernel/QNControlChannel.h"
#include "kernel/QNProfileCompiler.h"
#include "model/QNProfile.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "platform/QNSessionMonitor.h"
#include "platform/QNStatisticsService.h"
#include "platform/QNSystemServices.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "util/QNConstants.h"
#include "util/QNPreferenceValues.h"
#include "util/QNStrings.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QScopeGuard>

#include <utility>

QNApplication::QNApplication(const QNApplicationParts& parts, QObject* parent)
    : QObject(parent)
    , _parts(parts) {
    _controlChannel = std::make_unique<QNControlChannel>(_parts.controlSocketPath);
    connect(_controlChannel.get(), &QNControlChannel::statisticsChanged, this,
            &QNApplication::controlStatisticsChanged);
    connect(_controlChannel.get(), &QNControlChannel::logLine, this, &QNApplication::controlLogLine);
    connect(_controlChannel.get(), &QNControlChannel::streamError, this, &QNApplication::controlStreamError);
    connect(_controlChannel.get(), &QNControlChannel::optionError, this, &QNApplication::controlOptionError);

    // Turning the log on or off tells the engine the logging flag (option 1).
    _activityLog = std::make_unique<QNActivityLog>(_parts.logDirectoryPath,
                                                   [this] { _controlChannel->updateKEXT(kQNKernelOptionLogging); });
    _alerts =
        std::make_unique<QNAlertRecorder>(*_parts.alertPresenter, [this](const QString& text) { alertShown(text); });
    _compiler = std::make_unique<QNProfileCompiler>(*_alerts, *_parts.strings);
    _statisticsService =
        std::make_unique<QNStatisticsService>(this, _parts.statisticsBus, _parts.statisticsServiceName);
    _statusMenu = std::make_unique<QNStatusMenu>(*_parts.menu, *this, *_parts.systemServices, *_parts.strings);
    QNUpdateChecker::Parts updateParts;
    updateParts.loadPreferences = [this] {
        loadPreferences();
        return _preferences;
    };
    updateParts.savePreferenceObject = [this](const QVariant& object, const QString& key) {
        savePreferenceObject(object, key);
    };
    updateParts.alertPresenter = _parts.alertPresenter;
    updateParts.systemServices = _parts.systemServices;
    updateParts.strings = _parts.strings;
    _updateChecker = std::make_unique<QNUpdateChecker>(std::move(updateParts));

    _pendingTimer.setSingleShot(true);
    _pendingTimer.setInterval(0);
    connect(&_pendingTimer, &QTimer::timeout, this, &QNApplication::runPendingNotifications);
    _engineRetryTimer.setInterval(kQNApplicationEngineRetryMilliseconds);
    connect(&_engineRetryTimer, &QTimer::timeout, this, &QNApplication::retryEngine);
}

QNApplication::~QNApplication() {
    if (!_terminated) {
        release();
    }
    // No server may outlive its delegate.
    _stoppingTunnels = true;
    stopTunnels();
    _statusMenu.reset();
    _statisticsService.reset();
}

bool QNApplication::claimServiceName(const QDBusConnection& bus, const QString& serviceName) {
    QDBusConnectionInterface* interface = bus.isConnected() ? bus.interface() : nullptr;
    if (!interface) {
        return false;
    }
    // Not queued: a second agent must fail at once, not wait for the first one to end.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = interface->registerService(
        serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    return reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

// Start-up

void QNApplication::awakeFromNib() {
    observeNotifications();
    _parts.sessionMonitor->startObserving([this] { sessionDidBecomeActive(); }, [this] { sessionDidResignActive(); });
    QNFingerprint::init();
    QNSSHTunnelServer::init();
    _tunnelLibraryReady = true;

    loadPreferences();
    loadSettings();
    const bool safety = boolPreference(kQNUserDefaultSafety, false);
    const bool safetyOverride = boolPreference(kQNUserDefaultSafetyOverride, false);
    loadProfiles();
    openEngine();
    _retryCount = 0;
    // A "safety" marker left behind means the last run ended with a profile on: start with none,
    // unless the user asked for the profile to come back.
    const qint64 identifier = (safety && !safetyOverride) ? -1 : loadActiveProfileIdentifier();
    enableProfile(identifier, safety || safetyOverride);
    _controlChannel->updateKEXT(kQNKernelOptionLogging);
    _statisticsService->startServer();
    publishState();
}

// Preference domain

void QNApplication::loadPreferences() {
    _preferences = _parts.preferenceStore->loadPreferences();
}

void QNApplication::savePreferenceObject(const QVariant& object, const QString& key) {
    // The store re-reads, changes the one key and writes back under its lock, so the settings tool's
    // changes in between are kept; our copy is the domain as written.
    _parts.preferenceStore->savePreferenceObject(object, key);
    loadPreferences();
}

void QNApplication::removePreferenceObjectWithKey(const QString& key) {
    _parts.preferenceStore->removePreferenceObjectWithKey(key);
    loadPreferences();
}

bool QNApplication::boolPreference(const QString& key, bool defaultValue) const {
    return QNPreferenceValues::boolValue(_preferences, key).value_or(defaultValue);
}

void QNApplication::loadSettings() {
    _showInMenuBar = boolPreference(kQNUserDefaultShowInMenuBar, kQNDefaultShowInMenuBar);
    _logging = boolPreference(kQNUserDefaultEnableLogging, kQNDefaultEnableLogging);
    _checkForUpdates = boolPreference(kQNUserDefaultCheckForUpdates, kQNDefaultCheckForUpdates);
    _verbosity = quint32(QNPreferenceValues::integerValue(_preferences, kQNUserDefaultSSHTunnelLogVerbosity)
                             .value_or(kQNDefaultSSHTunnelLogVerbosity));
    // Turning the setting off also cancels a pending check.
    _updateChecker->setCheckForUpdates(_checkForUpdates, _preferences);
    // The logging flag the engine is told and the 'loge' filter follow the setting.
    _controlChannel->setLogging(_logging);
    _activityLog->enableLogging(_logging);
    _statusMenu->showInMenuBar(_showInMenuBar);
}

void QNApplication::loadProfiles() {
    _profiles.clear();
    // Only dictionaries are profiles; anything else in the list, or a "profiles" that is no list, is passed over.
    for (const QVariantMap& settings : QNPreferenceValues::profileDictionaries(_preferences)) {
        _profiles.append(QNProfile::profileWithSettings(settings));
    }
}

qint64 QNApplication::loadActiveProfileIdentifier() const {
    const auto identifier = QNPreferenceValues::integerValue(_preferences, kQNUserDefaultActiveProfileIdentifier);
    return identifier && profileWithIdentifier(*identifier) ? *identifier : -1;
}

std::shared_ptr<QNProfile> QNApplication::profileWithIdentifier(qint64 identifier) const {
    for (const std::shared_ptr<QNProfile>& profile : _profiles) {
        if (qint64(profile->identifier()) == identifier) {
            return profile;
        }
    }
    return nullptr;
}

// Switching a profile on or off

void QNApplication::enableProfile(qint64 identifier, bool notify) {
    // An alert shown on the way runs a nested event loop; notification work that comes due meanwhile waits
    // until this call is over.
    ++_enablingProfile;
    const auto finished = qScopeGuard([this] {
        if (--_enablingProfile == 0) {
            scheduleDeferredWork();
        }
    });
    _displayedError = false;
    const bool wasConnected = _engineConnected;
    QByteArray stream;
    bool failed = false;
    if (identifier == -1) {
        updateTunnels(-1);
        removePreferenceObjectWithKey(kQNUserDefaultSafety);
        _activeProfileIdentifier = -1;
    } else {
        // The tunnels come first: each SSH-tunnel proxy must hold its listener's port when it is compiled.
        updateTunnels(identifier);
        const std::shared_ptr<QNProfile> profile = profileWithIdentifier(identifier);
        // A null profile compiles to nothing, without an alert.
        const std::optional<QByteArray> data = _compiler->profileData(profile.get());
        if (data) {
            stream = *data;
            savePreferenceObject(true, kQNUserDefaultSafety);
            openEngine();
            _activeProfileIdentifier = identifier;
        } else {
            _activeProfileIdentifier = -1;
            updateTunnels(-1);
            if (_logging) {
                _activityLog->appendApplicationLogString(QStringLiteral("error enabling proxy"), false);
            }
            failed = true;
        }
    }
    // A failed switch is always recorded and announced, so the settings tool's display follows.
    if (notify || failed) {
        savePreferenceObject(qint64(_activeProfileIdentifier), kQNUserDefaultActiveProfileIdentifier);
        postNotification(kQNNotificationActiveProfileIdentifier);
    }
    _statusMenu->setDirty();
    clearDNSCache();
    _statusMenu->updateStatusItem();
    _controlChannel->resetStatistics();
    _controlChannel->updateKEXT(kQNKernelOptionProfile, stream);
    _profileStream = stream;
    // An engine that came back on the way here has not had the logging flag yet.
    if (!wasConnected && _engineConnected) {
        _controlChannel->updateKEXT(kQNKernelOptionLogging);
    }
    ++_activations;
    publishState();
}

// Notifications

void QNApplication::observeNotifications() {
    if (!_observerTokens.isEmpty()) {
        return;
    }
    // Only the settings tool's notifications: the agent never hears its own.
    const QList<QPair<QString, void (QNApplication::*)()>> observed = {
        {kQNNotificationActiveProfileIdentifier, &QNApplication::activeProfileIdentifierNotification},
        {kQNNotificationProfiles, &QNApplication::profilesNotification},
        {kQNNotificationSettings, &QNApplication::settingsNotification},
        {kQNNotificationTerminate, &QNApplication::terminateNotification},
    };
    for (const auto& [name, handler] : observed) {
        const int token = _parts.notificationCenter->addObserver(
            [this, handler = handler](const QString&, const QString&) { (this->*handler)(); }, name,
            kQNNotificationIdentifierPreferencePane);
        if (token != 0) {
            _observerTokens.append(token);
        }
    }
}

void QNApplication::stopObservingNotifications() {
    for (int token : std::as_const(_observerTokens)) {
        _parts.notificationCenter->removeObserver(token);
    }
    _observerTokens.clear();
    _pending = {};
    _pendingTimer.stop();
    _parts.sessionMonitor->stopObserving();
}

void QNApplication::postNotification(const QString& name) {
    _parts.notificationCenter->postNotificationName(name, kQNNotificationIdentifierApplication);
}

void QNApplication::activeProfileIdentifierNotification() {
    _pending.activeProfileIdentifier = true;
    _pendingTimer.start();
}

void QNApplication::profilesNotification() {
    _pending.profiles = true;
    _pendingTimer.start();
}

void QNApplication::settingsNotification() {
    _pending.settings = true;
    _pendingTimer.start();
}

void QNApplication::scheduleDeferredWork() {
    if (_pending.any() || !_pendingTunnelErrors.isEmpty()) {
        _pendingTimer.start();
    }
}

void QNApplication::runPendingNotifications() {
    if (busy()) {
        // What keeps us busy schedules the work again when it is over.
        return;
    }
    const PendingNotifications pending = std::exchange(_pending, {});
    reloadPreferences(pending);
    if (pending.profiles || pending.activeProfileIdentifier) {
        _retryCount = 0;
        // Recompiled from the current definitions even when the active identifier did not change.
        enableProfile(loadActiveProfileIdentifier(), false);
    }
    // After the notifications: a switch they caused has replaced the tunnels whose errors wait here.
    runPendingTunnelErrors();
}

void QNApplication::reloadPreferences(const PendingNotifications& pending) {
    if (!pending.any()) {
        return;
    }
    loadPreferences();
    if (pending.settings) {
        loadSettings();
    }
    if (pending.profiles) {
        loadProfiles();
        _statusMenu->setRebuildProfiles();
    }
}

void QNApplication::terminateNotification() {
    // Work still waiting is settled as if it had run first, except that no profile is switched on only to be
    // switched off below.
    reloadPreferences(std::exchange(_pending, {}));
    _pendingTimer.stop();
    _statusMenu->showInMenuBar(false);
    enableProfile(-1, true);
    closeEngine();
    // Failures and a cancelled password prompt are not reported; completion is announced in any case.
    _parts.systemServices->runUninstallScript();
    postNotification(kQNNotificationTerminateComplete);
}

// Login-session switching: the engine serves the whole machine, so an agent whose session is switched
// away lets go of it.

void QNApplication::sessionDidResignActive() {
    loadPreferences();
    const bool safetyOverride = boolPreference(kQNUserDefaultSafetyOverride, false);
    _statusMenu->showInMenuBar(false);
    if (safetyOverride) {
        // Keep the stored choice so that the profile comes back with the session.
        const qint64 remembered =
            QNPreferenceValues::integerValue(_preferences, kQNUserDefaultActiveProfileIdentifier).value_or(0);
        enableProfile(-1, true);
        savePreferenceObject(remembered, kQNUserDefaultActiveProfileIdentifier);
    } else {
        enableProfile(-1, true);
    }
    closeEngine();
}

void QNApplication::sessionDidBecomeActive() {
    _statusMenu->showInMenuBar(_showInMenuBar);
    openEngine();
    loadPreferences();
    if (boolPreference(kQNUserDefaultSafetyOverride, false)) {
        enableProfile(loadActiveProfileIdentifier(), true);
    }
}

// DNS flush and shutdown

void QNApplication::clearDNSCache() {
    _parts.systemServices->clearDNSCache();
}

void QNApplication::applicationShouldTerminate() {
    if (_terminated) {
        return;
    }
    _terminated = true;
    _statisticsService->stopServer();
    stopObservingNotifications();
    _updateChecker->stop();
    // Not recorded: the profile active at quit comes back at the next start, while "safety" goes.
    enableProfile(-1, false);
    closeEngine();
    _statusMenu->showInMenuBar(false);
    _activityLog->enableLogging(false);
    destroyTunnelLibrary();
    QNFingerprint::destroy();
    if (_parts.quitEventLoop) {
        _parts.quitEventLoop();
    }
}

void QNApplication::release() {
    _stoppingTunnels = true;
    stopTunnels();
    stopObservingNotifications();
    closeEngine();
    enableProfile(-1, false);
    _activityLog->enableLogging(false);
    _statisticsService->stopServer();
    destroyTunnelLibrary();
}

void QNApplication::logPlatformMessage(const QString& line) {
    if (_logging) {
        _activityLog->appendApplicationLogString(line, false);
    }
}

// The status menu's view of the controller

qint32 QNApplication::connections() const {
    return _controlChannel->connections();
}

quint64 QNApplication::dataSent() const {
    return _controlChannel->dataSent();
}

quint64 QNApplication::dataReceived() const {
    return _controlChannel->dataReceived();
}

void QNApplication::profileChosen(qint64 identifier) {
    _retryCount = 0;
    enableProfile(identifier, true);
}

void QNApplication::quitChosen() {
    applicationShouldTerminate();
}

bool QNApplication::statisticsWithConnections(qint32* connections, quint64* dataSent, quint64* dataReceived) {
    if (connections) {
        *connections = _controlChannel->connections();
    }
    if (dataSent) {
        *dataSent = _controlChannel->dataSent();
    }
    if (dataReceived) {
        *dataReceived = _controlChannel->dataReceived();
    }
    return true;
}

// The control channel's reports

void QNApplication::controlStatisticsChanged(quint32 messageType) {
    switch (messageType) {
    case kQNAtomTypeConnections:
        _statusMenu->statisticsChanged(QNStatusMenu::TagConnections);
        break;
    case kQNAtomTypeDataSent:
        _statusMenu->statisticsChanged(QNStatusMenu::TagSent);
        break;
    case kQNAtomTypeDataReceived:
        _statusMenu->statisticsChanged(QNStatusMenu::TagReceived);
        break;
    default:
        break;
    }
}

void QNApplication::controlLogLine(const QString& text) {
    if (_logging) {
        _activityLog->appendLogString(text);
    }
}

void QNApplication::controlStreamError() {
    if (_logging) {
        _activityLog->appendApplicationLogString(QStringLiteral("control stream error"), false);
    }
    // The engine went away or broke the stream: start afresh with a new connection.
    _controlChannel->enableControlSocket(false);
    engineConnectionChanged();
}

void QNApplication::controlOptionError(quint32 option) {
    if (_logging) {
        _activityLog->appendApplicationLogString(QStringLiteral("proxy option error (%1)").arg(option), false);
    }
    engineConnectionChanged();
}
