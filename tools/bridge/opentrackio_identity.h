// The identity of a source in OpenTrackIO samples: its identity strings as they are to be
// shown, its sourceId and its camera label.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <kor/telemetry.h>

namespace Kor::Bridge {

// An identity string (a Kor wire string: any bytes) as a sample shows it: cut at its first
// NUL (senders pad fixed fields with NULs), white space (space, tab, line feed, vertical tab,
// form feed, carriage return) trimmed from both ends, and every byte that is not part of a
// UTF-8 character replaced by U+FFFD. Nothing when nothing is left.
std::optional<std::string> IdentityText(std::string_view bytes);

// The sourceId of a camera: the name-based (version 5, SHA-1) UUID, in the bridge's source
// namespace (kSourceNamespace), of the name
//     "camera" 0x00 brand 0x00 model 0x00 serial
// where brand, model and serial are the IdentityText of each (an empty string where that
// gives nothing). After IdentityText no part holds a 0x00 byte, so each triple has its own
// name. Nothing when the serial gives nothing: brand and model do not tell two cameras apart.
std::optional<std::string> SourceIdOfCamera(std::string_view brand, std::string_view model,
                                            std::string_view serial);

// static.camera.label, a readable name of the source: the given label when it has any text,
// otherwise the product name and the serial separated by a space (either alone when the
// other is missing), all through IdentityText and cut to the schema's 1023 characters.
// Nothing when there is no text at all.
std::optional<std::string> CameraLabel(const Protocol::TelemetryData& state,
                                       std::string_view givenLabel = {});

}  // namespace Kor::Bridge
