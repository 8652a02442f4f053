#pragma once

#include "CommandSupport.h"

// list, show, new, delete, rename and activate: the commands that read or change the stored profiles.
QList<ctl::Command> profileCommands();
