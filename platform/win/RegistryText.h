#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace platform {

// A text value from the registry: REG_SZ as stored, REG_EXPAND_SZ with its %VARIABLES% expanded.
// A value stored without its terminating zero, or with more than one, reads the same as a
// proper one. Nothing when the key or value is missing or holds another type. Written with the
// calls Windows XP has.
std::optional<std::wstring> ReadRegistryText(HKEY root, const std::wstring& subKey,
                                             const wchar_t* valueName);

}  // namespace platform
