// The Windows platform layer under Wine: registry text as XP reads it, and system DLLs loaded
// from the system folder however old the loader is.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "platform/win/DllSearch.h"
#include "platform/win/RegistryText.h"

namespace {

const std::wstring kTestKey = L"Software\\JointcastTests";

class RegistryTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey.c_str());
  }
  // Stores exactly the bytes given: a value may come without its terminating zero.
  void Store(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
  }
  std::optional<std::wstring> Read(const wchar_t* name) {
    return platform::ReadRegistryText(HKEY_CURRENT_USER, kTestKey, name);
  }
  HKEY key_ = nullptr;
};

TEST_F(RegistryTextTest, ReadsTextWithOrWithoutItsTerminatingZero) {
  const wchar_t text[] = L"C:\\Program Files\\Cross\\cross.ocx";
  const DWORD withZero = sizeof text;
  Store(L"terminated", REG_SZ, text, withZero);
  Store(L"unterminated", REG_SZ, text, withZero - sizeof(wchar_t));
  Store(L"odd", REG_SZ, text, withZero - sizeof(wchar_t) + 1);  // half a character more
  const wchar_t padded[] = L"abc\0\0\0";
  Store(L"padded", REG_SZ, padded, sizeof padded);
  Store(L"empty", REG_SZ, L"", 0);

  EXPECT_EQ(Read(L"terminated"), std::wstring(text));
  EXPECT_EQ(Read(L"unterminated"), std::wstring(text));
  EXPECT_EQ(Read(L"odd"), std::wstring(text));
  EXPECT_EQ(Read(L"padded"), std::wstring(L"abc"));
  EXPECT_EQ(Read(L"empty"), std::wstring());
}

TEST_F(RegistryTextTest, ExpandsVariablesAndRefusesWhatIsNotText) {
  const wchar_t expandable[] = L"%SystemRoot%\\cross.ocx";
  Store(L"expand", REG_EXPAND_SZ, expandable, sizeof expandable - sizeof(wchar_t));
  const DWORD number = 7;
  Store(L"number", REG_DWORD, &number, sizeof number);

  wchar_t root[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH), 0u);
  EXPECT_EQ(Read(L"expand"), std::wstring(root) + L"\\cross.ocx");
  EXPECT_EQ(Read(L"number"), std::nullopt);
  EXPECT_EQ(Read(L"missing"), std::nullopt);
  EXPECT_EQ(platform::ReadRegistryText(HKEY_CURRENT_USER, kTestKey + L"\\missing", nullptr),
            std::nullopt);
}

// An atl.dll of our own lies beside this test program (as beside Jointcast.exe in the Wine
// suite); the system's must be loaded with the search flags and, as on XP, without them.
TEST(LoadSystemDllTest, LoadsFromTheSystemFolderWithAndWithoutTheSearchFlags) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  for (const bool flags : {true, false}) {
    if (flags && !platform::SearchFlagsSupported()) continue;
    HMODULE atl = platform::LoadSystemDll(L"atl.dll", flags);
    ASSERT_NE(atl, nullptr) << "flags " << flags;
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(atl, path, MAX_PATH), 0u);
    EXPECT_EQ(_wcsnicmp(path, system, length), 0) << "flags " << flags;
    EXPECT_NE(GetProcAddress(atl, "AtlAxWinInit"), nullptr);
    FreeLibrary(atl);
  }
  EXPECT_EQ(platform::LoadSystemDll(L"no-such-library.dll", false), nullptr);
}

}  // namespace
