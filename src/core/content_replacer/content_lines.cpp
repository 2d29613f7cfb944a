// The content of one replacement call and the tables derived from it on first use, and the
// candidate lists that refer to it.
//
// Trimmed ids. Every line's trimmed text gets a number from an open-addressing table keyed by the
// text's 64-bit hash; a slot whose hash matches is confirmed by comparing the texts, so two lines
// get the same id exactly when their trimmed texts are equal. One pass over the lines, with the
// table sized from a sample of them (and made to fit at the end), no allocation per line.
//
// Window hashes. A window's text is its lines joined with LF, so it is determined by the sequence
// of its lines, and a text cut at its LF bytes gives that sequence back. The hash of a text is the
// polynomial (modulo the Mersenne prime 2^31 - 1) of the hashes of its LF-separated pieces; for
// windows it comes in O(1) from prefix hashes over the lines, 4 bytes a line. Equal hashes are
// only a hint: users confirm equality by comparing texts, so the odd collision of a 31-bit hash
// costs one comparison, never a wrong answer.
//
// Windows of one text. Many candidate windows often share one text (a block in a run of equal
// lines, a repeated block); comparing each with the first costs its length each time. A window
// that comes p lines after the latest one of its class, as the one before came p lines after its
// predecessor, repeats it exactly when its last p lines repeat the p lines before them, since
// the lines before those are already known to repeat with period p (WindowRun).
//
// Window lengths. A window's text is the stretch of the content from its first line's start to
// its last line's end, less one byte for every line break in it that is CR LF; without CR LF in
// the content that is the stretch itself, and otherwise prefix counts of CR LF line ends give it.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>

#include "core/cancel.hpp"
#include "core/content_replacer/types.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

constexpr std::uint64_t kModulus = (std::uint64_t{1} << 31) - 1;  // prime, fast reduction
constexpr std::uint64_t kBase = 1'000'003;                        // odd, well above 256

// Both factors below the modulus: the product fits 62 bits and one fold brings it below 2^32.
std::uint64_t mul_mod(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t product = a * b;
    std::uint64_t r = (product & kModulus) + (product >> 31);
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

std::uint64_t piece_hash(std::string_view piece) {
    return static_cast<std::uint64_t>(std::hash<std::string_view>{}(piece)) % kModulus;
}

}  // namespace

void LazyLines::build() const {
    // Counted first so that the table is allocated once, at its final size.
    starts_.reserve(text::count_lines(text_) + 1);
    std::size_t start = 0;
    while (start < text_.size()) {
        starts_.push_back(start);
        const void* hit = std::memchr(text_.data() + start, '\n', text_.size() - start);
        if (hit == nullptr) {
            start = text_.size();
            break;
        }
        start = static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data()) + 1;
        poll_interrupt();
    }
    starts_.push_back(start);
    built_ = true;
}

struct ContentLines::Ids {
    struct Slot {
        std::uint32_t check;  // high half of the text's hash
        std::uint32_t id;     // kAbsent: empty slot
    };
    // `capacity` slots (a power of two, room for every text), every text entered again.
    void resize(std::size_t capacity) {
        std::vector<Slot> old(capacity, Slot{0, kAbsent});
        old.swap(slots);
        mask = slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.id == kAbsent) continue;
            std::uint64_t at = hash_of_id[slot.id] & mask;
            while (slots[at].id != kAbsent) at = (at + 1) & mask;
            slots[at] = slot;
        }
    }

    std::vector<std::uint32_t> of_line;
    std::vector<std::string_view> text_of_id;
    std::vector<std::uint64_t> hash_of_id;
    std::vector<Slot> slots;  // size a power of two, at most two thirds full
    std::uint64_t mask = 0;

    static std::uint64_t hash_of(std::string_view trimmed) {
        return static_cast<std::uint64_t>(std::hash<std::string_view>{}(trimmed));
    }

    std::uint32_t find_or_add(std::string_view trimmed, bool add) {
        return find_or_add(trimmed, hash_of(trimmed), add);
    }

    std::uint32_t find_or_add(std::string_view trimmed, std::uint64_t hash, bool add) {
        const auto check = static_cast<std::uint32_t>(hash >> 32);
        for (std::uint64_t at = hash & mask;; at = (at + 1) & mask) {
            Slot& slot = slots[at];
            if (slot.id == kAbsent) {
                if (!add) return kAbsent;
                const auto id = static_cast<std::uint32_t>(text_of_id.size());
                slot = {check, id};
                text_of_id.push_back(trimmed);
                hash_of_id.push_back(hash);
                if (3 * text_of_id.size() > 2 * slots.size()) resize(2 * slots.size());
                return id;
            }
            if (slot.check == check && text_of_id[slot.id] == trimmed) return slot.id;
        }
    }
};

struct ContentLines::Sums {
    std::vector<std::uint32_t> hash;  // hash[k]: polynomial hash of lines 0..k-1
    std::size_t power_count = 0;      // a one-entry cache of kBase^power_count
    std::uint64_t power = 1;
};

ContentLines::ContentLines(std::string_view t, std::uint64_t narrow_max)
    : text(t), lines(t, narrow_max), crlf_before_(narrow_max) {}

ContentLines::~ContentLines() = default;

const std::vector<std::uint32_t>& ContentLines::trimmed_ids() const {
    if (!ids_) {
        auto ids = std::make_unique<Ids>();
        const LazyLines& all = lines;
        // Sized for the share of distinct trimmed texts among up to 256 evenly spread lines (a
        // sample overstates the share a little, which saves doublings), and doubled when two
        // thirds full: most lines of code are distinct, while a file of repeated lines needs a
        // small table.
        const std::size_t n = all.size();
        std::size_t expected = 0;
        if (n > 0) {
            constexpr std::size_t kSamples = 256;
            const std::size_t samples = std::min(n, kSamples);
            std::array<std::uint64_t, kSamples> sampled{};
            for (std::size_t s = 0; s < samples; ++s) {
                sampled[s] = Ids::hash_of(text::trim(all[s * n / samples]));
            }
            std::sort(sampled.begin(), sampled.begin() + static_cast<std::ptrdiff_t>(samples));
            const auto distinct = static_cast<std::size_t>(
                std::unique(sampled.begin(), sampled.begin() + static_cast<std::ptrdiff_t>(samples)) -
                sampled.begin());
            expected = n / samples * distinct + n % samples * distinct / samples;
        }
        std::size_t capacity = 64;
        while (2 * capacity < 3 * expected) capacity *= 2;
        ids->slots.assign(capacity, Ids::Slot{0, kAbsent});
        ids->mask = capacity - 1;
        ids->of_line.reserve(all.size());
        // In batches: the slots of a batch are fetched from memory together, since nearly every
        // look-up of a large table misses the cache.
        constexpr std::size_t kBatch = 16;
        std::string_view trimmed[kBatch];
        std::uint64_t hashes[kBatch];
        for (std::size_t begin = 0; begin < all.size(); begin += kBatch) {
            const std::size_t count = std::min(kBatch, all.size() - begin);
            for (std::size_t j = 0; j < count; ++j) {
                trimmed[j] = text::trim(all[begin + j]);
                hashes[j] = Ids::hash_of(trimmed[j]);
                __builtin_prefetch(&ids->slots[hashes[j] & ids->mask]);
            }
            for (std::size_t j = 0; j < count; ++j) {
                ids->of_line.push_back(ids->find_or_add(trimmed[j], hashes[j], true));
            }
            poll_interrupt(kBatch);
        }
        std::size_t fitting = 64;
        while (2 * fitting < 3 * ids->text_of_id.size()) fitting *= 2;
        if (4 * fitting <= ids->slots.size()) ids->resize(fitting);
        ids_ = std::move(ids);
    }
    return ids_->of_line;
}

std::uint32_t ContentLines::id_of_trimmed(std::string_view trimmed) const {
    trimmed_ids();
    return ids_->find_or_add(trimmed, false);
}

std::string_view ContentLines::trimmed(std::size_t k) const {
    return text::trim(lines[k]);
}

const ContentLines::Sums& ContentLines::sums() const {
    if (!sums_) {
        auto sums = std::make_unique<Sums>();
        const std::size_t n = lines.size();
        sums->hash.reserve(n + 1);
        std::uint64_t hash = 0;
        sums->hash.push_back(0);
        for (std::size_t k = 0; k < n; ++k) {
            hash = add_mod(mul_mod(hash, kBase), piece_hash(lines[k]));
            sums->hash.push_back(static_cast<std::uint32_t>(hash));
            poll_interrupt();
        }
        sums_ = std::move(sums);
    }
    return *sums_;
}

std::size_t ContentLines::crlf_breaks(std::size_t begin, std::size_t count) const {
    if (!crlf_known_) {
        if (text.find("\r\n") != std::string_view::npos) {
            const std::size_t n = lines.size();
            crlf_before_.reserve(n + 1);
            std::size_t before = 0;
            crlf_before_.push_back(0);
            for (std::size_t k = 0; k < n; ++k) {
                // Line k ends in CR LF when its break, the bytes up to the next line, is two long.
                const std::size_t end = lines.start(k) + lines[k].size();
                before += lines.start(k + 1) - end == 2;
                crlf_before_.push_back(before);
                poll_interrupt();
            }
        }
        crlf_known_ = true;
    }
    if (crlf_before_.empty() || count < 2) return 0;
    return crlf_before_[begin + count - 1] - crlf_before_[begin];
}

std::string_view ContentLines::window_span(std::size_t begin, std::size_t count) const {
    const std::size_t last = begin + count - 1;
    const std::size_t start = lines.start(begin);
    return text.substr(start, lines.start(last) + lines[last].size() - start);
}

std::size_t ContentLines::window_length(std::size_t begin, std::size_t count) const {
    return window_span(begin, count).size() - crlf_breaks(begin, count);
}

bool ContentLines::window_is_contiguous(std::size_t begin, std::size_t count) const {
    return crlf_breaks(begin, count) == 0;
}

std::string ContentLines::window_text(std::size_t begin, std::size_t count) const {
    const std::string_view span = window_span(begin, count);
    if (crlf_breaks(begin, count) == 0) return std::string(span);
    std::string out;
    out.reserve(span.size());
    for (std::size_t k = begin; k < begin + count; ++k) {
        if (k > begin) out.push_back('\n');
        out.append(lines[k]);
    }
    return out;
}

std::uint64_t ContentLines::window_hash(std::size_t begin, std::size_t count) const {
    const Sums& s = sums();
    if (s.power_count != count) {
        sums_->power = pow_mod(kBase, count);
        sums_->power_count = count;
    }
    const std::uint64_t head = mul_mod(s.hash[begin], s.power);
    return add_mod(s.hash[begin + count], kModulus - head);
}

bool ContentLines::window_equals(std::size_t begin, std::size_t count, std::string_view other) const {
    if (window_length(begin, count) != other.size()) return false;
    if (window_is_contiguous(begin, count)) return window_span(begin, count) == other;
    std::size_t at = 0;
    for (std::size_t k = begin; k < begin + count; ++k) {
        const std::string_view line = lines[k];
        if (k > begin) {
            if (other[at] != '\n') return false;
            ++at;
        }
        if (other.compare(at, line.size(), line) != 0) return false;
        at += line.size();
    }
    return true;
}

bool ContentLines::windows_equal(std::size_t begin_a, std::size_t count_a, std::size_t begin_b,
                                 std::size_t count_b) const {
    // Lines hold no LF, so two joined texts are equal exactly when their lines are.
    if (count_a != count_b || window_length(begin_a, count_a) != window_length(begin_b, count_b)) {
        return false;
    }
    if (begin_a == begin_b) return true;
    if (window_is_contiguous(begin_a, count_a) && window_is_contiguous(begin_b, count_b)) {
        return window_span(begin_a, count_a) == window_span(begin_b, count_b);
    }
    for (std::size_t k = 0; k < count_a; ++k) {
        if (lines[begin_a + k] != lines[begin_b + k]) return false;
    }
    return true;
}

bool ContentLines::same_text_as(WindowRun& run, std::size_t begin) const {
    const std::size_t count = run.count;
    if (begin == run.last) return true;
    if (begin < run.last) {
        // An earlier window (a new pass over the content) becomes the latest member: the windows
        // after it are then compared with their predecessors again.
        if (!windows_equal(begin, count, run.last, count)) return false;
        run = {begin, count, 0};
        return true;
    }
    // Windows run.last and begin = run.last + p have one text exactly when lines x and x + p are
    // equal for x in [run.last, run.last + count). With the same spacing as the step before, the
    // pairs up to run.last + count - p are known equal, and only the last p are compared.
    const std::size_t p = begin - run.last;
    const bool known = p == run.period && p < count;
    const bool same = known ? windows_equal(run.last + count - p, p, run.last + count, p)
                            : windows_equal(run.last, count, begin, count);
    if (same) {
        run.last = begin;
        run.period = p < count ? p : 0;
    }
    return same;
}

std::uint64_t ContentLines::text_hash(std::string_view text) {
    std::uint64_t hash = 0;
    std::size_t start = 0;
    for (;;) {
        const void* hit =
            start < text.size() ? std::memchr(text.data() + start, '\n', text.size() - start) : nullptr;
        const std::size_t end =
            hit == nullptr ? text.size()
                           : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        hash = add_mod(mul_mod(hash, kBase), piece_hash(text.substr(start, end - start)));
        if (hit == nullptr) return hash;
        start = end + 1;
    }
}

void Candidates::add_view(std::string_view text) {
    if (runs_.empty() || runs_.back().windows) runs_.push_back({size(), views_.size(), false});
    views_.push_back({text.data(), text.size(), 0});
}

void Candidates::add_owned(std::string text) {
    owned_.push_back(std::move(text));
    add_view(owned_.back());
}

void Candidates::add_window(const ContentLines& content, std::size_t begin, std::size_t count) {
    content_ = &content;
    if (runs_.empty() || !runs_.back().windows) {
        runs_.push_back({size(), window_begins_.size(), true});
    }
    if (window_begins_.empty()) {
        shared_count_ = count;
    } else if (window_counts_.empty() && count != shared_count_) {
        window_counts_.reserve(window_begins_.size() + 1);
        for (std::size_t w = 0; w < window_begins_.size(); ++w) window_counts_.push_back(shared_count_);
    }
    if (!window_counts_.empty()) window_counts_.push_back(count);
    window_begins_.push_back(begin);
}

std::pair<bool, std::size_t> Candidates::locate(std::size_t k) const {
    // The last run that starts at or before k; there are rarely more than two.
    std::size_t r = runs_.size() - 1;
    while (runs_[r].first > k) --r;
    return {runs_[r].windows, runs_[r].at + (k - runs_[r].first)};
}

std::optional<std::pair<std::size_t, std::size_t>> Candidates::window(std::size_t k) const {
    const auto [is_window, at] = locate(k);
    if (!is_window) return std::nullopt;
    return std::pair(window_begins_[at], window_count(at));
}

std::size_t Candidates::search_from(std::size_t k) const {
    const auto [is_window, at] = locate(k);
    return is_window ? 0 : views_[at].search_from;
}

void Candidates::set_search_from(std::size_t k, std::size_t pos) {
    const auto [is_window, at] = locate(k);
    if (!is_window) views_[at].search_from = pos;
}

std::string_view Candidates::text(std::size_t k, std::string& scratch) const {
    const auto [is_window, at] = locate(k);
    if (!is_window) return {views_[at].data, views_[at].size};
    const std::size_t begin = window_begins_[at];
    const std::size_t count = window_count(at);
    if (content_->window_is_contiguous(begin, count)) return content_->window_span(begin, count);
    scratch = content_->window_text(begin, count);
    return scratch;
}

std::size_t Candidates::length(std::size_t k) const {
    const auto [is_window, at] = locate(k);
    if (!is_window) return views_[at].size;
    return content_->window_length(window_begins_[at], window_count(at));
}

std::uint64_t Candidates::hash(std::size_t k) const {
    const auto [is_window, at] = locate(k);
    if (!is_window) return ContentLines::text_hash({views_[at].data, views_[at].size});
    return content_->window_hash(window_begins_[at], window_count(at));
}

bool Candidates::equals(std::size_t k, std::string_view other) const {
    const auto [is_window, at] = locate(k);
    if (!is_window) return std::string_view(views_[at].data, views_[at].size) == other;
    return content_->window_equals(window_begins_[at], window_count(at), other);
}

bool Candidates::equals_window(std::size_t k, const ContentLines& content, std::size_t begin,
                               std::size_t count) const {
    const auto [is_window, at] = locate(k);
    if (!is_window) return content.window_equals(begin, count, {views_[at].data, views_[at].size});
    return content.windows_equal(window_begins_[at], window_count(at), begin, count);
}

std::vector<std::string> Candidates::strings() const {
    std::vector<std::string> out;
    out.reserve(size());
    std::string scratch;
    for (std::size_t k = 0; k < size(); ++k) out.emplace_back(text(k, scratch));
    return out;
}

}  // namespace brindle::replacer
