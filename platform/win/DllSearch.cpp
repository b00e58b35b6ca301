#include "platform/win/DllSearch.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000
#endif

namespace platform {
namespace {

// Looked up at run time: XP lacks these, and Windows 7 has them only with its loader update.
template <typename Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
using AddDllDirectoryFn = void*(WINAPI*)(PCWSTR);

}  // namespace

void RestrictDllSearch() {
  if (auto set = Kernel32<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories")) {
    set(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  } else {
    SetDllDirectoryW(L"");  // at least not the current directory
  }
}

void AllowDllFolderOf(const std::wstring& dllPath) {
  const std::size_t slash = dllPath.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return;
  if (auto add = Kernel32<AddDllDirectoryFn>("AddDllDirectory")) {
    add(dllPath.substr(0, slash).c_str());
  }
}

bool SearchFlagsSupported() {
  // The documented test: the loader update that brings the flags also brings AddDllDirectory.
  return Kernel32<AddDllDirectoryFn>("AddDllDirectory") != nullptr;
}

HMODULE LoadSystemDll(const wchar_t* name, bool searchFlagsSupported) {
  if (searchFlagsSupported) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return LoadLibraryW((std::wstring(folder, length) + L"\\" + name).c_str());
}

}  // namespace platform
