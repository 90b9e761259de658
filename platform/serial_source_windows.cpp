// Serial source on Windows: a file, a COM port (\\.\COM3) or standard input read as a byte
// stream through file handles.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "checked.h"
#include "sockets.h"
#include "source.h"
#include "wide_text.h"

namespace Kor::Platform {

namespace {

constexpr DWORD kChunk = 4096;
// How often a pipe with nothing in it is looked at again while waiting.
constexpr std::chrono::milliseconds kPipePoll{5};

std::string SystemText(DWORD code) {
    // The system's message table holds the texts of all Windows error codes.
    return SocketErrorText(static_cast<int>(code));
}

enum class Kind { File, Port, Pipe, Console };

class SerialSource final : public Source {
public:
    SerialSource(HANDLE handle, bool owned, Kind kind, std::string description)
        : handle_(handle), owned_(owned), kind_(kind), description_(std::move(description)) {}

    SerialSource(const SerialSource&) = delete;
    SerialSource& operator=(const SerialSource&) = delete;

    ~SerialSource() override {
        if (savedState_) {
            ::SetCommState(handle_, &*savedState_);
        }
        if (savedTimeouts_) {
            ::SetCommTimeouts(handle_, &*savedTimeouts_);
        }
        if (owned_) {
            ::CloseHandle(handle_);
        }
    }

    // A COM port in binary mode, with neither parity checks nor flow-control characters
    // (the speed is left as set), and reads that return what has arrived when the wait ends.
    bool SetUpPort(std::string& error) {
        DCB state{};
        state.DCBlength = sizeof state;
        COMMTIMEOUTS timeouts{};
        if (::GetCommState(handle_, &state) == 0 || ::GetCommTimeouts(handle_, &timeouts) == 0) {
            error = SystemText(::GetLastError());
            return false;
        }
        savedState_ = state;
        savedTimeouts_ = timeouts;
        state.fBinary = TRUE;
        state.fParity = FALSE;
        state.fOutX = FALSE;
        state.fInX = FALSE;
        state.fErrorChar = FALSE;
        state.fNull = FALSE;
        state.fAbortOnError = FALSE;
        if (::SetCommState(handle_, &state) == 0) {
            error = SystemText(::GetLastError());
            return false;
        }
        return true;
    }

    ReadResult Read(std::vector<std::uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        switch (kind_) {
            case Kind::Port: {
                // Return as soon as one byte is there, or when the wait is over.
                COMMTIMEOUTS timeouts{};
                timeouts.ReadIntervalTimeout = MAXDWORD;
                timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
                timeouts.ReadTotalTimeoutConstant =
                    static_cast<DWORD>(std::clamp<long long>(timeout.count(), 1, MAXDWORD - 1));
                if (::SetCommTimeouts(handle_, &timeouts) == 0) {
                    return Fail("setting the read timeout");
                }
                const ReadResult result = ReadChunk(buffer, false);
                return result == ReadResult::End ? ReadResult::Timeout : result;
            }
            case Kind::Pipe: {
                const auto deadline = std::chrono::steady_clock::now() + timeout;
                for (;;) {
                    DWORD available = 0;
                    if (::PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr) == 0) {
                        const DWORD code = ::GetLastError();
                        return code == ERROR_BROKEN_PIPE ? ReadResult::End
                                                         : Fail("peek", code);
                    }
                    if (available > 0) {
                        return ReadChunk(buffer, true);
                    }
                    if (std::chrono::steady_clock::now() >= deadline) {
                        return ReadResult::Timeout;
                    }
                    std::this_thread::sleep_for(kPipePoll);
                }
            }
            case Kind::Console:
                if (::WaitForSingleObject(handle_, static_cast<DWORD>(std::max<long long>(
                                                       timeout.count(), 0))) == WAIT_TIMEOUT) {
                    return ReadResult::Timeout;
                }
                return ReadChunk(buffer, true);
            case Kind::File: break;
        }
        return ReadChunk(buffer, true);
    }

    bool Datagrams() const override { return false; }
    std::string Describe() const override { return description_; }
    std::string ErrorText() const override { return error_; }

private:
    ReadResult ReadChunk(std::vector<std::uint8_t>& buffer, bool zeroIsEnd) {
        buffer.resize(kChunk);
        DWORD got = 0;
        if (::ReadFile(handle_, buffer.data(), kChunk, &got, nullptr) == 0) {
            buffer.clear();
            const DWORD code = ::GetLastError();
            return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF ? ReadResult::End
                                                                         : Fail("read", code);
        }
        buffer.resize(got);
        if (got == 0) {
            return zeroIsEnd ? ReadResult::End : ReadResult::Timeout;
        }
        return ReadResult::Data;
    }

    ReadResult Fail(const char* what, DWORD code = ::GetLastError()) {
        error_ = description_ + ": " + what + " failed: " + SystemText(code);
        return ReadResult::Error;
    }

    HANDLE handle_;
    bool owned_;  // false for standard input, which stays open
    Kind kind_;
    std::string description_;
    std::optional<DCB> savedState_;            // a COM port's settings before the run
    std::optional<COMMTIMEOUTS> savedTimeouts_;
    std::string error_;
};

Kind KindOf(HANDLE handle) {
    switch (::GetFileType(handle)) {
        case FILE_TYPE_PIPE: return Kind::Pipe;
        case FILE_TYPE_CHAR: {
            DCB state{};
            state.DCBlength = sizeof state;
            if (::GetCommState(handle, &state) != 0) {
                return Kind::Port;
            }
            DWORD mode = 0;
            return ::GetConsoleMode(handle, &mode) != 0 ? Kind::Console : Kind::File;
        }
        default: return Kind::File;
    }
}

// COM1 to COM9 name ports without the \\.\ prefix.
bool IsComName(const std::string& path) {
    return path.size() == 4 && (path[0] == 'C' || path[0] == 'c') &&
           (path[1] == 'O' || path[1] == 'o') && (path[2] == 'M' || path[2] == 'm') &&
           path[3] >= '1' && path[3] <= '9';
}

}  // namespace

Checked OpenSerialSource(const std::string& path, std::unique_ptr<Source>& source) {
    if (path == "-") {
        HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        if (input == nullptr || input == INVALID_HANDLE_VALUE) {
            return Checked::Refused("cannot read standard input: there is none");
        }
        source = std::make_unique<SerialSource>(input, false, KindOf(input), "serial stdin");
        return {};
    }
    // A device (\\.\COM3, or COM3 itself) is opened for this program alone and for
    // writing too, which setting its mode needs; a file is only read, and may be read while
    // another program writes it.
    const bool device = path.rfind("\\\\.\\", 0) == 0 || IsComName(path);
    HANDLE file =
        device ? ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
               : ::CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Checked::Refused("cannot open " + path + ": " + SystemText(::GetLastError()));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(file, &info) != 0 &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(file);
        return Checked::Refused("cannot open " + path + ": Is a directory");
    }
    const Kind kind = KindOf(file);
    auto opened = std::make_unique<SerialSource>(file, true, kind, "serial " + path);
    std::string error;
    if (kind == Kind::Port && !opened->SetUpPort(error)) {
        return Checked::Refused("cannot set raw mode on " + path + ": " + error);
    }
    source = std::move(opened);
    return {};
}

}  // namespace Kor::Platform
