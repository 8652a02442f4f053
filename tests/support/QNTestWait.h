#pragma once

#include <functional>

// Runs the event loop until the condition holds; false when it did not within the time-out.
// Wakes now and then even without events, for conditions fed by other threads or processes.
bool qnWaitUntil(const std::function<bool()>& condition, int timeoutMilliseconds = 20000);
