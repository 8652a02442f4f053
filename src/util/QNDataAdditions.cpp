#include "util/QNDataAdditions.h"
