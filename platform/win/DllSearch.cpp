#include "platform/win/DllSearch.h"

#include <windows.h>

namespace platform {
namespace {

// Looked up at run time: Windows 7 has these only with its loader update.
template <typename Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace

void RestrictDllSearch() {
  using SetDefault = BOOL(WINAPI*)(DWORD);
  if (auto set = Kernel32<SetDefault>("SetDefaultDllDirectories")) {
    set(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  } else {
    SetDllDirectoryW(L"");  // at least not the current directory
  }
}

void AllowDllFolderOf(const std::wstring& dllPath) {
  using AddDirectory = void*(WINAPI*)(PCWSTR);
  const std::size_t slash = dllPath.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return;
  if (auto add = Kernel32<AddDirectory>("AddDllDirectory")) {
    add(dllPath.substr(0, slash).c_str());
  }
}

}  // namespace platform
