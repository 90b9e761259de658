// Destinations and hosts as the tools take them on their command lines: HOST:PORT split,
// host names resolved to IPv4 addresses, each with the one message that names the fault.
#pragma once

#include <cstdint>
#include <string>

#include "checked.h"

namespace Kor::Tools {

struct Endpoint {
    std::string address;  // dotted-decimal IPv4
    std::uint16_t port = 0;
};

// `host` as a dotted-decimal IPv4 address in `address`: itself, or what the system's
// resolver gives for the name; refused with "cannot resolve 'HOST' to an IPv4 address".
Checked ResolveHost(const std::string& host, std::string& address);

// `text` as HOST:PORT (see Platform::SplitHostPort) in `host` and `port`, the host not yet
// resolved; refused with "OPTION needs HOST:PORT with a port from 1 to 65535, not 'TEXT'".
Checked SplitDestination(const std::string& option, const std::string& text, std::string& host,
                         std::uint16_t& port);

// `text` as HOST:PORT with the host resolved; the resolver's refusal names the option
// ("OPTION: cannot resolve ...").
Checked ResolveDestination(const std::string& option, const std::string& text, Endpoint& out);

// "ADDRESS:PORT".
std::string Text(const Endpoint& endpoint);

}  // namespace Kor::Tools
