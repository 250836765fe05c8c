// Transport implementation (see SmartWinsock.h).
#include "net/SmartWinsock.h"
