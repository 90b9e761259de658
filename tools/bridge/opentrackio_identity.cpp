// Identity strings, sourceId and camera label.
#include "opentrackio_identity.h"

#include <cstddef>

#include "opentrackio.h"
#include "uuid.h"

namespace Kor::Bridge {

namespace {

constexpr std::size_t kMaxCharacters = 1023;  // the schema's longest string

bool IsSpace(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The first `characters` UTF-8 characters of valid UTF-8 text.
std::string FirstCharacters(std::string text, std::size_t characters) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Continuation bytes (10xxxxxx) do not start a character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U && count++ == characters) {
            text.resize(i);
            break;
        }
    }
    return text;
}

}  // namespace

std::optional<std::string> IdentityText(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    while (!bytes.empty() && IsSpace(bytes.front())) {
        bytes.remove_prefix(1);
    }
    while (!bytes.empty() && IsSpace(bytes.back())) {
        bytes.remove_suffix(1);
    }
    if (bytes.empty()) {
        return std::nullopt;
    }
    return CleanText(std::string(bytes));
}

std::optional<std::string> SourceIdOfCamera(std::string_view brand, std::string_view model,
                                            std::string_view serial) {
    const auto serialText = IdentityText(serial);
    if (!serialText) {
        return std::nullopt;
    }
    std::string name("camera");
    for (const auto& part : {IdentityText(brand), IdentityText(model), serialText}) {
        name += '\0';
        name += part.value_or(std::string());
    }
    return UuidUrn(NameUuid(kSourceNamespace, name));
}

std::optional<std::string> CameraLabel(const Protocol::TelemetryData& state,
                                       std::string_view givenLabel) {
    auto label = IdentityText(givenLabel);
    if (!label) {
        const auto name = IdentityText(state.productName);
        const auto serial = IdentityText(state.productSerial);
        if (name && serial) {
            label = *name + ' ' + *serial;
        } else {
            label = name ? name : serial;
        }
    }
    if (label) {
        label = FirstCharacters(std::move(*label), kMaxCharacters);
    }
    return label;
}

}  // namespace Kor::Bridge
