// Slow references for sample-id accounting in tests.
#ifndef TARN_TEST_ID_REFERENCE_H
#define TARN_TEST_ID_REFERENCE_H

#include <cstdint>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

// The gaps between the ids seen: every run of ids missing between two seen
// ones, as [first, last].
inline std::vector<std::pair<int64_t, int64_t>> gaps_between(const std::set<int64_t>& seen)
{
    std::vector<std::pair<int64_t, int64_t>> g;
    for (auto it = seen.begin(); it != seen.end(); ++it) {
        auto next = std::next(it);
        if (next != seen.end() && *next > *it + 1) g.emplace_back(*it + 1, *next - 1);
    }
    return g;
}

#endif
