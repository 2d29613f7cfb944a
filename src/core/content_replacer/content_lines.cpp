// The content split into lines once per replacement call.
#include "core/content_replacer/types.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

ContentLines::ContentLines(std::string_view t) : text(t), lines(text::split_lines(t)) {}

}  // namespace brindle::replacer
