// The developers' self-test, run in test mode at start (no device) and on every device
// arrival.
#pragma once

#include "utility/ios/vado_device.h"

void RunSelfTest(const VadoDevicePtr& device);
