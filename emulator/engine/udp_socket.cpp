// The engine's sending socket: the platform's UDP socket and the engine's lines about it.
#include "udp_socket.h"

#include <system_error>

#include "sockets.h"

namespace Kor::Engine {

UdpSocket::UdpSocket(MessageSink& messages)
    : messages_(messages), announce_(messages), socket_("Error opening socket.") {}

UdpSocket::~UdpSocket() {
    messages_.Progress("Closing UDP socket!");
}

void UdpSocket::BindAnyPort() {
    if (const int code = socket_.Bind("0.0.0.0", 0); code != 0) {
        throw std::system_error(code, Platform::SocketErrorCategory(), "Binding port failed.");
    }
}

}  // namespace Kor::Engine
