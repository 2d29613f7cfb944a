// Distinct window texts by rolling hash with full comparison on equal hashes.
//
// The hash is the polynomial hash modulo the Mersenne prime 2^61 - 1 with a fixed odd base; a
// stretch's hash comes from two prefix hashes and one power of the base. Equal hashes are only a
// hint: texts count as equal after a byte comparison, so a collision costs time, never a wrong
// answer.
#include "core/content_replacer/distinct_windows.hpp"

namespace brindle::replacer {

namespace {

constexpr std::uint64_t kModulus = (std::uint64_t{1} << 61) - 1;  // prime, fast reduction
constexpr std::uint64_t kBase = 1'000'003;                          // odd, well above 256

__extension__ typedef unsigned __int128 Wide;

std::uint64_t mul_mod(std::uint64_t a, std::uint64_t b) {
    const Wide product = static_cast<Wide>(a) * b;
    std::uint64_t r = static_cast<std::uint64_t>(product & kModulus) +
                      static_cast<std::uint64_t>(product >> 61);
    if (r >= kModulus) r -= kModulus;
    return r;
}

std::uint64_t add_mod(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t r = a + b;
    return r >= kModulus ? r - kModulus : r;
}

std::uint64_t pow_mod(std::uint64_t base, std::size_t exponent) {
    std::uint64_t result = 1;
    while (exponent > 0) {
        if (exponent & 1) result = mul_mod(result, base);
        base = mul_mod(base, base);
        exponent >>= 1;
    }
    return result;
}

std::uint64_t extend(std::uint64_t hash, std::string_view bytes) {
    for (char c : bytes) hash = add_mod(mul_mod(hash, kBase), static_cast<unsigned char>(c) + 1u);
    return hash;
}

}  // namespace

DistinctWindows::DistinctWindows(const std::vector<std::string_view>& lines) {
    std::uint64_t hash = 0;
    start_.reserve(lines.size() + 1);
    prefix_.reserve(lines.size() + 1);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        start_.push_back(joined_.size());
        prefix_.push_back(hash);
        joined_.append(lines[k]);
        joined_.push_back('\n');
        hash = extend(hash, lines[k]);
        hash = extend(hash, "\n");
    }
    start_.push_back(joined_.size());
    prefix_.push_back(hash);
}

std::uint64_t DistinctWindows::hash_of_stretch(std::size_t from, std::size_t to) const {
    // Line indices: the stretch runs from the start of line `from` to the start of line `to`,
    // including the LF after line to - 1.
    const std::uint64_t head = mul_mod(prefix_[from], pow_mod(kBase, start_[to] - start_[from]));
    return add_mod(prefix_[to], kModulus - head);
}

bool DistinctWindows::seen_before(std::uint64_t hash, std::string_view text) {
    std::vector<std::string_view>& bucket = seen_[hash];
    for (std::string_view earlier : bucket) {
        if (earlier == text) return true;
    }
    bucket.push_back(text);
    return false;
}

void DistinctWindows::remember(std::string_view text) {
    // Hashed as the windows are: with the LF that follows a window's last line in joined_.
    seen_before(extend(extend(0, text), "\n"), text);
}

std::optional<std::string_view> DistinctWindows::first_time(std::size_t begin, std::size_t count) {
    const std::size_t end = begin + count;
    const std::string_view text =
        std::string_view(joined_).substr(start_[begin], start_[end] - start_[begin] - 1);
    if (seen_before(hash_of_stretch(begin, end), text)) return std::nullopt;
    return text;
}

}  // namespace brindle::replacer
