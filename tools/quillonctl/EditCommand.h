#pragma once

#include "CommandSupport.h"

int runEditCommand(const QStringList& arguments);
