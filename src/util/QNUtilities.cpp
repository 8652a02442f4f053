#include "util/QNUtilities.h"
