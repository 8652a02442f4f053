#pragma once

#include <functional>

// Tells the agent when the user's login session is switched away and back (fast user switching): the
// engine serves the whole machine, so an agent whose session is not in front lets go of it.
class QNSessionMonitor {
public:
    using Handler = std::function<void()>;

    virtual ~QNSessionMonitor() = default;

    // Handlers run on the main thread, only on a change of the session's state.
    virtual void startObserving(Handler sessionDidBecomeActive, Handler sessionDidResignActive) = 0;
    virtual void stopObserving() = 0;
};
