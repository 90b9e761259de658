// UTF-8 text at the operating system's edges: the command line, file names, the console.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Kor::Platform {

// The program's arguments as UTF-8 text, in the argc/argv form a parser takes. On POSIX
// systems argv as it is; on Windows the wide command line, since the narrow argv holds only
// what the ANSI code page can spell (every other character becomes '?').
class Utf8Arguments {
public:
    Utf8Arguments(int argc, char** argv);
    Utf8Arguments(const Utf8Arguments&) = delete;
    Utf8Arguments& operator=(const Utf8Arguments&) = delete;

    int Count() const noexcept { return static_cast<int>(words_.size()); }
    // Count() texts, then a null pointer; valid as long as this object.
    const char* const* Values() const noexcept { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<const char*> pointers_;
};

// The file system path named by UTF-8 text, and back: on Windows through UTF-16, so every
// name opens, whatever the ANSI code page can spell.
std::filesystem::path PathFromUtf8(std::string_view text);
std::string Utf8FromPath(const std::filesystem::path& path);

// open() of a file named in UTF-8, with open()'s flags and mode (_wopen on Windows); a file
// descriptor, or -1 with errno set.
int OpenFile(const std::string& utf8Path, int flags, int mode = 0);

// Shows UTF-8 text on the console as it is written: on Windows the console's output code
// page is UTF-8 for the life of the object and then the one before (nothing changes where
// no console is attached); nothing to do on POSIX systems.
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    unsigned int previous_ = 0;
};

}  // namespace Kor::Platform
