// The serial source on POSIX systems: a file, a serial device (in raw mode) or standard
// input read as a byte stream.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "checked.h"
#include "source.h"

namespace Kor::Platform {

namespace {

constexpr std::size_t kChunk = 4096;

// An owned file descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&&) = delete;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int Get() const { return fd_; }

private:
    int fd_ = -1;
};

class SerialSource final : public Source {
public:
    SerialSource(UniqueFd owned, int fd, std::string description, std::optional<termios> savedMode)
        : owned_(std::move(owned)),
          fd_(fd),
          description_(std::move(description)),
          savedMode_(savedMode) {}

    SerialSource(const SerialSource&) = delete;
    SerialSource& operator=(const SerialSource&) = delete;

    ~SerialSource() override {
        if (savedMode_) {
            ::tcsetattr(fd_, TCSANOW, &*savedMode_);
        }
    }

    ReadResult Read(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
        if (ready < 0) {
            return errno == EINTR ? ReadResult::Interrupted : Fail("poll");
        }
        if (ready == 0) {
            return ReadResult::Timeout;
        }
        buffer.resize(kChunk);
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got < 0) {
            buffer.clear();
            if (errno == EINTR) {
                return ReadResult::Interrupted;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return ReadResult::Timeout;
            }
            return Fail("read");
        }
        buffer.resize(static_cast<std::size_t>(got));
        return got == 0 ? ReadResult::End : ReadResult::Data;
    }

    bool Datagrams() const override { return false; }
    std::string Describe() const override { return description_; }
    std::string ErrorText() const override { return error_; }

private:
    ReadResult Fail(const char* what) {
        error_ = description_ + ": " + what + " failed: " + std::strerror(errno);
        return ReadResult::Error;
    }

    UniqueFd owned_;  // empty for standard input, which stays open
    int fd_;
    std::string description_;
    std::optional<termios> savedMode_;  // a serial device's mode before the run
    std::string error_;
};

}  // namespace

Checked OpenSerialSource(const std::string& path, std::unique_ptr<Source>& source) {
    if (path == "-") {
        source =
            std::make_unique<SerialSource>(UniqueFd(), STDIN_FILENO, "serial stdin", std::nullopt);
        return {};
    }
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (file.Get() < 0) {
        return Checked::Refused("cannot open " + path + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return Checked::Refused("cannot open " + path + ": " + std::strerror(EISDIR));
    }
    // A serial device passes bytes unchanged only in raw mode (no line editing, no
    // newline translation, no flow-control characters); its speed is left as set.
    std::optional<termios> savedMode;
    if (::isatty(file.Get()) != 0) {
        termios mode{};
        if (::tcgetattr(file.Get(), &mode) == 0) {
            savedMode = mode;
            ::cfmakeraw(&mode);
            mode.c_cflag |= CREAD | CLOCAL;
            if (::tcsetattr(file.Get(), TCSANOW, &mode) != 0) {
                return Checked::Refused("cannot set raw mode on " + path + ": " +
                                        std::strerror(errno));
            }
        }
    }
    const int fd = file.Get();
    source = std::make_unique<SerialSource>(std::move(file), fd, "serial " + path, savedMode);
    return {};
}

}  // namespace Kor::Platform
