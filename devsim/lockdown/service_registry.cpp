#include "lockdown/service_registry.h"

namespace devsim {

void ServiceRegistry::Add(ServiceSpec service) {
  std::string name = service.name;
  services_[name] = std::move(service);
}

const ServiceSpec* ServiceRegistry::Find(const std::string& name, const SimDevice& device) const {
  auto it = services_.find(name);
  if (it == services_.end()) return nullptr;
  if (it->second.available && !it->second.available(device)) return nullptr;
  return &it->second;
}

}  // namespace devsim
