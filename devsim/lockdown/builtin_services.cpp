// Every service the simulated device offers, registered by name. A new service is one file
// with its Serve function and one Add() here.
#include "lockdown/service_registry.h"

#include "services/afc/afc_service.h"
#include "services/diagnostics/atc_service.h"
#include "services/backup/backup_service.h"
#include "services/diagnostics/diagnostics_service.h"
#include "services/apps/instproxy_service.h"
#include "services/backup/notification_service.h"
#include "services/apps/springboard_service.h"
#include "services/sync/sync_service.h"

namespace devsim {
namespace {

ServiceSpec Spec(const char* name, std::function<void(ServiceContext&)> run) {
  ServiceSpec s;
  s.name = name;
  s.run = std::move(run);
  return s;
}

}  // namespace

const ServiceRegistry& BuiltinServices() {
  static const ServiceRegistry registry = [] {
    ServiceRegistry r;
    r.Add(Spec("com.apple.afc", ServeAfc));
    ServiceSpec afc2 = Spec("com.apple.afc2", ServeAfc2);
    afc2.available = [](const SimDevice& d) { return d.jailbroken(); };
    r.Add(std::move(afc2));
    r.Add(Spec("com.apple.mobile.installation_proxy", ServeInstproxy));
    r.Add(Spec("com.apple.springboardservices", ServeSpringboard));
    r.Add(Spec("com.apple.mobile.diagnostics_relay", ServeDiagnostics));
    r.Add(Spec("com.apple.atc", ServeAtc));
    r.Add(Spec("com.apple.mobilebackup2", ServeBackup));
    r.Add(Spec("com.apple.mobile.notification_proxy", ServeNotificationProxy));
    r.Add(Spec("com.apple.mobilesync", ServeMobileSync));
    return r;
  }();
  return registry;
}

}  // namespace devsim
