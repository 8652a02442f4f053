// The agent's connection to the engine: noticing it come and go, trying again while it is away, and what
// the agent offers about its state on the bus.

#include "app/QNApplication.h"

#include "app/QNActivityLog.h"
#include "app/QNStatusMenu.h"
#include "kernel/QNControlChannel.h"
#include "model/QNProfile.h"
#include "platform/QNAgentState.h"
#include "platform/QNStatisticsService.h"
#include "util/QNConstants.h"

void QNApplication::openEngine() {
    _engineWanted = true;
    _controlChannel->enableControlSocket(true);
    engineConnectionChanged();
}

void QNApplication::closeEngine() {
    const bool shownMissing = !engineConnected();
    _engineWanted = false;
    _controlChannel->enableControlSocket(false);
    engineConnectionChanged();
    // Let go on purpose: no longer shown as missing.
    if (shownMissing) {
        _statusMenu->engineChanged();
    }
}

void QNApplication::engineConnectionChanged() {
    const bool connected = _controlChannel->isControlSocketOpen() && _controlChannel->isReading();
    if (!connected && _engineWanted) {
        if (!_engineRetryTimer.isActive()) {
            _engineRetryTimer.start();
        }
    } else {
        _engineRetryTimer.stop();
    }
    if (connected == _engineConnected) {
        return;
    }
    _engineConnected = connected;
    if (_logging && _engineWanted) {
        _activityLog->appendApplicationLogString(
            connected ? QStringLiteral("engine connected") : QStringLiteral("engine not reachable"), false);
    }
    _statusMenu->engineChanged();
    publishState();
}

void QNApplication::retryEngine() {
    if (!_engineWanted || _terminated) {
        _engineRetryTimer.stop();
        return;
    }
    _controlChannel->enableControlSocket(true);
    if (_controlChannel->isControlSocketOpen()) {
        // A new engine knows nothing yet: the profile last handed over, then the logging flag, as at start-up.
        _controlChannel->resetStatistics();
        _controlChannel->updateKEXT(kQNKernelOptionProfile, _profileStream);
        _controlChannel->updateKEXT(kQNKernelOptionLogging);
    }
    engineConnectionChanged();
}

void QNApplication::publishState() {
    QNAgentState state;
    state.activeProfileIdentifier = _activeProfileIdentifier;
    if (const auto profile =
            _activeProfileIdentifier == -1 ? nullptr : profileWithIdentifier(_activeProfileIdentifier)) {
        state.activeProfileName = profile->name();
    }
    state.engineConnected = _engineConnected;
    state.lastAlert = _lastAlert;
    state.alerts = _alertCount;
    state.activations = _activations;
    _statisticsService->setState(state);
}

void QNApplication::alertShown(const QString& text) {
    _lastAlert = text;
    ++_alertCount;
    publishState();
}
