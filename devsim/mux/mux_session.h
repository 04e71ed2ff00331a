// One mux client connection: reads usbmux requests and answers them until the client
// closes, switches to Listen mode, or connects through to a device port.
#pragma once

namespace devsim {

class Daemon;
void ServeMuxClient(Daemon& daemon, int fd);

}  // namespace devsim
