// console_probe (Windows): starts a program as Explorer does, in a console of its own, and
// copies what that console shows into a file, for the Windows window test to read.
//
//   console_probe OUTPUT.txt PROGRAM [ARGUMENTS...]
//
// The program gets a new console and no standard handles of the probe's. The probe joins
// that console and writes its screen's text to OUTPUT.txt (UTF-8, one line per row, trailing
// blanks cut) whenever it changes, and once more after the program has ended (the probe keeps
// the console open). Exit status: the program's, or 100 when it cannot be started or its
// console cannot be read.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    const int size = static_cast<int>(text.size());
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
    }
    return out;
}

// The console's screen as text; empty when it cannot be read.
std::string Screen() {
    HANDLE out =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string text;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(out, &info) != 0) {
        const SHORT width = info.dwSize.X;
        std::vector<wchar_t> row(static_cast<std::size_t>(width));
        std::string pending;  // blank rows are written only when text follows them
        for (SHORT y = 0; y <= info.dwCursorPosition.Y && y < info.dwSize.Y; ++y) {
            DWORD read = 0;
            ::ReadConsoleOutputCharacterW(out, row.data(), static_cast<DWORD>(width), COORD{0, y},
                                          &read);
            std::wstring line(row.data(), read);
            while (!line.empty() && (line.back() == L' ' || line.back() == L'\0')) {
                line.pop_back();
            }
            if (line.empty()) {
                pending += '\n';
            } else {
                text += pending + Utf8(line) + '\n';
                pending.clear();
            }
        }
    }
    ::CloseHandle(out);
    return text;
}

void Save(const wchar_t* path, const std::string& text) {
    std::FILE* file = ::_wfopen(path, L"wb");
    if (file != nullptr) {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: console_probe OUTPUT.txt PROGRAM [ARGUMENTS...]\n", stderr);
        return 100;
    }
    std::wstring command;
    for (int i = 2; i < argc; ++i) {
        command += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                         nullptr, nullptr, &startup, &process) == 0) {
        std::fprintf(stderr, "console_probe: cannot start the program (error %lu)\n",
                     ::GetLastError());
        return 100;
    }
    ::CloseHandle(process.hThread);

    // Join the program's console: a console program has one at once; give it a few seconds.
    ::FreeConsole();
    bool attached = false;
    for (int attempt = 0; attempt < 100 && !attached; ++attempt) {
        attached = ::AttachConsole(process.dwProcessId) != 0;
        if (!attached) {
            if (::WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) {
                break;
            }
        }
    }
    if (!attached) {
        std::fprintf(stderr, "console_probe: the program has no console to join (error %lu)\n",
                     ::GetLastError());
        ::TerminateProcess(process.hProcess, 100);
        ::CloseHandle(process.hProcess);
        return 100;
    }
    // The console's Ctrl-C and closing are the program's to handle, not the probe's.
    ::SetConsoleCtrlHandler(nullptr, TRUE);

    std::string shown;
    for (;;) {
        const bool ended = ::WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0;
        const std::string now = Screen();
        if (now != shown) {
            shown = now;
            Save(argv[1], shown);
        }
        if (ended) {
            break;
        }
    }
    DWORD status = 100;
    ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
