// Every service the simulated device offers, registered by name. A new service is one file
// with its Serve function and one Add() here.
#include "service_registry.h"

namespace devsim {

const ServiceRegistry& BuiltinServices() {
  static const ServiceRegistry registry = [] {
    ServiceRegistry r;
    return r;
  }();
  return registry;
}

}  // namespace devsim
