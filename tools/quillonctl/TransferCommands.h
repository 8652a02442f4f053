#pragma once

#include "CommandSupport.h"

// export and import: profiles to and from the profiles XML document.
QList<ctl::Command> transferCommands();
