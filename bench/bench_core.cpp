// Timing driver for core routines that the Python module does not expose on their own; the Python
// script bench_edit_distance.py runs it on the inputs it generates and compares the times with
// its baselines measured in the same run.
//
//   bench_core distance A B LIMIT REPEAT          best seconds of levenshtein_distance(A, B), or of
//                                                 levenshtein_distance_within(A, B, LIMIT) when
//                                                 LIMIT >= 0; prints "seconds result"
//   bench_core most_similar CONTENT OLD MIN REPEAT best seconds of find_most_similar_window
//   bench_core closest CONTENT OLD REPEAT         best seconds of find_closest_match
//   bench_core strategies CONTENT OLD REPEAT      best seconds of each matching strategy on its
//                                                 own; prints "name seconds candidates" per line
//   bench_core line_pair A B NUMBER               CPU seconds per call of the streaming matcher's
//                                                 bounded distance of query line A (prepared once)
//                                                 to source line B, limit a fifth of the longer
//                                                 byte length, over NUMBER calls; prints "seconds
//                                                 result" (-1 when beyond the limit)
//
// A and B, CONTENT and OLD are file names. Build (Release core library from build/cxx):
//   cmake -S . -B build/cxx -DBRINDLE_PYTHON=OFF && cmake --build build/cxx --target brindle_core
//   g++ -O3 -std=c++20 -Isrc bench/bench_core.cpp build/cxx/libbrindle_core.a -o build/bench_core
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "core/content_replacer/diagnostics.hpp"
#include "core/content_replacer/strategies.hpp"
#include "core/edit_distance.hpp"
#include "core/streaming_matcher.hpp"

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class F>
double best_seconds(int repeat, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        if (dt.count() < best) best = dt.count();
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string cmd = argv[1];
    if (cmd == "distance" && argc == 6) {
        const std::string a = read_file(argv[2]);
        const std::string b = read_file(argv[3]);
        const long long limit = std::atoll(argv[4]);
        const int repeat = std::atoi(argv[5]);
        long long result = 0;
        const double t = best_seconds(repeat, [&] {
            if (limit < 0) {
                result = static_cast<long long>(brindle::levenshtein_distance(a, b));
            } else {
                const auto d =
                    brindle::levenshtein_distance_within(a, b, static_cast<std::uint64_t>(limit));
                result = d ? static_cast<long long>(*d) : -1;
            }
        });
        std::printf("%.9f %lld\n", t, result);
        return 0;
    }
    if ((cmd == "most_similar" && argc == 6) || (cmd == "closest" && argc == 5)) {
        const std::string content = read_file(argv[2]);
        const std::string old_string = read_file(argv[3]);
        const bool closest = cmd == "closest";
        const double min_similarity = closest ? 0.0 : std::atof(argv[4]);
        const int repeat = std::atoi(argv[closest ? 4 : 5]);
        std::optional<brindle::replacer::FuzzyMatchInfo> found;
        const brindle::replacer::ContentLines lines(content);
        const double t = best_seconds(repeat, [&] {
            found = closest ? brindle::replacer::find_closest_match(lines, old_string)
                            : brindle::replacer::find_most_similar_window(lines, old_string,
                                                                          min_similarity);
        });
        if (found) {
            std::printf("%.9f %.17g %llu\n", t, found->similarity,
                        static_cast<unsigned long long>(found->start_line));
        } else {
            std::printf("%.9f none\n", t);
        }
        return 0;
    }
    if (cmd == "line_pair" && argc == 5) {
        const std::string a = read_file(argv[2]);
        const std::string b = read_file(argv[3]);
        const long number = std::atol(argv[4]);
        const brindle::streaming::detail::QueryLine query(a);
        const brindle::streaming::detail::LineKey key = brindle::streaming::detail::line_key(b);
        const std::uint64_t limit = std::max(query.key().length, key.length) / 5;
        std::uint64_t work = 0;
        std::uint64_t result = 0;
        timespec t0{}, t1{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
        for (long k = 0; k < number; ++k) result = query.distance_within(key, limit, work);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
        const double seconds = static_cast<double>(t1.tv_sec - t0.tv_sec) +
                               static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
        std::printf("%.9f %lld\n", seconds / static_cast<double>(number),
                    result <= limit ? static_cast<long long>(result) : -1LL);
        return 0;
    }
    if (cmd == "strategies" && argc == 5) {
        const std::string content = read_file(argv[2]);
        const std::string old_string = read_file(argv[3]);
        const int repeat = std::atoi(argv[4]);
        for (const brindle::replacer::Strategy& s : brindle::replacer::kStrategies) {
            std::size_t found = 0;
            const double t = best_seconds(repeat, [&] {
                // Fresh shared tables each time: their cost goes to the strategy that builds them.
                const brindle::replacer::ContentLines lines(content);
                found = s.find(lines, old_string).size();
            });
            std::printf("%.*s %.9f %zu\n", static_cast<int>(s.name.size()), s.name.data(), t, found);
        }
        return 0;
    }
    std::fprintf(stderr, "usage: see the comment at the top of bench_core.cpp\n");
    return 2;
}
