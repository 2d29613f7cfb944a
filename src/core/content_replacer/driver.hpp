// The replacement driver: asks the strategies in their fixed order for candidates and applies the
// first one that can be placed unambiguously.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/content_replacer/types.hpp"

namespace brindle::replacer {

// Replaces `old_string` (or the text a tolerant strategy finds for it) in `content`.
// `line_hint` is a 1-based line number that picks among several occurrences.
ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint);

// The strategy names in the order the driver tries them.
std::span<const std::string_view> strategy_names();

// A set of strategies: bit i stands for strategy_names()[i].
using StrategyMask = std::uint64_t;
inline constexpr StrategyMask kAllStrategies = ~StrategyMask{0};

// As above, but only the strategies in `allowed` may place the edit; the others are not asked.
// The failure is still "multiple matches" when an allowed strategy found candidates. A not-found
// error's closest-match search gets `closest_work_budget` units of work (build_not_found_error);
// without one it runs to its end, as above.
ReplaceOutcome replace_content(std::string_view content, std::string_view old_string,
                               std::string_view new_string, bool replace_all,
                               std::optional<std::uint32_t> line_hint, StrategyMask allowed,
                               std::optional<std::int64_t> closest_work_budget = std::nullopt);

}  // namespace brindle::replacer
