#include "platform/win/RegistryText.h"

#include <vector>

namespace platform {
namespace {

class OpenKey {
 public:
  OpenKey(HKEY root, const std::wstring& subKey) {
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~OpenKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::optional<std::wstring> Expand(const std::wstring& text) {
  const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::vector<wchar_t> expanded(needed + 1, L'\0');
  const DWORD written = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
  if (written == 0 || written > needed) return std::nullopt;
  return std::wstring(expanded.data());
}

}  // namespace

std::optional<std::wstring> ReadRegistryText(HKEY root, const std::wstring& subKey,
                                             const wchar_t* valueName) {
  const OpenKey key(root, subKey);
  if (key.get() == nullptr) return std::nullopt;
  // The value may change between asking its size and reading it: ask again a few times.
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::nullopt;
    }
    // Room for an odd last byte and one character more, zeroed, so the text ends even when the
    // value does not.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    const LONG status = RegQueryValueExW(key.get(), valueName, nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    buffer[bytes / sizeof(wchar_t)] = L'\0';
    std::wstring text(buffer.data());  // up to the first zero
    return type == REG_EXPAND_SZ ? Expand(text) : text;
  }
  return std::nullopt;
}

}  // namespace platform
