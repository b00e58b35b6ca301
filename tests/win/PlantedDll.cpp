// A DLL planted beside Jointcast.exe under a system DLL's name (atl.dll): if the program ever
// loads it, it leaves a marker file beside itself, which the Wine tests look for.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH - 32) {
      wchar_t* slash = path + length;
      while (slash > path && slash[-1] != L'\\') --slash;
      lstrcpyW(slash, L"planted-dll-was-loaded");
      HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}
