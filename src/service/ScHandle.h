// Owner of one service control manager handle (manager or service).
#pragma once

#include "platform/Handle.h"

struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type handle) { return handle != nullptr; }
  static bool Close(Type handle) { return CloseServiceHandle(handle) != FALSE; }
};

using CScHandle = CUniqueHandle<ServiceHandleTraits>;
