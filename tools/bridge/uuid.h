// UUIDs as OpenTrackIO wants them: "urn:uuid:" and lowercase hex.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace Kor::Bridge {

using Uuid = std::array<std::uint8_t, 16>;

// SHA-1 of the bytes (for name-based UUIDs).
std::array<std::uint8_t, 20> Sha1(std::string_view bytes);

// The name-based (version 5, SHA-1) UUID of `name` in `space`.
Uuid NameUuid(const Uuid& space, std::string_view name);

// A random (version 4) UUID.
Uuid RandomUuid(std::mt19937_64& random);

// "urn:uuid:xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lowercase.
std::string UuidUrn(const Uuid& uuid);

// The namespace of the bridge's source identities: a source's UUID is the name-based UUID
// of its camera's brand, model and serial in it.
inline constexpr Uuid kSourceNamespace = {0x6b, 0x3f, 0x2a, 0x51, 0x9c, 0x0e, 0x4d, 0x77,
                                          0xa1, 0x58, 0x2e, 0x90, 0x4c, 0x13, 0xd6, 0x8f};

}  // namespace Kor::Bridge
