// UTF-8 at the edges of Windows: the wide (UTF-16) command line and file calls, converted.
#include "utf8.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "wide_text.h"

namespace Kor::Platform {

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    }
    return wide;
}

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr,
                              nullptr);
    }
    return narrow;
}

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide != nullptr && count == argc) {
        for (int i = 0; i < count; ++i) {
            words_.push_back(Utf8FromWide(wide[i]));
        }
    } else {
        // The two parsers disagree only on command lines no shell writes; the C runtime's
        // reading is the one the program was started with.
        for (int i = 0; i < argc; ++i) {
            words_.emplace_back(argv[i]);
        }
    }
    if (wide != nullptr) {
        ::LocalFree(wide);
    }
    for (const std::string& word : words_) {
        pointers_.push_back(word.c_str());
    }
    pointers_.push_back(nullptr);
}

std::filesystem::path PathFromUtf8(std::string_view text) {
    return std::filesystem::path(WideFromUtf8(text));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    return Utf8FromWide(path.native());
}

int OpenFile(const std::string& utf8Path, int flags, int mode) {
    return ::_wopen(WideFromUtf8(utf8Path).c_str(), flags, mode);
}

Utf8Console::Utf8Console() {
    const UINT before = ::GetConsoleOutputCP();  // 0 without a console
    if (before != 0 && before != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8) != 0) {
        previous_ = before;
    }
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) {
        ::SetConsoleOutputCP(previous_);
    }
}

}  // namespace Kor::Platform
