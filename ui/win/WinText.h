#pragma once

#include <string>

namespace ui::win {

// UTF-8 <-> UTF-16 for the window system's wide calls.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace ui::win
