// Sockets on Windows: the Windows Sockets session, WSAGetLastError codes with the system's
// message-table texts in UTF-8.
#include "sockets.h"

#include <winsock2.h>
#include <windows.h>

#include "wide_text.h"

namespace Kor::Platform {

namespace {

// Texts for the codes a UDP program meets most, for systems whose message table lacks them.
std::string KnownText(int code) {
    switch (code) {
        case WSAEACCES: return "Permission denied";
        case WSAEINVAL: return "Invalid argument";
        case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
        case WSAEMSGSIZE: return "Message too long";
        case WSAEADDRINUSE: return "Address already in use";
        case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
        case WSAENETDOWN: return "Network is down";
        case WSAENETUNREACH: return "Network is unreachable";
        case WSAECONNRESET: return "Connection reset by peer";
        case WSAEHOSTUNREACH: return "No route to host";
        case WSANOTINITIALISED: return "Windows Sockets is not started";
        default: return {};
    }
}

class WinsockCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "winsock"; }

    std::string message(int code) const override {
        // The wide call: the system's texts are in the user's language, which the ANSI code
        // page may not spell.
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string message;
        if (length != 0 && text != nullptr) {
            message = Utf8FromWide(std::wstring_view(text, length));
            // The system's texts end with a full stop and a line break: one line is wanted.
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                        message.back() == ' ' || message.back() == '.')) {
                message.pop_back();
            }
        }
        if (text != nullptr) {
            ::LocalFree(text);
        }
        if (message.empty()) {
            message = KnownText(code);
        }
        return message.empty() ? "Windows Sockets error " + std::to_string(code) : message;
    }

    std::error_condition default_error_condition(int code) const noexcept override {
        switch (code) {
            case WSAEADDRINUSE: return std::errc::address_in_use;
            case WSAEADDRNOTAVAIL: return std::errc::address_not_available;
            case WSAEACCES: return std::errc::permission_denied;
            case WSAEINVAL: return std::errc::invalid_argument;
            case WSAEWOULDBLOCK: return std::errc::operation_would_block;
            case WSAEINTR: return std::errc::interrupted;
            case WSAECONNRESET: return std::errc::connection_reset;
            case WSAENETUNREACH: return std::errc::network_unreachable;
            case WSAEHOSTUNREACH: return std::errc::host_unreachable;
            case WSAEMSGSIZE: return std::errc::message_size;
            default: return std::error_condition(code, *this);
        }
    }
};

}  // namespace

const std::error_category& SocketErrorCategory() noexcept {
    static const WinsockCategory category;
    return category;
}

int LastSocketError() noexcept {
    return ::WSAGetLastError();
}

std::string SocketErrorText(int code) {
    return SocketErrorCategory().message(code);
}

SocketSession::SocketSession() {
    WSADATA data{};
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        throw std::system_error(error, SocketErrorCategory(), "Starting Windows Sockets failed");
    }
}

SocketSession::~SocketSession() {
    ::WSACleanup();
}

}  // namespace Kor::Platform
