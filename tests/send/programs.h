// Test helpers shared by the kor-send and kor-monitor tests: child programs with bounded
// waits, their output read from files, temporary files and numbers read from summaries.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace kor_test {

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

// A file named after the running test in the test's temporary directory, removed at the end.
struct TempFile {
    explicit TempFile(const std::string& suffix = ".pcap")
        : path(::testing::TempDir() + "kor-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix) {}
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

// A child program with standard input read from `input` and standard output and error
// written to files; killed by the destructor if it is still running. It is started by the
// shell, which splits `arguments` at spaces: paths and arguments are plain words.
class ChildProgram {
public:
    ChildProgram(const std::string& path, const std::string& arguments,
                 const std::string& input = "/dev/null")
        : out_(".out" + std::to_string(++made_)), err_(".err" + std::to_string(made_)) {
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

    // Waits until `done()` holds for the output; false if the program ends or time runs out
    // first.
    template <typename Done>
    bool WaitUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            const bool ended = Ended();  // before reading, so that the last output is read
            text_ = {ReadFile(out_.path), ReadFile(err_.path)};
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

    // Waits for the end and returns the exit status; empty if the program ended by a signal
    // or did not end in time (it is then killed).
    std::optional<int> Finish() {
        WaitUntil([] { return false; });
        if (!Ended()) {
            ADD_FAILURE() << "the program did not end in time";
            return std::nullopt;
        }
        return WIFEXITED(status_) ? std::optional<int>(WEXITSTATUS(status_)) : std::nullopt;
    }

    const std::string& Out() const { return text_.first; }
    const std::string& Err() const { return text_.second; }

private:
    bool Ended() {
        if (!ended_ && pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
        }
        return ended_ || pid_ <= 0;
    }

    static inline int made_ = 0;
    TempFile out_;
    TempFile err_;
    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::pair<std::string, std::string> text_;
};

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
