#pragma once

#include <string>

namespace platform {

// Takes the current directory and PATH out of the DLL search for the rest of the process: only
// the program's folder, the system folder and folders allowed below are searched. Does nothing
// on a Windows without the safe search API.
void RestrictDllSearch();

// Adds the folder of a DLL the program trusts (a registered control) to the search, so that the
// DLLs it depends on are found beside it.
void AllowDllFolderOf(const std::wstring& dllPath);

}  // namespace platform
