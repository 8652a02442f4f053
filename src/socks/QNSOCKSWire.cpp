#include "socks/QNSOCKSWire.h"
