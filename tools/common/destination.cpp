// HOST:PORT and host names on the tools' command lines.
#include "destination.h"

#include "ipv4.h"

namespace Kor::Tools {

Checked ResolveHost(const std::string& host, std::string& address) {
    const auto resolved = Platform::ResolveIpv4(host);
    if (!resolved) {
        return Checked::Refused("cannot resolve '" + host + "' to an IPv4 address");
    }
    address = *resolved;
    return {};
}

Checked SplitDestination(const std::string& option, const std::string& text, std::string& host,
                         std::uint16_t& port) {
    const auto split = Platform::SplitHostPort(text);
    if (!split) {
        return Checked::Refused(option + " needs HOST:PORT with a port from 1 to 65535, not '" +
                                text + "'");
    }
    host = split->host;
    port = split->port;
    return {};
}

Checked ResolveDestination(const std::string& option, const std::string& text, Endpoint& out) {
    std::string host;
    std::uint16_t port = 0;
    if (Checked split = SplitDestination(option, text, host, port); !split) {
        return split;
    }
    std::string address;
    if (Checked resolved = ResolveHost(host, address); !resolved) {
        return Checked::Refused(option + ": " + resolved.Message());
    }
    out = {address, port};
    return {};
}

std::string Text(const Endpoint& endpoint) {
    return endpoint.address + ":" + std::to_string(endpoint.port);
}

}  // namespace Kor::Tools
