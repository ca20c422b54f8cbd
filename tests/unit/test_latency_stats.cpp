// The statistics engine against slow exact references: sorted copies for
// percentiles, the vector-based gap list for sample ids, recomputation from
// scratch for the sliding window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "latency_stats.h"

namespace {

// Reference percentile: the smallest value with at least num/den of the
// values at or below it, found by counting.
double ref_percentile(std::vector<double> v, uint64_t num, uint64_t den)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    for (size_t i = 0; i < v.size(); i++) {
        const size_t at_or_below = static_cast<size_t>(std::upper_bound(v.begin(), v.end(), v[i]) - v.begin());
        if (at_or_below * den >= num * v.size()) return v[i];
    }
    return v.back();
}

// Values of the log: thousandths, with few distinct ones on some rounds so
// ties are common, and now and then a value beyond thousandths.
std::vector<double> random_values(std::mt19937& rng, size_t n, int spread, bool big)
{
    std::uniform_int_distribution<int> d(-spread / 10, spread);
    std::vector<double> v(n);
    for (double& x : v) {
        x = d(rng) / 1000.0;
        if (big && rng() % 50 == 0) x = (rng() % 2 ? 1 : -1) * (1e12 + static_cast<double>(rng() % 1000) * 1e9);
    }
    return v;
}

void expect_same_value(double got, double want, const char* what)
{
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << what;
        return;
    }
    EXPECT_EQ(got, want) << what;
}

// The gap list kept as a sorted vector, as simple as it can be: the
// reference for id_tracker_t.
struct ref_ids {
    bool any = false;
    uint32_t prev_id = 0;
    int64_t prev = 0;
    std::set<int64_t> seen;
    uint64_t repeats = 0, out_of_order = 0;
    void add(uint32_t id)
    {
        int64_t x = id;
        if (any) x = prev + static_cast<int32_t>(id - prev_id);
        if (seen.count(x)) {
            repeats++;
        } else if (any && x < *seen.rbegin()) {
            out_of_order++;
        }
        any = true;
        prev = x;
        prev_id = id;
        seen.insert(x);
    }
    std::vector<std::pair<int64_t, int64_t>> gaps() const
    {
        std::vector<std::pair<int64_t, int64_t>> g;
        for (auto it = seen.begin(); it != seen.end(); ++it) {
            auto next = std::next(it);
            if (next != seen.end() && *next > *it + 1) g.emplace_back(*it + 1, *next - 1);
        }
        return g;
    }
};

}  // namespace

TEST(ValueHistogram, PercentilesMinMaxMeanMatchASortedCopy)
{
    std::mt19937 rng(11);
    const std::pair<uint64_t, uint64_t> ps[] = {{0, 100}, {1, 100}, {25, 100}, {50, 100}, {95, 100},
                                                {99, 100}, {999, 1000}, {100, 100}};
    for (size_t n : {1u, 2u, 3u, 19u, 20u, 21u, 100u, 101u, 1000u, 5003u}) {
        for (int round = 0; round < 6; round++) {
            const std::vector<double> v = random_values(rng, n, round % 2 ? 5 : 200000, round >= 4);
            value_histogram_t h;
            for (double x : v) h.add(x);
            ASSERT_EQ(h.count(), n);
            EXPECT_EQ(h.distinct(), std::set<double>(v.begin(), v.end()).size()) << "one entry per distinct value";
            for (const auto& [num, den] : ps)
                EXPECT_EQ(h.percentile(num, den), ref_percentile(v, num, den)) << "n=" << n << " p=" << num << "/" << den;
            EXPECT_EQ(h.min(), *std::min_element(v.begin(), v.end()));
            EXPECT_EQ(h.max(), *std::max_element(v.begin(), v.end()));
            long double sum = 0;
            for (double x : v) sum += x;
            EXPECT_NEAR(h.mean(), static_cast<double>(sum / n), 1e-9 * std::max(1.0, std::fabs(static_cast<double>(sum / n))));
            const column_stats_t s = h.stats(7);
            EXPECT_EQ(s.n, n);
            EXPECT_EQ(s.nonfinite, 7u);
            EXPECT_EQ(s.p50, ref_percentile(v, 50, 100));
            EXPECT_EQ(s.p95, ref_percentile(v, 95, 100));
            EXPECT_EQ(s.p99, ref_percentile(v, 99, 100));
            // sorted() holds every value once with its count, ascending.
            const auto sorted = h.sorted();
            uint64_t total = 0;
            for (size_t i = 0; i < sorted.size(); i++) {
                total += sorted[i].second;
                if (i) {
                    EXPECT_LT(sorted[i - 1].first, sorted[i].first);
                }
                EXPECT_EQ(sorted[i].second, static_cast<uint64_t>(std::count(v.begin(), v.end(), sorted[i].first)));
            }
            EXPECT_EQ(total, n);
        }
    }
}

TEST(ValueHistogram, NearestRanksAreExactAtTheEdges)
{
    // 95% of 20 values is rank 19, of 21 rank 20; 0% is rank 1.
    EXPECT_EQ(nearest_rank_index(20, 95, 100), 19u);
    EXPECT_EQ(nearest_rank_index(21, 95, 100), 20u);
    EXPECT_EQ(nearest_rank_index(10, 0, 100), 1u);
    EXPECT_EQ(nearest_rank_index(1000000, 999, 1000), 999000u);
    EXPECT_EQ(nearest_rank_index(0, 50, 100), 0u);
    value_histogram_t h;
    for (int i = 1; i <= 20; i++) h.add(i);
    EXPECT_EQ(h.percentile(95, 100), 19.0);
    h.add(21);
    EXPECT_EQ(h.percentile(95, 100), 20.0);
}

TEST(ValueHistogram, ThousandthsAreExactAndMemoryFollowsDistinctValues)
{
    value_histogram_t h;
    // The float a log line reads to lands on its thousandth.
    h.add(static_cast<float>(20.254));
    h.add(20.254);
    h.add(-0.0);
    h.add(0.0);
    EXPECT_EQ(h.distinct(), 2u);
    EXPECT_EQ(h.max(), 20.254);
    EXPECT_EQ(h.min(), 0.0);
    // A million values of three distinct thousandths: three entries.
    value_histogram_t m;
    for (int i = 0; i < 1000000; i++) m.add((i % 3) * 0.001);
    EXPECT_EQ(m.distinct(), 3u);
    EXPECT_EQ(m.count(), 1000000u);
    EXPECT_EQ(m.percentile(50, 100), 0.001);
    // 0.1 + 0.2 summed in doubles is 0.30000000000000004; in thousandths the
    // mean is exact.
    value_histogram_t t;
    t.add(0.1);
    t.add(0.2);
    t.add(0.3);
    EXPECT_EQ(t.mean(), 0.2);
    // Empty: NaN everywhere, n 0.
    value_histogram_t e;
    EXPECT_TRUE(std::isnan(e.min()) && std::isnan(e.max()) && std::isnan(e.mean()));
    EXPECT_TRUE(std::isnan(e.percentile(50, 100)));
    // Merging is adding every value of the other.
    value_histogram_t a, b, both;
    std::mt19937 rng(5);
    for (double x : random_values(rng, 3000, 1000, true)) {
        (rng() % 2 ? a : b).add(x);
        both.add(x);
    }
    a.merge(b);
    EXPECT_EQ(a.count(), both.count());
    EXPECT_EQ(a.sorted(), both.sorted());
    EXPECT_EQ(a.percentile(95, 100), both.percentile(95, 100));
}

TEST(IdTracker, MatchesASetOfSeenIdsOnRandomOrders)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 300; round++) {
        id_tracker_t t;
        ref_ids ref;
        // Near the wrap on some rounds; steps forward, back, repeats, jumps.
        uint32_t id = round % 3 == 0 ? 4294967295u - static_cast<uint32_t>(rng() % 50) : static_cast<uint32_t>(rng() % 1000);
        const int n = 1 + static_cast<int>(rng() % 200);
        for (int i = 0; i < n; i++) {
            const int64_t x = track_id(t, id);
            ref.add(id);
            ASSERT_EQ(x, ref.prev);
            switch (rng() % 6) {
            case 0: id -= static_cast<uint32_t>(rng() % 7); break;
            case 1: break;
            case 2: id += static_cast<uint32_t>(rng() % 20); break;
            default: id += 1 + static_cast<uint32_t>(rng() % 2); break;
            }
        }
        EXPECT_EQ(t.repeats, ref.repeats) << round;
        EXPECT_EQ(t.out_of_order, ref.out_of_order) << round;
        const auto want = ref.gaps();
        ASSERT_EQ(t.gaps.size(), want.size()) << round;
        uint64_t missing = 0;
        size_t i = 0;
        for (const auto& [first, last] : t.gaps) {
            EXPECT_EQ(first, want[i].first);
            EXPECT_EQ(last, want[i].second);
            missing += static_cast<uint64_t>(last - first + 1);
            i++;
        }
        EXPECT_EQ(t.missing, missing);
        const std::vector<id_range_t> listed = t.first_gaps(3);
        ASSERT_EQ(listed.size(), std::min<size_t>(3, want.size()));
        for (size_t k = 0; k < listed.size(); k++) EXPECT_EQ(listed[k].first, want[k].first);
    }
}

TEST(IdTracker, DescendingIdsMakeOneGapEachAndWrapCountsNothingMissing)
{
    id_tracker_t t;
    for (uint32_t k = 0; k < 400000; k++) track_id(t, 4000000 - 2 * k);
    EXPECT_EQ(t.gaps.size(), 399999u);
    EXPECT_EQ(t.missing, 399999u);
    EXPECT_EQ(t.out_of_order, 399999u);
    // Filling every gap again leaves none, each late id counted once.
    for (uint32_t k = 0; k + 1 < 400000; k++) track_id(t, 4000000 - 2 * k - 1);
    EXPECT_TRUE(t.gaps.empty());
    EXPECT_EQ(t.missing, 0u);
    EXPECT_EQ(t.out_of_order, 2 * 399999u);
    EXPECT_EQ(t.repeats, 0u);

    id_tracker_t w;
    for (uint32_t id : {4294967294u, 4294967295u, 0u, 1u}) track_id(w, id);
    EXPECT_EQ(w.missing + w.repeats + w.out_of_order, 0u);
    EXPECT_EQ(w.high - w.low, 3);
}

TEST(WindowColumn, AddAndRemoveMatchAMultisetRecomputedEachStep)
{
    std::mt19937 rng(9);
    window_column_t w;
    std::vector<std::pair<window_key_t, double>> in;
    for (int step = 0; step < 4000; step++) {
        const bool remove = !in.empty() && (rng() % 3 == 0 || in.size() > 300);
        if (remove) {
            const size_t i = rng() % in.size();
            w.remove(in[i].first);
            in.erase(in.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            const double x = random_values(rng, 1, step % 500 < 250 ? 20 : 100000, step % 7 == 0)[0];
            in.emplace_back(w.add(x), x);
        }
        std::vector<double> v;
        for (const auto& e : in) v.push_back(e.second);
        ASSERT_EQ(w.count(), v.size());
        if (step % 7 != 0) continue;  // the full comparison every few steps
        for (auto [num, den] : {std::pair<uint64_t, uint64_t>{50, 100}, {95, 100}, {99, 100}, {0, 100}, {999, 1000}})
            expect_same_value(w.percentile(num, den), ref_percentile(v, num, den), "percentile");
        expect_same_value(w.min(), v.empty() ? NAN : *std::min_element(v.begin(), v.end()), "min");
        expect_same_value(w.max(), v.empty() ? NAN : *std::max_element(v.begin(), v.end()), "max");
        if (!v.empty()) {
            long double sum = 0;
            for (double x : v) sum += x;
            EXPECT_NEAR(w.mean(), static_cast<double>(sum / v.size()), 1e-6 * std::max(1.0L, std::fabs(sum / v.size())));
        }
    }
    w.clear();
    EXPECT_EQ(w.count(), 0u);
    EXPECT_TRUE(std::isnan(w.percentile(50, 100)));
}

namespace {

stat_sample_t random_sample(std::mt19937& rng, uint32_t id)
{
    stat_sample_t s;
    s.sample_id = id;
    const unsigned k = rng() % 10;
    s.kind = k < 2 ? FRAME_KIND_I : k < 9 ? FRAME_KIND_P : FRAME_KIND_OTHER;
    for (double& x : s.v) x = static_cast<double>(rng() % 30000) / 1000;
    if (rng() % 40 == 0) s.v[rng() % STAT_COLUMN_COUNT] = NAN;
    if (rng() % 80 == 0) s.v[STAT_VRX] = INFINITY;
    return s;
}

void expect_same_stats(const column_stats_t& a, const column_stats_t& b, const char* what)
{
    EXPECT_EQ(a.n, b.n) << what;
    EXPECT_EQ(a.nonfinite, b.nonfinite) << what;
    expect_same_value(a.min, b.min, what);
    expect_same_value(a.p50, b.p50, what);
    expect_same_value(a.p95, b.p95, what);
    expect_same_value(a.p99, b.p99, what);
    expect_same_value(a.max, b.max, what);
    if (!std::isnan(b.mean)) {
        EXPECT_NEAR(a.mean, b.mean, 1e-9 * std::max(1.0, std::fabs(b.mean))) << what;
    }
}

}  // namespace

TEST(LatencyWindow, EqualsTheStatisticsOfTheRecordsStillInIt)
{
    std::mt19937 rng(21);
    const int64_t span = 10'000'000'000;  // 10 s
    latency_window_t w(span);
    std::vector<std::pair<int64_t, stat_sample_t>> all;
    int64_t now = 0;
    for (int i = 0; i < 3000; i++) {
        // 120 frames a second on average, with stalls now and then.
        now += rng() % 200 == 0 ? 4'000'000'000 : static_cast<int64_t>(rng() % 16'000'000);
        const stat_sample_t s = random_sample(rng, static_cast<uint32_t>(i));
        w.add(now, s);
        all.emplace_back(now, s);
        if (i % 97 != 0) continue;
        latency_stats_t ref;
        for (const auto& [t, x] : all)
            if (t > now - span) ref.add(x);
        ASSERT_EQ(w.frames(), ref.frames()) << i;
        EXPECT_EQ(w.kinds().i, ref.kinds().i);
        EXPECT_EQ(w.kinds().p, ref.kinds().p);
        EXPECT_EQ(w.kinds().other, ref.kinds().other);
        for (int c = 0; c < STAT_COLUMN_COUNT; c++) expect_same_stats(w.column_stats(c), ref.column_stats(c), "column");
        expect_same_stats(w.vrx_of(FRAME_KIND_I).stats(), ref.vrx_of(FRAME_KIND_I).stats(), "I-frames");
        expect_same_stats(w.vrx_of(FRAME_KIND_P).stats(), ref.vrx_of(FRAME_KIND_P).stats(), "P-frames");
        const stage_shares_t a = w.shares(), b = ref.shares();
        for (int k = 0; k < STAT_STAGE_COUNT; k++) EXPECT_NEAR(a.share[k], b.share[k], 1e-12);
        EXPECT_NEAR(a.rest, b.rest, 1e-12);
    }
    // Time moving on alone empties it.
    w.expire(now + span);
    EXPECT_EQ(w.frames(), 0u);
    EXPECT_EQ(w.column(STAT_VRX).count(), 0u);
    EXPECT_TRUE(std::isnan(w.shares().share[0]));
}

TEST(LatencyStats, CountsKindsNonFiniteValuesAndStageShares)
{
    latency_stats_t st;
    auto sample = [](uint32_t id, frame_kind_e kind, double vrx, double frame, double fec, double dec, double ren) {
        stat_sample_t s;
        s.sample_id = id;
        s.kind = kind;
        s.v[STAT_VRX] = vrx;
        s.v[STAT_FRAME] = frame;
        s.v[STAT_FEC] = fec;
        s.v[STAT_DECODE] = dec;
        s.v[STAT_RENDER] = ren;
        return s;
    };
    st.add(sample(10, FRAME_KIND_I, 20, 4, 2, 8, 4));
    st.add(sample(11, FRAME_KIND_P, 10, 2, 1, 4, 2));
    st.add(sample(11, FRAME_KIND_P, 10, 2, 1, 4, 2));
    st.add(sample(14, FRAME_KIND_P, 30, 6, 3, 12, 6));
    st.add(sample(15, FRAME_KIND_OTHER, NAN, 2, 1, 4, 2));
    EXPECT_EQ(st.frames(), 5u);
    EXPECT_EQ(st.first_id(), 10u);
    EXPECT_EQ(st.last_id(), 15u);
    EXPECT_EQ(st.ids().missing, 2u);
    EXPECT_EQ(st.ids().repeats, 1u);
    EXPECT_EQ(st.kinds().i, 1u);
    EXPECT_EQ(st.kinds().p, 3u);
    EXPECT_EQ(st.kinds().other, 1u);
    const column_stats_t vrx = st.column_stats(STAT_VRX);
    EXPECT_EQ(vrx.n, 4u);
    EXPECT_EQ(vrx.nonfinite, 1u);
    EXPECT_EQ(vrx.p50, 10.0);
    EXPECT_EQ(vrx.max, 30.0);
    EXPECT_EQ(st.vrx_of(FRAME_KIND_I).mean(), 20.0);
    EXPECT_NEAR(st.vrx_of(FRAME_KIND_P).mean(), 50.0 / 3, 1e-12);
    // Over the four rows whose five values are finite: 70 ms in all.
    const stage_shares_t sh = st.shares();
    EXPECT_DOUBLE_EQ(sh.share[0], 14.0 / 70);
    EXPECT_DOUBLE_EQ(sh.share[1], 7.0 / 70);
    EXPECT_DOUBLE_EQ(sh.share[2], 28.0 / 70);
    EXPECT_DOUBLE_EQ(sh.share[3], 14.0 / 70);
    EXPECT_NEAR(sh.rest, 0.1, 1e-12);
    EXPECT_TRUE(std::isnan(latency_stats_t().shares().rest));
}
