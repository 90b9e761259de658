// Test helpers: runs of kor-send and kor-monitor as child programs, with bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kor_test {

// Runs kor-send with `arguments` to the receiver's port, collecting its output and status.
class SendRun {
public:
    SendRun(const std::string& arguments, std::uint16_t port)
        : command_(std::string(KOR_SEND_PATH) + " " + arguments + " --to 127.0.0.1:" +
                   std::to_string(port) + " 2>&1"),
          runner_([this] {
              FILE* pipe = ::popen(command_.c_str(), "r");
              if (pipe == nullptr) {
                  return;
              }
              char buffer[512];
              while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
                  output_ += buffer;
              }
              status_ = ::pclose(pipe);
          }) {}
    SendRun(const SendRun&) = delete;
    SendRun& operator=(const SendRun&) = delete;
    ~SendRun() {
        if (runner_.joinable()) {
            runner_.join();
        }
    }
    // Waits for the program to end; returns its output.
    const std::string& Finish() {
        if (runner_.joinable()) {
            runner_.join();
        }
        return output_;
    }
    bool ExitedWithZero() const { return WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }
    int ExitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

private:
    std::string command_;
    std::string output_;
    int status_ = -1;
    std::thread runner_;
};

// A child program with standard output and standard error on one pipe; killed by the
// destructor if it is still running.
class ChildProgram {
public:
    ChildProgram(const std::string& path, std::vector<std::string> arguments) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        arguments.insert(arguments.begin(), path);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    bool Started() const { return pid_ > 0; }
    void Signal(int signal) const { ::kill(pid_, signal); }

    // Reads output until it holds `text`; false if it never does within `patience`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds patience) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (output_.find(text) == std::string::npos) {
            if (!Pump(deadline)) {
                return false;
            }
        }
        return true;
    }

    // Reads the rest of the output and returns the exit status; empty if the program did
    // not end within `patience` (it is then killed) or ended by a signal.
    std::optional<int> Finish(std::chrono::milliseconds patience) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (Pump(deadline)) {
        }
        if (out_ >= 0) {
            return std::nullopt;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) {
            return std::nullopt;
        }
        ended_ = true;
        return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }

    const std::string& Output() const { return output_; }

private:
    // Reads what has arrived; false at the end of the output or at the deadline.
    bool Pump(std::chrono::steady_clock::time_point deadline) {
        if (out_ < 0) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{out_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        output_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool ended_ = false;
    std::string output_;
};

}  // namespace kor_test
