// Source numbers and camera IDs per source.
#include "source_numbers.h"

#include <charconv>
#include <utility>

namespace Kor::Bridge {

namespace {

std::optional<std::uint32_t> WholeNumber(const std::string& text, std::uint32_t least,
                                         std::uint32_t most) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < least || value > most) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

Checked ReadSubjectMap(const std::string& option, const std::vector<std::string>& entries,
                       std::uint32_t least, std::uint32_t most,
                       std::map<std::uint32_t, std::uint32_t>& map) {
    std::map<std::uint32_t, std::uint32_t> subjectOf;  // number -> subject
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        const auto subject = equals == std::string::npos
                                 ? std::nullopt
                                 : WholeNumber(entry.substr(0, equals), 0, kMostMappedSubject);
        const auto number = equals == std::string::npos
                                ? std::nullopt
                                : WholeNumber(entry.substr(equals + 1), least, most);
        if (!subject || !number) {
            return Checked::Refused(option + " needs SUBJECT=N with SUBJECT from 0 to " +
                                    std::to_string(kMostMappedSubject) + " and N from " +
                                    std::to_string(least) + " to " + std::to_string(most) +
                                    ", not '" + entry + "'");
        }
        if (map.contains(*subject)) {
            return Checked::Refused(option + ": subject " + std::to_string(*subject) +
                                    " given twice");
        }
        if (const auto other = subjectOf.find(*number); other != subjectOf.end()) {
            return Checked::Refused(option + ": " + std::to_string(*number) +
                                    " given to subjects " + std::to_string(other->second) +
                                    " and " + std::to_string(*subject));
        }
        map[*subject] = *number;
        subjectOf[*number] = *subject;
    }
    return {};
}

SourceNumbers::SourceNumbers(std::uint32_t first, std::uint32_t most,
                             std::map<std::uint32_t, std::uint32_t> pinned)
    : next_(first), most_(most), pinned_(std::move(pinned)) {
    for (const auto& [subject, number] : pinned_) {
        reserved_.insert(number);
    }
}

std::optional<std::uint32_t> SourceNumbers::Next(std::uint32_t subject) {
    if (const auto pin = pinned_.find(subject);
        pin != pinned_.end() && pinnedUsed_.insert(subject).second) {
        return pin->second;
    }
    while (next_ <= most_ && reserved_.contains(next_)) {
        ++next_;
    }
    if (next_ > most_) {
        return std::nullopt;
    }
    return next_++;
}

}  // namespace Kor::Bridge
