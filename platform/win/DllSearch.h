#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Takes the current directory and PATH out of the DLL search for the rest of the process: only
// the program's folder, the system folder and folders allowed below are searched. Does nothing
// on a Windows without the safe search API.
void RestrictDllSearch();

// Adds the folder of a DLL the program trusts (a registered control) to the search, so that the
// DLLs it depends on are found beside it.
void AllowDllFolderOf(const std::wstring& dllPath);

// Whether LoadLibraryEx takes the LOAD_LIBRARY_SEARCH_* flags: Windows 8, or 7 and Vista with
// the loader update; XP and an un-updated 7 refuse them with an invalid-parameter error.
bool SearchFlagsSupported();

// Loads a DLL of Windows itself from the system folder and nowhere else, so that one of the
// same name planted beside the program is never the one loaded. Null when it is not there.
HMODULE LoadSystemDll(const wchar_t* name, bool searchFlagsSupported = SearchFlagsSupported());

}  // namespace platform
