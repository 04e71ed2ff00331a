// Service connections of the stand-in library: the connection pointer is a socket
// descriptor, so tests drive the message exchange over a socketpair.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#define VADO_FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int Descriptor(void* connection) { return static_cast<int>(reinterpret_cast<intptr_t>(connection)); }
}  // namespace

VADO_FAKE_EXPORT int AMDServiceConnectionSend(void* connection, const void* data, size_t size) {
  return static_cast<int>(send(Descriptor(connection), data, size, MSG_NOSIGNAL));
}

VADO_FAKE_EXPORT int AMDServiceConnectionReceive(void* connection, void* data, size_t size) {
  return static_cast<int>(recv(Descriptor(connection), data, size, 0));
}

VADO_FAKE_EXPORT int AMDServiceConnectionGetSocket(void* connection) {
  return Descriptor(connection);
}
