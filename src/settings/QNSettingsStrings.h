#pragma once

#include "util/QNStrings.h"

// The settings window's own texts, looked up by key like the agent's; keys the window shares with the agent
// (proxy types, statistics labels) fall through to the agent's table.
namespace QNSettingsStrings {

const QNStrings& bundle();
QString text(const char* key);

} // namespace QNSettingsStrings
