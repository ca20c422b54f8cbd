// The statistics engine against slow exact references: sorted copies for
// percentiles, the vector-based gap list for sample ids, recomputation from
// scratch for the sliding windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <cmath>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "id_reference.h"
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
    std::vector<std::pair<int64_t, int64_t>> gaps() const { return gaps_between(seen); }
};

}  // namespace

TEST(ValueHistogram, percentiles_min_max_mean_match_a_sorted_copy)
{
    std::mt19937 rng(11);
    const std::pair<uint64_t, uint64_t> ps[] = {{0, 100},  {1, 100},  {25, 100},   {50, 100},
                                                {95, 100}, {99, 100}, {999, 1000}, {100, 100}};
    for (size_t n : {1u, 2u, 3u, 19u, 20u, 21u, 100u, 101u, 1000u, 5003u}) {
        for (int round = 0; round < 6; round++) {
            const std::vector<double> v = random_values(rng, n, round % 2 ? 5 : 200000, round >= 4);
            value_histogram_t h;
            for (double x : v) h.add(x);
            ASSERT_EQ(h.count(), n);
            EXPECT_EQ(h.distinct(), std::set<double>(v.begin(), v.end()).size()) << "one entry per distinct value";
            for (const auto& [num, den] : ps)
                EXPECT_EQ(h.percentile(num, den), ref_percentile(v, num, den))
                    << "n=" << n << " p=" << num << "/" << den;
            EXPECT_EQ(h.min(), *std::min_element(v.begin(), v.end()));
            EXPECT_EQ(h.max(), *std::max_element(v.begin(), v.end()));
            long double sum = 0;
            for (double x : v) sum += x;
            EXPECT_NEAR(h.mean(), static_cast<double>(sum / n),
                        1e-9 * std::max(1.0, std::fabs(static_cast<double>(sum / n))));
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

TEST(ValueHistogram, nearest_ranks_are_exact_at_the_edges)
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

TEST(ValueHistogram, thousandths_are_exact_and_memory_follows_distinct_values)
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

TEST(IdTracker, matches_a_set_of_seen_ids_on_random_orders)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 300; round++) {
        id_tracker_t t;
        ref_ids ref;
        // A second tracker counted step by step, as a window sees it.
        id_tracker_t stepped;
        int64_t step_missing = 0;
        uint64_t step_repeats = 0, step_out_of_order = 0;
        // Near the wrap on some rounds; steps forward, back, repeats, jumps.
        uint32_t id =
            round % 3 == 0 ? 4294967295u - static_cast<uint32_t>(rng() % 50) : static_cast<uint32_t>(rng() % 1000);
        const int n = 1 + static_cast<int>(rng() % 200);
        for (int i = 0; i < n; i++) {
            const int64_t x = track_id(t, id);
            ref.add(id);
            ASSERT_EQ(x, ref.prev);
            const id_step_t step = track_id_step(stepped, id);
            step_missing += step.missing;
            step_repeats += step.repeat;
            step_out_of_order += step.out_of_order;
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
        EXPECT_EQ(step_missing, static_cast<int64_t>(missing)) << round;
        EXPECT_EQ(step_repeats, ref.repeats) << round;
        EXPECT_EQ(step_out_of_order, ref.out_of_order) << round;
        const std::vector<id_range_t> listed = t.first_gaps(3);
        ASSERT_EQ(listed.size(), std::min<size_t>(3, want.size()));
        for (size_t k = 0; k < listed.size(); k++) EXPECT_EQ(listed[k].first, want[k].first);
    }
}

TEST(IdTracker, descending_ids_make_one_gap_each_and_wrap_counts_nothing_missing)
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

TEST(WindowColumn, add_and_remove_match_a_multiset_recomputed_each_step)
{
    std::mt19937 rng(9);
    window_column_t w;
    std::vector<double> in;
    for (int step = 0; step < 4000; step++) {
        const bool remove = !in.empty() && (rng() % 3 == 0 || in.size() > 300);
        if (remove) {
            const size_t i = rng() % in.size();
            w.remove(in[i]);
            in.erase(in.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            const double x = random_values(rng, 1, step % 500 < 250 ? 20 : 100000, step % 7 == 0)[0];
            w.add(x);
            in.push_back(x);
        }
        ASSERT_EQ(w.count(), in.size());
        if (step % 7 != 0) continue;  // the full comparison every few steps
        for (auto [num, den] : {std::pair<uint64_t, uint64_t>{50, 100}, {95, 100}, {99, 100}, {0, 100}, {999, 1000}})
            expect_same_value(w.percentile(num, den), ref_percentile(in, num, den), "percentile");
        expect_same_value(w.min(), in.empty() ? NAN : *std::min_element(in.begin(), in.end()), "min");
        expect_same_value(w.max(), in.empty() ? NAN : *std::max_element(in.begin(), in.end()), "max");
        if (!in.empty()) {
            long double sum = 0;
            for (double x : in) sum += x;
            EXPECT_NEAR(w.mean(), static_cast<double>(sum / in.size()),
                        1e-6 * std::max(1.0L, std::fabs(sum / in.size())));
        }
    }
    w.clear();
    EXPECT_EQ(w.count(), 0u);
    EXPECT_TRUE(std::isnan(w.percentile(50, 100)));
    EXPECT_TRUE(std::isnan(w.min()));
    EXPECT_TRUE(std::isnan(w.at_rank(1)));
}

// Every rank against a sorted copy while values pass through the block of
// counts, below it, above it and beyond thousandths, the values moving so
// far now and then that the block empties and moves after them.
TEST(WindowColumn, ranks_inside_outside_and_after_the_block_moves)
{
    std::mt19937 rng(7);
    window_column_t w;
    std::deque<double> held;  // oldest first
    const int64_t dense = window_column_t::DENSE;
    int64_t centre = 0;
    auto draw = [&]() -> double {
        const unsigned k = rng() % 20;
        int64_t t = centre + static_cast<int64_t>(rng() % 40000) - 2000;
        if (k == 0) t = centre - dense - static_cast<int64_t>(rng() % 1000);                       // below the block
        if (k == 1) t = centre + dense + static_cast<int64_t>(rng() % 5000000);                    // above it
        if (k == 2) return (rng() % 2 ? 1 : -1) * (2e12 + static_cast<double>(rng() % 7) * 1e12);  // beyond thousandths
        return static_cast<double>(t) / 1000;
    };
    for (int step = 0; step < 30000; step++) {
        // Every 3000 steps the values go elsewhere, by up to a million ms.
        if (step % 3000 == 0) centre = static_cast<int64_t>(rng() % 2000000000) - 1000000000;
        const unsigned op = rng() % 8;
        if (!held.empty() && (op == 0 || held.size() > 400)) {
            w.remove(held.front());  // the oldest leaves, as in a window
            held.pop_front();
        } else if (!held.empty() && op == 1) {
            const size_t i = rng() % held.size();
            w.remove(held[i]);
            held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            held.push_back(draw());
            w.add(held.back());
        }
        ASSERT_EQ(w.count(), held.size());
        if (step % 211 != 0 || held.empty()) continue;
        std::vector<double> sorted(held.begin(), held.end());
        std::sort(sorted.begin(), sorted.end());
        const uint64_t n = sorted.size();
        for (uint64_t r : {uint64_t{1}, uint64_t{2}, n / 2, n - 1, n, 1 + rng() % n})
            if (r >= 1 && r <= n) {
                EXPECT_EQ(w.at_rank(r), sorted[r - 1]) << "rank " << r << " step " << step;
            }
        __int128 sum = 0;
        for (double x : held)
            if (std::fabs(x) < 1e12) sum += std::llround(x * 1000);
        EXPECT_TRUE(w.sum_thousandths() == sum) << "step " << step;
    }
    // A value never added is not taken out; one that is, is.
    const uint64_t n = w.count();
    w.remove(123456.789);
    EXPECT_EQ(w.count(), n);
    w.clear();
    w.add(5);
    w.add(5);
    w.remove(5);
    EXPECT_EQ(w.count(), 1u);
    EXPECT_EQ(w.at_rank(1), 5.0);
    EXPECT_TRUE(std::isnan(w.at_rank(2)));
    EXPECT_TRUE(w.sum_thousandths() == 5000);
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

namespace {

// What a window should say about the records that arrived within its span,
// recomputed from scratch.
struct ref_record {
    int64_t t;
    bool repeats_record_before;
    stat_sample_t s;
    id_step_t ids;
};

void expect_span_equals(const window_span_t& w, const std::vector<ref_record>& all, int64_t now)
{
    latency_stats_t ref;
    uint64_t repeats = 0, out_of_order = 0;
    int64_t missing = 0;
    for (const ref_record& x : all) {
        if (w.span_ns() != 0 && now - x.t >= w.span_ns()) continue;
        if (x.repeats_record_before) {
            repeats++;
            continue;
        }
        ref.add(x.s);
        repeats += x.ids.repeat;
        out_of_order += x.ids.out_of_order;
        missing += x.ids.missing;
    }
    ASSERT_EQ(w.frames(), ref.frames());
    EXPECT_EQ(w.repeats(), repeats);
    EXPECT_EQ(w.out_of_order(), out_of_order);
    EXPECT_EQ(w.missing(), missing);
    EXPECT_EQ(w.kinds().i, ref.kinds().i);
    EXPECT_EQ(w.kinds().p, ref.kinds().p);
    EXPECT_EQ(w.kinds().other, ref.kinds().other);
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) expect_same_stats(w.column_stats(c), ref.column_stats(c), "column");
    expect_same_stats(w.vrx_of(FRAME_KIND_I).stats(), ref.vrx_of(FRAME_KIND_I).stats(), "I-frames");
    expect_same_stats(w.vrx_of(FRAME_KIND_P).stats(), ref.vrx_of(FRAME_KIND_P).stats(), "P-frames");
    const stage_shares_t a = w.shares(), b = ref.shares();
    for (int k = 0; k < STAT_STAGE_COUNT; k++) expect_same_value(a.share[k], b.share[k], "share");
    expect_same_value(a.rest, b.rest, "rest");
}

}  // namespace

// Several spans and since start at once, at irregular times with stalls,
// non-finite values, values too wide for an entry and beyond thousandths,
// both frame kinds, id steps and repeats of the record before.
TEST(LatencyWindow, every_span_equals_the_statistics_of_the_records_still_in_it)
{
    std::mt19937 rng(21);
    const int64_t ms = 1'000'000;
    latency_window_t w({1000 * ms, 10000 * ms, 60000 * ms, 0});
    ASSERT_EQ(w.spans(), 4u);
    // The same records where only a live view's columns are kept.
    const uint32_t kept = 1u << STAT_VRX | 1u << STAT_FRAME | 1u << STAT_FEC | 1u << STAT_DECODE | 1u << STAT_RENDER;
    latency_window_t part({10000 * ms}, kept);
    std::vector<ref_record> all;
    int64_t now = 5000 * ms;
    for (int i = 0; i < 20000; i++) {
        now += rng() % 8 == 0 ? static_cast<int64_t>(rng() % 3000) * ms : static_cast<int64_t>(rng() % 5'000'000);
        ref_record x{now, rng() % 40 == 0, random_sample(rng, static_cast<uint32_t>(i)), {}};
        if (rng() % 100 == 0)
            x.s.v[rng() % STAT_COLUMN_COUNT] = 3e6 + static_cast<double>(rng() % 1000);  // 3e9 thousandths
        if (rng() % 150 == 0) x.s.v[rng() % STAT_COLUMN_COUNT] = -2e12;
        x.ids.missing = static_cast<int64_t>(rng() % 7) - 1;
        x.ids.repeat = rng() % 20 == 0;
        x.ids.out_of_order = rng() % 30 == 0;
        if (x.repeats_record_before) {
            w.add_repeat(now);
            part.add_repeat(now);
        } else {
            w.add(now, x.s, x.ids);
            part.add(now, x.s, x.ids);
        }
        all.push_back(x);
        if (i % 997 != 0) continue;
        // Time moves on without records, too.
        const int64_t at = now + static_cast<int64_t>(rng() % 1500) * ms;
        w.expire(at);
        for (size_t k = 0; k < w.spans(); k++) {
            SCOPED_TRACE("span " + std::to_string(k) + " record " + std::to_string(i));
            expect_span_equals(w.span(k), all, at);
        }
        part.expire(at);
        const window_span_t &a = part.span(0), &b = w.span(1);
        EXPECT_EQ(a.frames(), b.frames());
        EXPECT_EQ(a.repeats(), b.repeats());
        EXPECT_EQ(a.missing(), b.missing());
        for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
            if (kept & (1u << c)) {
                expect_same_stats(a.column_stats(c), b.column_stats(c), "kept column");
            } else {
                EXPECT_EQ(a.column(c).count(), 0u);
                EXPECT_EQ(a.nonfinite(c), 0u);
            }
        }
        expect_same_stats(a.vrx_of(FRAME_KIND_I).stats(), b.vrx_of(FRAME_KIND_I).stats(), "kept I-frames");
        for (int k = 0; k < STAT_STAGE_COUNT; k++)
            expect_same_value(a.shares().share[k], b.shares().share[k], "kept share");
        now = at;
    }
    // Nothing stays in the timed spans once a minute has passed, and no
    // record is held for them any more; since start keeps every frame.
    w.expire(now + 60000 * ms);
    EXPECT_EQ(w.span(2).frames(), 0u);
    EXPECT_EQ(w.span(2).column(STAT_VRX).count(), 0u);
    EXPECT_TRUE(std::isnan(w.span(2).shares().share[0]));
    EXPECT_EQ(w.held(), 0u);
    expect_span_equals(w.span(3), all, now + 60000 * ms);
    w.clear();
    EXPECT_EQ(w.span(3).frames(), 0u);
    EXPECT_EQ(w.span(3).repeats(), 0u);
    EXPECT_EQ(w.span(3).column(STAT_VRX).count(), 0u);
    // It works on after a clear.
    w.add(now + 60001 * ms, random_sample(rng, 1));
    EXPECT_EQ(w.span(0).frames(), 1u);
    EXPECT_EQ(w.span(3).frames(), 1u);
}

// At a record rate beyond its memory the window lets its oldest records go
// early: what it holds stays within the bound (values far outside the block
// and too wide for an entry included), every span is exact over the records
// it still holds, says since when it is short, and a span that fits is whole.
TEST(LatencyWindow, memory_stays_bounded_at_any_rate_and_spans_stay_exact_over_what_they_hold)
{
    std::mt19937 rng(5);
    const int64_t ms = 1'000'000, us = 1000;
    constexpr size_t MAX = size_t{8} << 20;
    latency_window_t w({1000 * ms, 10000 * ms, 60000 * ms, 0}, ALL_STAT_COLUMNS, MAX);
    // The outliers are counted every 1024 records: at most that many
    // records' worst (an entry, wide values, an outlier in every column of
    // every timed span) beyond the bound.
    const size_t slack = 1024 * (72 + STAT_COLUMN_COUNT * 8 + 3 * (STAT_COLUMN_COUNT + 2) * 64);
    std::vector<ref_record> all;
    int64_t now = 1000 * ms;
    size_t most = 0;
    for (int i = 0; i < 300000; i++) {
        now += 20 * us;  // 50,000 records a second
        ref_record x{now, rng() % 50 == 0, random_sample(rng, static_cast<uint32_t>(i)), {}};
        // Few enough distinct values that the reference's histograms stay exact.
        for (double& v : x.s.v)
            if (std::isfinite(v)) v = std::fmod(v, 6.0);
        if (rng() % 20 == 0) x.s.v[rng() % STAT_COLUMN_COUNT] = 1000 + static_cast<double>(rng() % 4000) / 1000;
        if (rng() % 200 == 0) x.s.v[rng() % STAT_COLUMN_COUNT] = 3e6 + static_cast<double>(rng() % 1000);
        x.ids.missing = rng() % 10 == 0;
        if (x.repeats_record_before)
            w.add_repeat(now);
        else
            w.add(now, x.s, x.ids);
        all.push_back(x);
        most = std::max(most, w.held_bytes());
    }
    EXPECT_LE(most, MAX + slack);
    EXPECT_GT(w.span(2).cut_ns(), now - 60000 * ms);
    EXPECT_GT(w.span(1).cut_ns(), now - 10000 * ms);
    EXPECT_LE(w.span(0).cut_ns(), now - 1000 * ms);
    EXPECT_EQ(w.oldest_ns(0, now), now - 1000 * ms + 20 * us);
    for (size_t k = 0; k < w.spans(); k++) {
        SCOPED_TRACE("span " + std::to_string(k));
        const int64_t oldest = k == 3 ? 0 : w.oldest_ns(k, now);
        std::vector<ref_record> held;
        for (const ref_record& x : all)
            if (x.t >= oldest) held.push_back(x);
        expect_span_equals(w.span(k), held, now);
    }
    // Time moving on empties the timed spans as before.
    w.expire(now + 60000 * ms);
    EXPECT_EQ(w.held(), 0u);
    EXPECT_EQ(w.held_bytes(), 0u);
    EXPECT_EQ(w.span(3).frames(), 300000u - std::count_if(all.begin(), all.end(),
                                                          [](const ref_record& x) { return x.repeats_record_before; }));
}

// A record stays for exactly its span, at clock values past 2^32 ms.
TEST(LatencyWindow, records_leave_after_exactly_their_span_at_any_clock_value)
{
    const int64_t ms = 1'000'000;
    latency_window_t w({1000 * ms, 10000 * ms});
    const int64_t base = ((int64_t{1} << 32) - 500) * ms;
    for (int i = 0; i < 1000; i++) {
        stat_sample_t s;
        s.kind = FRAME_KIND_P;
        for (double& x : s.v) x = NAN;
        s.v[STAT_VRX] = i / 1000.0;
        w.add(base + i * ms, s);
    }
    w.expire(base + 1999 * ms);  // the 1 s span holds t > base + 999 ms: nothing
    EXPECT_EQ(w.span(0).frames(), 0u);
    EXPECT_EQ(w.span(1).frames(), 1000u);
    w.expire(base + 1500 * ms);  // time never goes back in use; nothing changes
    EXPECT_EQ(w.span(1).column(STAT_VRX).percentile(50, 100), 0.499);
    EXPECT_EQ(w.span(1).nonfinite(STAT_VTX), 1000u);
    w.expire(base + 10999 * ms);  // the record at base + 999 ms is 10 s old: gone
    EXPECT_EQ(w.span(1).frames(), 0u);
    EXPECT_EQ(w.held(), 0u);
    w.add(base + 11000 * ms, stat_sample_t{});
    w.expire(base + 11999 * ms);
    EXPECT_EQ(w.span(0).frames(), 1u);
    w.expire(base + 12000 * ms);
    EXPECT_EQ(w.span(0).frames(), 0u);
}

TEST(LatencyStats, counts_kinds_non_finite_values_and_stage_shares)
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
