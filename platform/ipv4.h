// IPv4 addresses as the programs take them on their command lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Kor::Platform {

// HOST itself when it is a dotted-decimal IPv4 address; otherwise the first IPv4 address the
// system's resolver gives for the name, as dotted-decimal text; nothing when there is none,
// and nothing for an empty HOST on every system.
std::optional<std::string> ResolveIpv4(const std::string& host);

// Whether a dotted-decimal IPv4 address lies in 224.0.0.0/4.
bool IsMulticastIpv4(const std::string& address);

// A destination as HOST:PORT names it; the host not yet resolved.
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

// "HOST:PORT" cut at its last colon: a host that is not empty and a port from 1 to 65535 in
// decimal digits; nothing otherwise.
std::optional<HostPort> SplitHostPort(const std::string& text);

// Whether a dotted-decimal IPv4 address is the address of one of this machine's interfaces.
// An interface list that cannot be read lets it pass (a socket then reports the fault).
// interfaces_posix.cpp or interfaces_windows.cpp.
bool IsLocalIpv4Address(const std::string& address);

}  // namespace Kor::Platform
