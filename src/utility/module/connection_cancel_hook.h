// While it lives, cancelling the task invalidates one service connection, which wakes an
// exchange blocked on it (an install or uninstall the device does not answer). The hook's
// context is the connection handle itself, which the library checks, so a hook that fires
// late does no harm.
#pragma once

#include "common/dh_task.h"
#include "iOSAPI/MobileExportFun.h"

class ConnectionCancelHook {
 public:
  ConnectionCancelHook(DhTask& task, AMDServiceConnectionRef connection) : task_(task) {
    task_.SetCancelHook(&Invalidate, connection);
  }
  ~ConnectionCancelHook() { task_.SetCancelHook(nullptr, nullptr); }
  ConnectionCancelHook(const ConnectionCancelHook&) = delete;
  ConnectionCancelHook& operator=(const ConnectionCancelHook&) = delete;

 private:
  static void Invalidate(void* connection) {
    CMobileExportFun::GetInstance().AMDServiceConnectionInvalidate(
        static_cast<AMDServiceConnectionRef>(connection));
  }

  DhTask& task_;
};
