// The content of one replacement call and the tables derived from it on first use, and the
// candidate lists that refer to it.
//
// Trimmed ids. Every line's trimmed text gets a number from an open-addressing table keyed by the
// text's 64-bit hash; a slot whose hash matches is confirmed by comparing the texts, so two lines
// get the same id exactly when their trimmed texts are equal. One pass over the lines, one
// allocation for the table, none per line.
//
// Window hashes. A window's text is its lines joined with LF, so it is determined by the sequence
// of its lines, and a text cut at its LF bytes gives that sequence back. The hash of a text is the
// polynomial (modulo the Mersenne prime 2^61 - 1) of the hashes of its LF-separated pieces; for
// windows it comes in O(1) from prefix hashes over the lines. Equal hashes are only a hint: users
// confirm equality by comparing texts.
#include <algorithm>
#include <cstring>
#include <functional>

#include "core/cancel.hpp"
#include "core/content_replacer/types.hpp"
#include "core/text.hpp"

namespace brindle::replacer {

namespace {

constexpr std::uint64_t kModulus = (std::uint64_t{1} << 61) - 1;  // prime, fast reduction
constexpr std::uint64_t kBase = 1'000'003;                        // odd, well above 256

__extension__ typedef unsigned __int128 Wide;

std::uint64_t mul_mod(std::uint64_t a, std::uint64_t b) {
    const Wide product = static_cast<Wide>(a) * b;
    std::uint64_t r =
        static_cast<std::uint64_t>(product & kModulus) + static_cast<std::uint64_t>(product >> 61);
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

const std::vector<std::string_view>& LazyLines::get() const {
    if (!built_) {
        // Counted first so that the vector is allocated once, at its final size. The rule is
        // text::split_lines': cut after each LF, drop the LF and one CR before it.
        lines_.reserve(text::count_lines(text_));
        std::size_t start = 0;
        while (start < text_.size()) {
            const void* hit = std::memchr(text_.data() + start, '\n', text_.size() - start);
            if (hit == nullptr) {
                lines_.push_back(text_.substr(start));
                break;
            }
            const auto lf = static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data());
            const std::size_t end = (lf > start && text_[lf - 1] == '\r') ? lf - 1 : lf;
            lines_.push_back(text_.substr(start, end - start));
            start = lf + 1;
            poll_interrupt();
        }
        built_ = true;
    }
    return lines_;
}

struct ContentLines::Ids {
    struct Slot {
        std::uint32_t check;  // high half of the text's hash
        std::uint32_t id;     // kAbsent: empty slot
    };
    // Twice as many slots, every text entered again.
    void grow() {
        std::vector<Slot> old(2 * slots.size(), Slot{0, kAbsent});
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
                if (3 * text_of_id.size() > 2 * slots.size()) grow();
                return id;
            }
            if (slot.check == check && text_of_id[slot.id] == trimmed) return slot.id;
        }
    }
};

struct ContentLines::Sums {
    std::vector<std::size_t> length;  // length[k]: bytes of lines 0..k-1 (without line breaks)
    std::vector<std::uint64_t> hash;  // hash[k]: polynomial hash of lines 0..k-1
    std::size_t power_count = 0;      // a one-entry cache of kBase^power_count
    std::uint64_t power = 1;
};

ContentLines::ContentLines(std::string_view t) : text(t), lines(t) {}

ContentLines::~ContentLines() = default;

const std::vector<std::uint32_t>& ContentLines::trimmed_ids() const {
    if (!ids_) {
        auto ids = std::make_unique<Ids>();
        const std::vector<std::string_view>& all = lines;
        // Sized for a quarter of the lines being distinct, and doubled when two thirds full.
        std::size_t capacity = 64;
        while (2 * capacity < 3 * (all.size() / 4)) capacity *= 2;
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
        const std::vector<std::string_view>& all = lines;
        sums->length.reserve(all.size() + 1);
        sums->hash.reserve(all.size() + 1);
        std::size_t length = 0;
        std::uint64_t hash = 0;
        sums->length.push_back(0);
        sums->hash.push_back(0);
        for (std::string_view line : all) {
            length += line.size();
            hash = add_mod(mul_mod(hash, kBase), piece_hash(line));
            sums->length.push_back(length);
            sums->hash.push_back(hash);
            poll_interrupt();
        }
        sums_ = std::move(sums);
    }
    return *sums_;
}

std::string_view ContentLines::window_span(std::size_t begin, std::size_t count) const {
    const std::string_view first = lines[begin];
    const std::string_view last = lines[begin + count - 1];
    return {first.data(), static_cast<std::size_t>(last.data() + last.size() - first.data())};
}

std::size_t ContentLines::window_length(std::size_t begin, std::size_t count) const {
    const Sums& s = sums();
    return s.length[begin + count] - s.length[begin] + (count - 1);
}

bool ContentLines::window_is_contiguous(std::size_t begin, std::size_t count) const {
    // Every line but the content's last is followed by LF or CR LF.
    for (std::size_t k = begin; k + 1 < begin + count; ++k) {
        if (lines[k].data()[lines[k].size()] != '\n') return false;
    }
    return true;
}

std::string ContentLines::window_text(std::size_t begin, std::size_t count) const {
    const std::vector<std::string_view>& all = lines;
    return text::join_lines(all, begin, count);
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

void Candidates::add_owned(std::string text) {
    owned_.push_back(std::move(text));
    add_view(owned_.back());
}

void Candidates::add_window(const ContentLines& content, std::size_t begin, std::size_t count) {
    content_ = &content;
    items_.push_back({nullptr, begin, count | kWindow});
}

std::string_view Candidates::text(std::size_t k, std::string& scratch) const {
    if (!is_window(k)) return view(k);
    const std::size_t begin = items_[k].a;
    const std::size_t count = items_[k].b & ~kWindow;
    if (content_->window_is_contiguous(begin, count)) return content_->window_span(begin, count);
    scratch = content_->window_text(begin, count);
    return scratch;
}

std::size_t Candidates::length(std::size_t k) const {
    if (!is_window(k)) return items_[k].a;
    return content_->window_length(items_[k].a, items_[k].b & ~kWindow);
}

std::uint64_t Candidates::hash(std::size_t k) const {
    if (!is_window(k)) return ContentLines::text_hash(view(k));
    return content_->window_hash(items_[k].a, items_[k].b & ~kWindow);
}

bool Candidates::equals(std::size_t k, std::string_view other) const {
    if (!is_window(k)) return view(k) == other;
    return content_->window_equals(items_[k].a, items_[k].b & ~kWindow, other);
}

bool Candidates::equals_window(std::size_t k, const ContentLines& content, std::size_t begin,
                               std::size_t count) const {
    if (!is_window(k)) return content.window_equals(begin, count, view(k));
    return content.windows_equal(items_[k].a, items_[k].b & ~kWindow, begin, count);
}

std::vector<std::string> Candidates::strings() const {
    std::vector<std::string> out;
    out.reserve(items_.size());
    std::string scratch;
    for (std::size_t k = 0; k < items_.size(); ++k) out.emplace_back(text(k, scratch));
    return out;
}

}  // namespace brindle::replacer
