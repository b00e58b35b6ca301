// A program that imports a function Windows XP does not have (RegGetValueW, Vista and later), as
// the shipped program once did: the import check must refuse it.
#include <windows.h>

int main() {
  DWORD size = 0;
  return static_cast<int>(RegGetValueW(HKEY_CURRENT_USER, L"Software", L"none", RRF_RT_REG_SZ,
                                       nullptr, nullptr, &size));
}
