// The non-raising replacement: every outcome of the driver as one record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// The words the caller sees for a NoChange outcome.
inline constexpr std::string_view kNoChangeMessage = "old_string and new_string must be different";

struct TryReplaceResult {
    bool success = false;
    std::optional<ReplaceResult> result;
    std::optional<std::string> error;
    std::optional<std::string> error_type;  // "not_found", "multiple_matches" or "no_change"
    std::optional<FuzzyMatchInfo> closest_match;
    std::optional<std::vector<std::uint64_t>> locations;
};

// Runs the driver and maps its outcome; never fails.
TryReplaceResult try_replace_content(std::string_view content, std::string_view old_string,
                                     std::string_view new_string, bool replace_all,
                                     std::optional<std::uint32_t> line_hint);

// The message of a failed replacement, as the raising entry point reports it.
std::string error_message(const ReplaceError& error);

}  // namespace brindle::replacer
