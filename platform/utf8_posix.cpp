// UTF-8 at the edges of POSIX systems: names are bytes, taken as they are.
#include "utf8.h"

#include <fcntl.h>

namespace Kor::Platform {

Utf8Arguments::Utf8Arguments(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        words_.emplace_back(argv[i]);
    }
    for (const std::string& word : words_) {
        pointers_.push_back(word.c_str());
    }
    pointers_.push_back(nullptr);
}

std::filesystem::path PathFromUtf8(std::string_view text) {
    return std::filesystem::path(text);
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    return path.string();
}

int OpenFile(const std::string& utf8Path, int flags, int mode) {
    return ::open(utf8Path.c_str(), flags, mode);
}

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

}  // namespace Kor::Platform
