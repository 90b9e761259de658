// Conversions between UTF-8 and the UTF-16 text of Windows' wide calls (Windows only).
#pragma once

#include <string>
#include <string_view>

namespace Kor::Platform {

// Text that is not valid UTF-8 (or UTF-16) has its faulty parts replaced by U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

}  // namespace Kor::Platform
