#pragma once

#include <objbase.h>

#include "lib/CrossLib_OCX.h"

namespace crosslib {

// The control's identity as COM GUIDs, parsed from the contract's strings.
inline GUID ParseGuid(const char16_t* text) {
  GUID guid{};
  IIDFromString(reinterpret_cast<LPCOLESTR>(text), &guid);
  return guid;
}
inline const CLSID& ClassId() {
  static const CLSID id = ParseGuid(kClassId);
  return id;
}
inline const IID& DispatchInterfaceId() {
  static const IID id = ParseGuid(kDispatchInterfaceId);
  return id;
}
inline const IID& EventInterfaceId() {
  static const IID id = ParseGuid(kEventInterfaceId);
  return id;
}
inline LPCWSTR WideText(const char16_t* text) {
  return reinterpret_cast<LPCWSTR>(text);
}

}  // namespace crosslib
