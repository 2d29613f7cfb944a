// PLACEHOLDER: the five tolerant strategies, replaced by one file per strategy.
#include "core/content_replacer/strategies.hpp"
namespace brindle::replacer {
Candidates block_anchor_replacer(const ContentLines&, std::string_view) { return {}; }
Candidates whitespace_normalized_replacer(const ContentLines&, std::string_view) { return {}; }
std::string normalize_whitespace(std::string_view t) { return std::string(t); }
Candidates indentation_flexible_replacer(const ContentLines&, std::string_view) { return {}; }
std::string remove_common_indentation(std::string_view t) { return std::string(t); }
Candidates escape_normalized_replacer(const ContentLines&, std::string_view) { return {}; }
std::string unescape_string(std::string_view t) { return std::string(t); }
Candidates context_aware_replacer(const ContentLines&, std::string_view) { return {}; }
}  // namespace brindle::replacer
