// The system's sockets: the session Windows Sockets needs, and the category of socket
// error codes (errno values on POSIX systems, WSAGetLastError codes on Windows), each with
// the system's own text.
#pragma once

#include <string>
#include <system_error>

namespace Kor::Platform {

// std::system_category() on POSIX systems; on Windows a category whose messages come from
// the system's message table (the C library knows no Windows Sockets codes).
const std::error_category& SocketErrorCategory() noexcept;

// The last socket error of the calling thread: errno, or WSAGetLastError() on Windows.
int LastSocketError() noexcept;

// The text of a socket error code, as SocketErrorCategory() gives it.
std::string SocketErrorText(int code);

// Keeps the system's socket layer started for the life of the object: WSAStartup and
// WSACleanup on Windows, nothing on POSIX systems. Throws std::system_error when Windows
// Sockets cannot start.
class SocketSession {
public:
    SocketSession();
    ~SocketSession();
    SocketSession(const SocketSession&) = delete;
    SocketSession& operator=(const SocketSession&) = delete;
};

}  // namespace Kor::Platform
