#pragma once

#include "CommandSupport.h"

// get and set: the agent's settings keys.
QList<ctl::Command> settingsCommands();
