// IPv4 addresses as the programs take them on their command lines.
#pragma once

#include <optional>
#include <string>

namespace Kor::Platform {

// HOST itself when it is a dotted-decimal IPv4 address; otherwise the first IPv4 address the
// system's resolver gives for the name, as dotted-decimal text; nothing when there is none,
// and nothing for an empty HOST on every system.
std::optional<std::string> ResolveIpv4(const std::string& host);

// Whether a dotted-decimal IPv4 address lies in 224.0.0.0/4.
bool IsMulticastIpv4(const std::string& address);

}  // namespace Kor::Platform
