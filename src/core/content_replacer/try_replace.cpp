// Mapping of the driver's outcomes onto the non-raising result record.
#include "core/content_replacer/try_replace.hpp"

#include <utility>
#include <variant>

#include "core/content_replacer/driver.hpp"

namespace brindle::replacer {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string error_message(const ReplaceError& error) {
    return std::visit(Overloaded{
                          [](const NoChange&) { return std::string(kNoChangeMessage); },
                          [](const NotFound& e) { return e.message; },
                          [](const MultipleMatches& e) { return e.message; },
                      },
                      error);
}

TryReplaceResult try_replace_content(std::string_view content, std::string_view old_string,
                                     std::string_view new_string, bool replace_all,
                                     std::optional<std::uint32_t> line_hint) {
    ReplaceOutcome outcome = replace_content(content, old_string, new_string, replace_all, line_hint);
    TryReplaceResult out;
    if (auto* ok = std::get_if<ReplaceResult>(&outcome)) {
        out.success = true;
        out.result = std::move(*ok);
        return out;
    }
    auto& error = std::get<ReplaceError>(outcome);
    out.error = error_message(error);
    std::visit(Overloaded{
                   [&](NoChange&) { out.error_type = "no_change"; },
                   [&](NotFound& e) {
                       out.error_type = "not_found";
                       out.closest_match = std::move(e.closest_match);
                   },
                   [&](MultipleMatches& e) {
                       out.error_type = "multiple_matches";
                       out.locations = std::move(e.locations);
                   },
               },
               error);
    return out;
}

}  // namespace brindle::replacer
