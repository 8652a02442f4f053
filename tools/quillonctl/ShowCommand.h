#pragma once

#include <QString>

class QNProfile;

// quillonctl show: a profile in readable form. Secrets are never printed, only whether they are set.
const char* showUsage();
QString profileDescription(const QNProfile& profile, bool active);
