// The numbers kor-bridge gives its sources: OpenTrackIO source numbers and FreeD camera IDs,
// counted up in order of first arrival or pinned to a subject by --source-map and
// --camera-map.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "checked.h"

namespace Kor::Bridge {

// The SubjectId a map may name: 0 to 65534 (65535 stands for a source that sends none).
inline constexpr std::uint32_t kMostMappedSubject = 0xFFFE;

// Reads the SUBJECT=N entries of `option` (such as "--source-map") into `map`: SUBJECT a whole
// number from 0 to kMostMappedSubject, N one from `least` to `most`. Refused, naming the
// option and the entry, for anything else, a subject given twice or a number given to two
// subjects.
Checked ReadSubjectMap(const std::string& option, const std::vector<std::string>& entries,
                       std::uint32_t least, std::uint32_t most,
                       std::map<std::uint32_t, std::uint32_t>& map);

// Hands out one number per source, in the order sources first arrive: the pinned number of
// its subject to the first source with that subject, otherwise the next number from `first`
// up to `most` that is neither pinned nor handed out.
class SourceNumbers {
public:
    SourceNumbers(std::uint32_t first, std::uint32_t most,
                  std::map<std::uint32_t, std::uint32_t> pinned);

    // The number of a new source with this subject; nothing when every number is taken.
    std::optional<std::uint32_t> Next(std::uint32_t subject);

private:
    std::uint32_t next_;
    std::uint32_t most_;
    std::map<std::uint32_t, std::uint32_t> pinned_;  // subject -> number
    std::set<std::uint32_t> reserved_;               // the pinned numbers
    std::set<std::uint32_t> pinnedUsed_;             // subjects whose pin was handed out
};

}  // namespace Kor::Bridge
