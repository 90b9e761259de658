// Test helpers shared by the kor-send and kor-monitor tests: child programs with their
// standard streams on pipes and bounded waits, temporary files and reading their output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace kor_test {

// Generous: the tests must pass on a loaded machine and under sanitizers.
inline constexpr std::chrono::seconds kPatience{30};

// A child program with standard input, output and error on pipes; killed by the destructor
// if it is still running. `arguments` are split at spaces.
class ChildProgram {
public:
    ChildProgram(const std::string& path, const std::string& arguments) {
        std::vector<std::string> all{path};
        std::istringstream words(arguments);
        for (std::string word; words >> word;) {
            all.push_back(word);
        }
        std::vector<char*> argv;
        for (std::string& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int pipes[3][2];  // standard input, output and error
        for (auto& ends : pipes) {
            if (::pipe2(ends, O_CLOEXEC) != 0) {
                ADD_FAILURE() << "pipe failed";
                return;
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < 3; ++fd) {
            posix_spawn_file_actions_adddup2(&actions, pipes[fd][fd == 0 ? 0 : 1], fd);
        }
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << path;
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        in_ = pipes[0][1];
        fds_ = {pipes[1][0], pipes[2][0]};
        for (const int fd : {pipes[0][0], pipes[1][1], pipes[2][1]}) {
            ::close(fd);
        }
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        if (Running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {in_, fds_[0], fds_[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    void Write(const std::vector<std::uint8_t>& bytes) const {
        ASSERT_EQ(::write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void Signal(int signal) const {
        if (Running()) {
            ::kill(pid_, signal);
        }
    }

    // Reads output until `done()` holds; false if the output ends or time runs out first.
    template <typename Done>
    bool WaitUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!done()) {
            if (!Pump(deadline)) {
                return false;
            }
        }
        return true;
    }
    bool WaitForErr(const std::string& text) {
        return WaitUntil([&] { return Err().find(text) != std::string::npos; });
    }
    bool WaitForLines(std::size_t count) {
        return WaitUntil([&] {
            return static_cast<std::size_t>(std::count(Out().begin(), Out().end(), '\n')) >= count;
        });
    }

    // Reads the rest of the output and returns the exit status; empty if the program ended
    // by a signal or did not end in time (it is then killed).
    std::optional<int> Finish() {
        WaitUntil([] { return false; });
        if (!Running()) {
            return std::nullopt;
        }
        if (fds_[0] >= 0 || fds_[1] >= 0) {
            ADD_FAILURE() << "the program did not end in time";
            return std::nullopt;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) {
            return std::nullopt;
        }
        reaped_ = true;
        return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }

    const std::string& Out() const { return text_[0]; }
    const std::string& Err() const { return text_[1]; }

private:
    bool Running() const { return pid_ > 0 && !reaped_; }

    // Reads what has arrived on either stream; false at the end of both or at the deadline.
    bool Pump(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entries[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if ((fds_[0] < 0 && fds_[1] < 0) || left.count() <= 0 ||
            ::poll(entries, 2, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        for (std::size_t i = 0; i < 2; ++i) {
            if (fds_[i] < 0 || (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(fds_[i], buffer, sizeof buffer);
            if (got > 0) {
                text_[i].append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds_[i]);
                fds_[i] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int in_ = -1;
    std::array<int, 2> fds_{-1, -1};
    std::array<std::string, 2> text_;
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

// The port in kor-monitor's banner "receiving from UDP ADDRESS:PORT"; 0 when it is missing.
inline std::uint16_t BannerPort(const std::string& err, const std::string& address = "127.0.0.1") {
    return static_cast<std::uint16_t>(
        std::max(0LL, NumberAfter(err, "receiving from UDP " + address + ":")));
}

inline std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A file named after the running test in the test's temporary directory, removed at the end.
struct TempFile {
    explicit TempFile(const std::string& suffix = ".pcap")
        : path(::testing::TempDir() + "kor-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix) {}
    ~TempFile() { std::remove(path.c_str()); }
    void Write(const std::vector<std::uint8_t>& bytes) const {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::string path;
};

}  // namespace kor_test
