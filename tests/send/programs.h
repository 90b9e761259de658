// Test helpers shared by the kor-send and kor-monitor tests: child programs with bounded
// waits, their output read from files, temporary files and numbers read from summaries.
#pragma once

#ifdef _WIN32
#include <process.h>
#include <windows.h>

#include <csignal>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
extern char** environ;
#endif

namespace kor_test {

#ifdef _WIN32
inline int ProcessId() {
    return ::_getpid();
}
inline constexpr const char* kNoInput = "NUL";
#else
inline int ProcessId() {
    return ::getpid();
}
inline constexpr const char* kNoInput = "/dev/null";
#endif

// Generous: the tests must pass on a loaded machine and under sanitizers.
inline constexpr std::chrono::seconds kPatience{30};

inline std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

inline std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A folder in the test's temporary directory named in Cyrillic and Japanese (with a blank),
// made for the running test and removed with what it holds at the end. Paths are UTF-8.
struct UnicodeFolder {
    UnicodeFolder()
        : path(::testing::TempDir() + "kor-" + std::to_string(ProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + " Съёмка 撮影") {
        std::filesystem::create_directories(Native(path));
    }
    ~UnicodeFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Native(path), ignored);
    }
    // The file system's path of UTF-8 text (UTF-16 on Windows).
    static std::filesystem::path Native(const std::string& utf8) {
        return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
    }
    std::string path;
};

// A file named after the running test in the test's temporary directory, removed at the end.
struct TempFile {
    explicit TempFile(const std::string& suffix = ".pcap")
        : path(::testing::TempDir() + "kor-" + std::to_string(ProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix) {}
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

// What a child program wrote to its standard output and error (files read back), and the
// bounded waits on it; `Program` says whether the program has ended (`Ended()`).
template <typename Program>
class ChildOutput {
public:
    // Waits until `done()` holds for the output; false if the program ends or time runs out
    // first.
    template <typename Done>
    bool WaitUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            // Before reading, so that the last output is read.
            const bool ended = static_cast<Program*>(this)->Ended();
            text_ = {TextOf(ReadFile(out_.path)), TextOf(ReadFile(err_.path))};
            if (done()) {
                return true;
            }
            if (ended || std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    bool WaitForLines(std::size_t count) {
        return WaitUntil([&] { return LineCount(Out()) >= count; });
    }

    const std::string& Out() const { return text_.first; }
    const std::string& Err() const { return text_.second; }

protected:
    ChildOutput() : out_(".out" + std::to_string(++made_)), err_(".err" + std::to_string(made_)) {}

    // Waits for the end with all its output read; false (a test failure) if time runs out.
    bool WaitForEnd() {
        WaitUntil([] { return false; });
        if (!static_cast<Program*>(this)->Ended()) {
            ADD_FAILURE() << "the program did not end in time";
            return false;
        }
        return true;
    }

    TempFile out_;
    TempFile err_;

private:
    // Output with its line ends as "\n": a Windows program's standard streams write text
    // lines with "\r\n".
    static std::string TextOf(std::string bytes) {
        std::string::size_type at = 0;
        while ((at = bytes.find("\r\n", at)) != std::string::npos) {
            bytes.erase(at, 1);
        }
        return bytes;
    }

    static inline int made_ = 0;
    std::pair<std::string, std::string> text_;
};

#ifdef _WIN32
// UTF-16 text of UTF-8 text, for the wide calls.
inline std::wstring Wide(const std::string& text) {
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(size), L'\0');  // never more than the bytes
    wide.resize(static_cast<std::size_t>(
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), size)));
    return wide;
}

// One word of a command line, whatever blanks it holds (paths without '"').
inline std::string Quoted(const std::string& word) {
    return '"' + word + '"';
}

// A child program with standard input read from `input` and standard output and error
// written to files; killed by the destructor if it is still running. `arguments` is the
// rest of its command line in UTF-8: plain words, or words in Quoted().
class ChildProgram : public ChildOutput<ChildProgram> {
public:
    ChildProgram(const std::string& path, const std::string& arguments,
                 const std::string& input = kNoInput) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const auto open = [&](const std::string& file, bool write) {
            return ::CreateFileA(file.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
        };
        HANDLE in = open(input, false);
        HANDLE out = open(out_.path, true);
        HANDLE err = open(err_.path, true);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        // The wide call: the command line is UTF-8 text, which the ANSI code page may not
        // spell.
        std::wstring command = Wide(path + " " + arguments);
        PROCESS_INFORMATION info{};
        // A console of its own (without a window), so that Signal's Ctrl-C reaches it alone.
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &info) == 0) {
            ADD_FAILURE() << "cannot start " << path << " (error " << ::GetLastError() << ")";
        } else {
            ::CloseHandle(info.hThread);
            process_ = info.hProcess;
            id_ = info.dwProcessId;
        }
        for (HANDLE h : {in, out, err}) {
            if (h != INVALID_HANDLE_VALUE) {
                ::CloseHandle(h);
            }
        }
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        if (!Ended()) {
            ::TerminateProcess(process_, 137);
            ::WaitForSingleObject(process_, INFINITE);
        }
        if (process_ != nullptr) {
            ::CloseHandle(process_);
        }
    }

    // A stop request: Ctrl-C in the program's console (Windows has no signals to send to
    // another process). This program joins that console for the moment it takes, and
    // ignores the Ctrl-C itself.
    void Signal(int /*signal*/) {
        if (Ended()) {
            return;
        }
        ::FreeConsole();
        if (::AttachConsole(id_) == 0) {
            ADD_FAILURE() << "cannot reach the program's console (error " << ::GetLastError()
                          << ")";
            return;
        }
        ::SetConsoleCtrlHandler(nullptr, TRUE);
        ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        ::FreeConsole();
        // The event reaches this program's handlers too, a moment later; let it pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::SetConsoleCtrlHandler(nullptr, FALSE);
    }

    // Waits for the end and returns the exit status; empty if the program did not end in
    // time (it is then killed).
    std::optional<int> Finish() {
        if (!WaitForEnd()) {
            return std::nullopt;
        }
        return status_;
    }

private:
    friend class ChildOutput<ChildProgram>;

    bool Ended() {
        if (!ended_ && process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            ::GetExitCodeProcess(process_, &code);
            status_ = static_cast<int>(code);
            ended_ = true;
        }
        return ended_ || process_ == nullptr;
    }

    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    bool ended_ = false;
    int status_ = 0;
};
#else
// One word of a command line, whatever blanks it holds (paths without '\'').
inline std::string Quoted(const std::string& word) {
    return '\'' + word + '\'';
}

// A child program with standard input read from `input` and standard output and error
// written to files; killed by the destructor if it is still running. It is started by the
// shell, which splits `arguments` at spaces: plain words, or words in Quoted().
class ChildProgram : public ChildOutput<ChildProgram> {
public:
    ChildProgram(const std::string& path, const std::string& arguments,
                 const std::string& input = kNoInput) {
        // exec: the shell becomes the program, so that signals reach the program itself.
        const std::string command =
            "exec " + path + " " + arguments + " <" + input + " >" + out_.path + " 2>" + err_.path;
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) !=
            0) {
            ADD_FAILURE() << "cannot start " << path;
            pid_ = -1;
        }
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        if (!Ended()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void Signal(int signal) {
        if (!Ended()) {
            ::kill(pid_, signal);
        }
    }

    // Waits for the end and returns the exit status; empty if the program ended by a signal
    // or did not end in time (it is then killed).
    std::optional<int> Finish() {
        if (!WaitForEnd()) {
            return std::nullopt;
        }
        return WIFEXITED(status_) ? std::optional<int>(WEXITSTATUS(status_)) : std::nullopt;
    }

private:
    friend class ChildOutput<ChildProgram>;

    bool Ended() {
        if (!ended_ && pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
        }
        return ended_ || pid_ <= 0;
    }

    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

#endif

// The option that sends kor-send's datagrams to a port on the loopback address.
inline std::string To(std::uint16_t port) {
    return " --to 127.0.0.1:" + std::to_string(port) + " ";
}

// The number after `label` in `text`; -1 when the label is missing.
inline long long NumberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + label.size()));
}

// The port in kor-monitor's banner "receiving from UDP ADDRESS:PORT", once the whole line
// is out; 0 when it does not come.
inline std::uint16_t MonitorPort(ChildProgram& monitor, const std::string& address = "127.0.0.1") {
    const std::string banner = "receiving from UDP " + address + ":";
    const bool seen = monitor.WaitUntil([&] {
        const std::size_t at = monitor.Err().find(banner);
        return at != std::string::npos && monitor.Err().find('\n', at) != std::string::npos;
    });
    return seen ? static_cast<std::uint16_t>(NumberAfter(monitor.Err(), banner)) : 0;
}

}  // namespace kor_test
