// The exported C interface of libMobileDevice.so. The declarations are the agent's own, so
// every definition here is checked against the argument lists the agent calls with; the
// visibility push makes exactly these names public while the rest of the library stays
// hidden.
#pragma once

#pragma GCC visibility push(default)
#include "iOSAPI/mobile_device_api.h"
#pragma GCC visibility pop
