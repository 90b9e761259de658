// Sockets on POSIX systems: no session to start; errno and the C library's texts.
#include "sockets.h"

#include <cerrno>

namespace Kor::Platform {

const std::error_category& SocketErrorCategory() noexcept {
    return std::system_category();
}

int LastSocketError() noexcept {
    return errno;
}

std::string SocketErrorText(int code) {
    return std::system_category().message(code);
}

SocketSession::SocketSession() = default;
SocketSession::~SocketSession() = default;

}  // namespace Kor::Platform
