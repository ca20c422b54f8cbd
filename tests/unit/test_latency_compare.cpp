// Comparison of two runs: the bootstrap against a slow reference that sorts
// every resample, its honesty on runs of one distribution with bursts of
// slow frames, the power to find a 1 ms shift, and the loading and naming
// of runs, and runs read again from their log figure by figure.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "compare_models.h"
#include "latency_compare.h"
#include "latency_report.h"

namespace {

// Nearest-rank percentile by sorting a copy: the slow reference.
double sorted_rank(std::vector<double> v, uint64_t num, uint64_t den)
{
    std::sort(v.begin(), v.end());
    return v[nearest_rank_index(v.size(), num, den) - 1];
}

// Every figure's values of x, as make_compare_run takes them.
std::vector<std::vector<int32_t>> all_series(const compare_run_t& x)
{
    std::vector<std::vector<int32_t>> v;
    for (int m = 0; m < CMP_METRICS; m++) v.push_back(compare_series(x, m));
    return v;
}

// The slow way: each resample built as a list of values and sorted.
void reference_metric(const compare_run_t& x, int m, int which, const compare_options_t& o, std::vector<int64_t>& out)
{
    const uint64_t len = std::min<uint64_t>(x.block, x.frames);
    for (uint32_t r = 0; r < o.resamples; r++) {
        compare_rng_t rng(o.seed, r, static_cast<uint64_t>(which));
        std::vector<uint64_t> starts;
        block_starts(rng, x.frames, len, starts);
        std::vector<double> vals;
        int64_t sum = 0;
        uint64_t taken = 0;
        for (uint64_t s : starts)
            for (uint64_t i = s; i < s + len && taken < x.frames; i++, taken++)
                if (compare_value(x, m, i) != NOT_A_VALUE) {
                    vals.push_back(compare_value(x, m, i));
                    sum += compare_value(x, m, i);
                }
        EXPECT_EQ(taken, x.frames);
        const uint64_t nums[3] = {50, 95, 99};
        for (int q = 0; q < 3; q++)
            out.push_back(vals.empty() ? NO_VALUE : static_cast<int64_t>(sorted_rank(vals, nums[q], 100)));
        out.push_back(vals.empty() ? NO_VALUE
                                   : static_cast<int64_t>(
                                         std::llround(static_cast<double>(sum) / static_cast<double>(vals.size()))));
    }
}

// The slow way for lost frames: each frame's effect on the missing ids
// worked out from a set of the ids seen, each resample walked frame by frame.
void reference_lost(const compare_run_t& x, int which, const compare_options_t& o, const std::vector<uint32_t>& ids,
                    std::vector<int64_t>& out)
{
    // Ids here do not wrap.
    std::vector<int64_t> missing;
    std::vector<int> fresh;
    std::set<int64_t> seen;
    int64_t low = 0, high = 0;
    for (uint32_t id32 : ids) {
        const int64_t id = id32;
        if (seen.count(id)) {
            missing.push_back(0);
            fresh.push_back(0);
            continue;
        }
        int64_t d = 0;
        if (seen.empty())
            low = high = id;
        else if (id > high)
            d = id - high - 1, high = id;
        else if (id < low)
            d = low - id - 1, low = id;
        else
            d = -1;
        seen.insert(id);
        missing.push_back(d);
        fresh.push_back(1);
    }
    const uint64_t n = ids.size(), len = std::min<uint64_t>(x.id_block, n);
    for (uint32_t r = 0; r < o.resamples; r++) {
        compare_rng_t rng(o.seed, r, static_cast<uint64_t>(which) + 2);
        std::vector<uint64_t> starts;
        block_starts(rng, n, len, starts);
        int64_t lost = 0, all = 0;
        uint64_t taken = 0;
        for (uint64_t s : starts)
            for (uint64_t i = s; i < s + len && taken < n; i++, taken++) {
                lost += missing[i];
                all += fresh[i];
            }
        lost = std::max<int64_t>(lost, 0);
        out.push_back(std::llround(static_cast<double>(lost) * 1e6 / static_cast<double>(lost + all)));
    }
}

// Small runs with every awkward feature: values left out, I-frames rare,
// blocks that do not divide the run, a block longer than the run.
struct small_case {
    size_t frames;
    uint32_t block;
    unsigned seed;
};

TEST(CompareBootstrap, equals_sorting_every_resample_on_small_runs)
{
    const small_case cases[] = {{150, 7, 1}, {333, 13, 2}, {61, 60, 3}, {40, 60, 4}, {1, 60, 5}, {500, 1, 6}};
    for (const small_case& sc : cases) {
        compare_run_t x = burst_run(sc.seed, sc.frames);
        for (size_t i = 3; i < x.frames; i += 17) x.values[SER_VTX][i] = NOT_A_VALUE;  // nan in the log
        x.block = std::min<uint32_t>(sc.block, static_cast<uint32_t>(x.frames));
        for (double window : {4.0, 0.5, 0.0}) {
            for (unsigned threads : {1u, 2u}) {
                compare_options_t o;
                o.seed = 7 + sc.seed;
                o.resamples = 300;
                o.window_sd = window;
                o.threads = threads;
                for (int m = 0; m < CMP_METRICS; m++) {
                    std::vector<int64_t> fast, slow;
                    uint64_t fallbacks = 0;
                    bootstrap_metric(x, m, m % 2, o, fast, &fallbacks);
                    reference_metric(x, m, m % 2, o, slow);
                    ASSERT_EQ(fast, slow) << "frames " << sc.frames << " block " << sc.block << " metric " << m
                                          << " window " << window << " threads " << threads;
                    // A window of 0 sends nearly every resample the full way.
                    if (window == 0 && x.frames > 100 && m == SER_VRX) {
                        EXPECT_GT(fallbacks, 100u);
                    }
                }
            }
        }
    }
}

TEST(CompareBootstrap, lost_frames_equal_counting_every_resample)
{
    for (unsigned seed : {11u, 12u, 13u, 14u}) {
        compare_run_t x = burst_run(seed, 2000);
        x.id_block = 25;
        std::vector<uint32_t> ids;
        // Rebuild the ids the run was made from: every id not in a gap.
        for (int64_t id = x.id_low; id <= x.id_high; id++) {
            bool gap = false;
            for (const auto& [f, l] : x.gaps) gap = gap || (id >= f && id <= l);
            if (!gap) ids.push_back(static_cast<uint32_t>(id));
        }
        ASSERT_EQ(ids.size(), x.frames);
        ASSERT_GT(x.missing, 0u);
        if (seed >= 13) {
            // Late ids filling gaps, repeats, an id below the first one, and
            // (last) one id far off: a corrupt id or a receiver that renumbers.
            for (uint32_t& id : ids) id += 1000;
            for (size_t i = 100; i + 1 < ids.size(); i += 97) std::swap(ids[i], ids[i + 1]);
            for (size_t i = 50; i < ids.size(); i += 301) ids[i] = ids[i - 1];
            ids[10] = ids[0] - 5;
            if (seed == 14) ids[1500] = ids[1499] + 2000000000u;
            const std::vector<std::vector<int32_t>> v = all_series(x);
            make_compare_run(x, v, ids);
            x.id_block = 25;
        }
        compare_options_t o;
        o.resamples = 400;
        o.seed = seed;
        std::vector<int64_t> slow, fast;
        reference_lost(x, 1, o, ids, slow);
        bootstrap_lost(x, 1, o, fast);
        EXPECT_EQ(fast, slow) << "seed " << seed;
    }
}

// Lost frames of runs whose ids span 2e9 (one far-off id among 36,000
// frames): the point estimate counts the span, the resamples cost only the
// frames, and the far id counts in the resamples that hold it.
TEST(CompareBootstrap, a_far_off_id_costs_the_frames_not_the_span)
{
    compare_run_t a = burst_run(41, 36000), b = burst_run(42, 36000);
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 36000; i++) ids.push_back(1 + i);
    ids[20000] = 2000000000u;
    const std::vector<std::vector<int32_t>> v = all_series(b);
    make_compare_run(b, v, ids);
    ASSERT_EQ(b.id_high - b.id_low + 1, 2000000000);
    compare_options_t o;
    o.metrics = 0;
    const compare_result_t c = compare_runs(a, b, o);
    EXPECT_GT(c.lost.b, 999000);  // nearly all of 2e9 ids missing
    ASSERT_NE(c.lost.low, NO_VALUE);
    // Resamples without the far id lose next to nothing, those with it
    // nearly everything: the interval spans both.
    EXPECT_LT(c.lost.low, 10000);
    EXPECT_GT(c.lost.high, 990000);
    EXPECT_FALSE(c.lost.real);
}

TEST(CompareBootstrap, intervals_come_from_the_replicates)
{
    compare_run_t a = burst_run(21, 3000), b = burst_run(22, 3000, 300);
    a.block = b.block = 60;
    compare_options_t o;
    o.resamples = 2000;
    o.seed = 5;
    const compare_result_t c = compare_runs(a, b, o);
    int judged = 0;
    for (int m = 0; m < CMP_METRICS; m++) {
        std::vector<int64_t> ra, rb;
        reference_metric(a, m, 0, o, ra);
        reference_metric(b, m, 1, o, rb);
        for (int s = 0; s < ST_COUNT; s++) {
            // The interval from the slowly built replicates of this figure
            // alone, each run with its own blocks and lag, and at least as
            // wide as the differences' percentiles: ceil(0.025 * 2000) = 50,
            // the 50th lowest and the 50th highest (99 %: the 10th).
            std::vector<int64_t> xa, xb, d;
            for (size_t r = 0; r < o.resamples; r++) {
                xa.push_back(ra[r * ST_COUNT + s]);
                xb.push_back(rb[r * ST_COUNT + s]);
                d.push_back(xb.back() - xa.back());
            }
            std::sort(d.begin(), d.end());
            const compare_figure_t& f = c.fig[m][s];
            // 100 I-frames leave 5 values above p95's rank, 1 above p99's:
            // too few.
            const bool too_short = m == SER_VRX_I && (s == ST_P95 || s == ST_P99);
            EXPECT_EQ(f.verdict == V_TOO_SHORT, too_short) << m << " " << s;
            if (too_short) {
                EXPECT_EQ(f.low, NO_VALUE);
                EXPECT_FALSE(f.real);
                continue;
            }
            judged++;
            replicate_spread_t sa, sb;
            ASSERT_TRUE(replicate_spread(xa, 1, 0, a.frames, a.block, a.lag, s == ST_MEAN, sa));
            ASSERT_TRUE(replicate_spread(xb, 1, 0, b.frames, b.block, b.lag, s == ST_MEAN, sb));
            int64_t lo = 0, hi = 0;
            spread_interval(f.diff, sa, sb, 0.05, lo, hi);
            EXPECT_EQ(f.low, std::min(lo, d[49])) << m << " " << s;
            EXPECT_EQ(f.high, std::max(hi, d[1950])) << m << " " << s;
            EXPECT_EQ(f.real, f.low > 0 || f.high < 0);
            if (m == SER_VRX) {
                spread_interval(f.diff, sa, sb, 0.01, lo, hi);
                EXPECT_EQ(f.hl_low, std::min(lo, d[9])) << s;
                EXPECT_EQ(f.hl_high, std::max(hi, d[1990])) << s;
            }
        }
        EXPECT_EQ(c.count_a[m] + c.count_b[m] > 0, true);
    }
    EXPECT_EQ(judged, CMP_METRICS * ST_COUNT - 2);
    EXPECT_EQ(c.fig[SER_VRX][ST_P50].diff, c.fig[SER_VRX][ST_P50].b - c.fig[SER_VRX][ST_P50].a);
    // The same seed gives the same figures, another seed other intervals.
    const compare_result_t again = compare_runs(a, b, o);
    o.seed = 6;
    const compare_result_t other = compare_runs(a, b, o);
    bool differs = false;
    for (int m = 0; m < CMP_METRICS; m++)
        for (int s = 0; s < ST_COUNT; s++) {
            EXPECT_EQ(again.fig[m][s].low, c.fig[m][s].low);
            EXPECT_EQ(again.fig[m][s].high, c.fig[m][s].high);
            EXPECT_EQ(other.fig[m][s].diff, c.fig[m][s].diff);
            differs = differs || other.fig[m][s].low != c.fig[m][s].low;
        }
    EXPECT_TRUE(differs);
}

// Runs too short to judge: fewer than 10 blocks (a block is a second of
// frames at least), whatever the values say; the headline says so.
TEST(CompareVerdicts, short_runs_are_too_short_to_judge_and_the_headline_says_what_changed)
{
    const compare_run_t a = burst_run(51, 30), b = burst_run(52, 30, 5000);
    EXPECT_EQ(a.block, 60u) << "one second of frames at least";
    compare_options_t o;
    compare_result_t c = compare_runs(a, b, o);
    for (int m = 0; m < CMP_METRICS; m++)
        for (int s = 0; s < ST_COUNT; s++) {
            const compare_figure_t& f = c.fig[m][s];
            if (f.diff == NO_VALUE) continue;
            EXPECT_EQ(f.verdict, V_TOO_SHORT) << m << " " << s;
            EXPECT_EQ(f.low, NO_VALUE);
            EXPECT_FALSE(f.headline);
        }
    EXPECT_EQ(c.lost.verdict, V_TOO_SHORT);
    EXPECT_EQ(compare_headline(c), "too short to judge");
    const std::string text = format_compare_text(a, b, c, o);
    EXPECT_EQ(text.rfind("too short to judge\n\n", 0), 0u) << text;
    EXPECT_NE(text.find("Too short to judge: a figure needs runs of 10 blocks at least (600 and 600 frames here)"),
              std::string::npos);

    // Ten minutes each, B 1 ms slower on every frame: the VRX figures of the
    // headline, with their 99 % intervals; below --min-change they are
    // real but small and the headline has no change to name.
    const compare_run_t x = burst_run(31, 36000), y = burst_run(32, 36000, 1000);
    c = compare_runs(x, y, o);
    const compare_figure_t& p50 = c.fig[SER_VRX][ST_P50];
    ASSERT_EQ(p50.verdict, V_REAL_CHANGE);
    EXPECT_TRUE(p50.headline);
    EXPECT_LE(p50.hl_low, p50.low);
    EXPECT_GE(p50.hl_high, p50.high);
    const std::string line = compare_headline(c);
    EXPECT_EQ(line.rfind("B is slower: VRX p50 " + thousandths_text(p50.diff, true) + " ms (" +
                             thousandths_text(p50.hl_low, true) + " .. " + thousandths_text(p50.hl_high, true) + ")",
                         0),
              0u)
        << line;
    EXPECT_EQ(line.find("I-frames"), std::string::npos) << "only the headline's figures";
    o.min_change_ms = 2000;
    c = compare_runs(x, y, o);
    EXPECT_EQ(c.fig[SER_VRX][ST_P50].verdict, V_REAL_SMALL);
    EXPECT_EQ(compare_headline(c), "no meaningful change");
    // B faster: the same words the other way.
    o.min_change_ms = 500;
    c = compare_runs(y, x, o);
    EXPECT_EQ(compare_headline(c).rfind("B is faster: VRX p50 -", 0), 0u);
}

// 100 pairs of runs of the same link (100 s each) under each model, the
// bursts (about 25 a run) and the AR(1) stages with a drift: the VRX
// latency's p50, p95, p99 and mean, and the lost frames, must each be
// called "no real change" in at least 93 of them with bursts; at least 90
// with the AR(1) stages, whose drift (a period of 90 s) is barely seen
// within one 100 s run, so part of the difference between two runs is out
// of any single run's sight (92 of 100 measured for the mean).
TEST(CompareHonesty, same_link_is_no_real_change_in_ninety_three_of_hundred_trials)
{
    compare_options_t o;
    o.resamples = 2000;
    o.metrics = 1u << SER_VRX;
    for (int model = 0; model < 2; model++) {
        int calm[ST_COUNT] = {}, calm_lost = 0;
        for (unsigned t = 0; t < 100; t++) {
            const unsigned seed = 1000 + 1000 * static_cast<unsigned>(model) + 2 * t;
            const compare_run_t a = model == 0 ? burst_run(seed, 6000) : ar1_run(seed, 6000);
            const compare_run_t b = model == 0 ? burst_run(seed + 1, 6000) : ar1_run(seed + 1, 6000);
            o.seed = t + 1;
            const compare_result_t c = compare_runs(a, b, o);
            for (int s = 0; s < ST_COUNT; s++) {
                ASSERT_NE(c.fig[SER_VRX][s].low, NO_VALUE);
                calm[s] += c.fig[SER_VRX][s].real ? 0 : 1;
            }
            ASSERT_NE(c.lost.low, NO_VALUE);
            calm_lost += c.lost.real ? 0 : 1;
        }
        const char* name = model == 0 ? "bursts" : "AR(1)";
        const int least = model == 0 ? 93 : 90;
        for (int s = 0; s < ST_COUNT; s++) {
            EXPECT_GE(calm[s], least) << name << " VRX " << COMPARE_STAT_NAMES[s];
            fprintf(stderr, "%s: VRX %s: no real change in %d of 100\n", name, COMPARE_STAT_NAMES[s], calm[s]);
        }
        EXPECT_GE(calm_lost, least) << name;
        fprintf(stderr, "%s: lost frames: no real change in %d of 100\n", name, calm_lost);
    }
}

// Ten minutes of the same link, B 1 ms slower on every frame: a real
// change in p95 (and p50, p99, mean) of about 1 ms, nothing in VTX latency
// or the stages, which did not change.
TEST(CompareHonesty, one_millisecond_slower_is_found)
{
    const compare_run_t a = burst_run(31, 36000), b = burst_run(32, 36000, 1000);
    compare_options_t o;
    const compare_result_t c = compare_runs(a, b, o);
    for (int s = 0; s < ST_COUNT; s++) {
        const compare_figure_t& f = c.fig[SER_VRX][s];
        EXPECT_TRUE(f.real) << COMPARE_STAT_NAMES[s];
        EXPECT_GT(f.low, 0);
        EXPECT_LE(f.low, 1000) << COMPARE_STAT_NAMES[s];
        EXPECT_GE(f.high, 1000) << COMPARE_STAT_NAMES[s];
    }
    EXPECT_NEAR(static_cast<double>(c.fig[SER_VRX][ST_P95].diff), 1000, 400);
    int changed = 0;
    for (int m = SER_VTX; m < CMP_METRICS; m++)
        for (int s = 0; s < ST_COUNT; s++) changed += c.fig[m][s].real ? 1 : 0;
    EXPECT_LE(changed, 3);  // of 20 unchanged figures, about 1 by chance
}

TEST(CompareFigures, exact_thousandths_and_ranks)
{
    EXPECT_EQ(thousandths_text(12345), "12.345");
    EXPECT_EQ(thousandths_text(-7), "-0.007");
    EXPECT_EQ(thousandths_text(1250, true), "+1.250");
    EXPECT_EQ(thousandths_text(0, true), "0.000");
    EXPECT_EQ(thousandths_text(-1000, true), "-1.000");
    EXPECT_EQ(thousandths_text(NO_VALUE), "-");
    EXPECT_EQ(rounded_mean(5, 2), 3);    // 2.5 -> 3
    EXPECT_EQ(rounded_mean(-5, 2), -3);  // halves away from zero
    EXPECT_EQ(rounded_mean(7, 3), 2);
    EXPECT_EQ(rounded_mean(-7, 3), -2);
    EXPECT_EQ(rounded_mean(0, 0), NO_VALUE);
    std::vector<int32_t> sorted = {1, 2, 3, 4};
    EXPECT_EQ(nearest_rank_sorted(sorted, 50, 100), 2);
    EXPECT_EQ(nearest_rank_sorted(sorted, 99, 100), 4);
    std::vector<int64_t> d;
    for (int i = 2000; i >= 1; i--) d.push_back(i);
    int64_t lo = 0, hi = 0;
    ASSERT_TRUE(percentile_interval(d, lo, hi));
    EXPECT_EQ(lo, 50);
    EXPECT_EQ(hi, 1951);
    std::vector<int64_t> none;
    EXPECT_FALSE(percentile_interval(none, lo, hi));
    // Block starts: ceil(n / len) of them, all inside.
    compare_rng_t rng(1, 0, 0);
    std::vector<uint64_t> st;
    block_starts(rng, 1000, 60, st);
    EXPECT_EQ(st.size(), 17u);
    EXPECT_TRUE(std::all_of(st.begin(), st.end(), [](uint64_t s) { return s <= 940; }));
    block_starts(rng, 10, 60, st);
    EXPECT_EQ(st, std::vector<uint64_t>{0});
    // Uniform: every start of a small range turns up about equally often.
    std::vector<int> seen(7, 0);
    for (int i = 0; i < 70000; i++) seen[rng.below(7)]++;
    for (int c : seen) EXPECT_NEAR(c, 10000, 500);
}

// The interval's parts: Student's quantiles, the spread of one run's
// replicates with the bootstrap's shortfall undone, and the lag the block
// estimate reports for a series of known correlation.
TEST(CompareIntervals, t_quantiles_spread_and_lag)
{
    // Quantiles from tables (to 4 decimals), both sides of 5 degrees of
    // freedom, and the normal one for infinitely many.
    const struct {
        double p, df, t;
    } table[] = {{0.975, 1, 12.7062}, {0.975, 3, 3.1824}, {0.995, 4, 4.6041}, {0.975, 5, 2.5706},
                 {0.995, 5, 4.0321},  {0.975, 10, 2.2281}, {0.975, 30, 2.0423}, {0.995, 120, 2.6174},
                 {0.975, 1e300, 1.9600}, {0.995, 1e300, 2.5758}};
    for (const auto& t : table) EXPECT_NEAR(t_quantile(t.p, t.df), t.t, 2e-4 * t.t) << t.p << " " << t.df;

    // Two-point replicates (excess kurtosis -2): the degrees of freedom of
    // the blocks alone, 1.5 n / L; the variance divided by 1 - L/n - lag/L.
    std::vector<int64_t> rep;
    for (int i = 0; i < 1000; i++) rep.push_back(i % 2 ? 3 : -3);
    replicate_spread_t sp;
    ASSERT_TRUE(replicate_spread(rep, 1, 0, 10000, 100, 20, true, sp));
    EXPECT_NEAR(sp.var, 9000.0 / 999 / (1 - 0.01 - 0.2), 1e-9);
    EXPECT_NEAR(sp.df, 150, 1e-9);
    // Every second one with stride 2, offset 1: all 3, no spread; a lag as
    // long as the blocks divides by 0.5 at most.
    ASSERT_TRUE(replicate_spread(rep, 2, 1, 10000, 100, 500, true, sp));
    EXPECT_EQ(sp.var, 0);
    ASSERT_TRUE(replicate_spread(rep, 1, 0, 10000, 100, 500, true, sp));
    EXPECT_NEAR(sp.var, 2 * 9000.0 / 999, 1e-9);
    // Rare large replicates of a mean (a block of rare bursts drawn or
    // not): fewer degrees of freedom than the blocks alone give.
    std::vector<int64_t> rare(1000, 0);
    for (int i = 0; i < 1000; i += 50) rare[i] = 100;
    ASSERT_TRUE(replicate_spread(rare, 1, 0, 10000, 100, 0, true, sp));
    EXPECT_LT(sp.df, 0.1 * 150);
    EXPECT_GT(sp.df, 0);
    // Not for a percentile, whose replicates are lumpy for other reasons.
    ASSERT_TRUE(replicate_spread(rare, 1, 0, 10000, 100, 0, false, sp));
    EXPECT_NEAR(sp.df, 150, 1e-9);
    // A resample without a value gives no spread.
    rare[7] = NO_VALUE;
    EXPECT_FALSE(replicate_spread(rare, 1, 0, 10000, 100, 0, true, sp));
    EXPECT_FALSE(replicate_spread(std::vector<int64_t>{5}, 1, 0, 10000, 100, 0, true, sp));

    // diff -+ t sqrt(var_A + var_B), rounded outwards; Welch's degrees of
    // freedom: 20 and 20 of equal variance give 40.
    int64_t lo = 0, hi = 0;
    spread_interval(100, {100, 1e300}, {100, 1e300}, 0.05, lo, hi);
    EXPECT_EQ(lo, 72);  // 100 - 1.96 * 14.142 = 72.28
    EXPECT_EQ(hi, 128);
    spread_interval(-50, {100, 20}, {100, 20}, 0.05, lo, hi);
    const double h = t_quantile(0.975, 40) * std::sqrt(200.0);
    EXPECT_EQ(lo, static_cast<int64_t>(std::floor(-50 - h)));
    EXPECT_EQ(hi, static_cast<int64_t>(std::ceil(-50 + h)));
    spread_interval(7, {0, 20}, {0, 20}, 0.05, lo, hi);
    EXPECT_EQ(lo, 7);
    EXPECT_EQ(hi, 7);

    // An AR(1) series x_t = 0.9 x_(t-1) + e_t: sum |k| r(k) / sum r(k) =
    // 2 phi / ((1 - phi) (1 + phi)) = 9.47 frames; white noise: about 0.
    std::mt19937_64 rng(3);
    std::normal_distribution<double> g(0, 1);
    std::vector<double> ar(60000), white(60000);
    double x = 0;
    for (size_t i = 0; i < ar.size(); i++) {
        x = 0.9 * x + g(rng);
        ar[i] = x;
        white[i] = g(rng);
    }
    double lag = -1;
    block_length(ar, ar.size(), 60, nullptr, &lag);
    EXPECT_NEAR(lag, 9.47, 2.0);
    lag = -1;
    block_length(white, white.size(), 60, nullptr, &lag);
    EXPECT_GE(lag, 0);
    EXPECT_LT(lag, 1.0);
}

TEST(CompareRuns, run_arguments_name_a_file_and_a_run)
{
    std::string path, why;
    int run = -1;
    EXPECT_TRUE(parse_run_arg("a.csv", path, run, why));
    EXPECT_EQ(path, "a.csv");
    EXPECT_EQ(run, 0);
    EXPECT_TRUE(parse_run_arg("logs/a.csv:3", path, run, why));
    EXPECT_EQ(path, "logs/a.csv");
    EXPECT_EQ(run, 3);
    EXPECT_TRUE(parse_run_arg("c:/x.csv", path, run, why));  // no number after the colon
    EXPECT_EQ(path, "c:/x.csv");
    EXPECT_EQ(run, 0);
    EXPECT_TRUE(parse_run_arg("-", path, run, why));
    EXPECT_EQ(path, "-");
    EXPECT_FALSE(parse_run_arg("a.csv:0", path, run, why));
    EXPECT_NE(why.find("invalid run number '0'"), std::string::npos) << why;
    EXPECT_FALSE(parse_run_arg("a.csv:99999999999", path, run, why));
    EXPECT_FALSE(parse_run_arg(":2", path, run, why));
    // A file whose own name ends in ":2" is that file.
    char dir[] = "/tmp/compare-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string odd = std::string(dir) + "/log:2";
    FILE* f = fopen(odd.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(parse_run_arg(odd, path, run, why));
    EXPECT_EQ(path, odd);
    EXPECT_EQ(run, 0);
    unlink(odd.c_str());
    rmdir(dir);
}

TEST(CompareRuns, loads_the_run_asked_for)
{
    char dir[] = "/tmp/compare-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/log.csv";
    FILE* f = fopen(log.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const char* header = "Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,FEC Latency,"
                         "Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type\n";
    fputs(header, f);
    fputs("1,12.0,8.500,9.000,9.000,2.000,1.000,4.000,1.500,16.667,30.000,-48,7,H264 (P)\n", f);
    fputs(header, f);
    fputs("10,12.0,8.500,20.125,9.000,2.000,1.000,4.000,1.500,16.667,25.100,-48,7,H264 (I)\n", f);
    fputs("11,12.0,nan,9.001,9.000,2.000,1.000,4.000,1.500,16.667,25.000,-48,7,H264 (P)\n", f);
    fputs("oops\n", f);
    fputs("14,12.0,8.500,-0.004,9.000,2.000,1.000,4.000,1.500,16.667,24.900,-48,7,H264 (SPS)\n", f);
    fputs(header, f);
    fclose(f);

    compare_run_t r;
    ASSERT_EQ(load_compare_run(log, 2, r), "");
    EXPECT_EQ(r.run, 2);
    EXPECT_EQ(r.frames, 3u);
    EXPECT_EQ(r.malformed, 1u);
    EXPECT_EQ(r.values[SER_VRX], (std::vector<int32_t>{20125, 9001, -4}));
    EXPECT_EQ(compare_series(r, SER_VRX_I), (std::vector<int32_t>{20125, NOT_A_VALUE, NOT_A_VALUE}));
    EXPECT_EQ(compare_series(r, SER_VRX_P), (std::vector<int32_t>{NOT_A_VALUE, 9001, NOT_A_VALUE}));
    EXPECT_EQ(r.values[SER_VTX][1], NOT_A_VALUE);
    EXPECT_EQ(r.missing, 2u);  // 12 and 13
    EXPECT_EQ(r.block, 25u);   // one second of frames (median FPS 25) at least
    EXPECT_FLOAT_EQ(r.median_fps, 25.0f);

    ASSERT_EQ(load_compare_run(log, 1, r), "");
    EXPECT_EQ(r.frames, 1u);
    EXPECT_EQ(r.block, 30u);  // a second of frames even for one frame: too short to judge
    // The last run holds no rows; run 4 does not exist.
    EXPECT_EQ(load_compare_run(log, 0, r), log + ": run 3 holds no frames");
    EXPECT_EQ(load_compare_run(log, 4, r), log + " holds 3 runs, there is no run 4");
    EXPECT_NE(load_compare_run(std::string(dir) + "/none.csv", 0, r).find("No such file"), std::string::npos);

    // Without usable FPS a block is 60 frames.
    compare_run_t x = burst_run(1, 500, 0, 0);
    EXPECT_EQ(x.block, 60u);
    compare_run_t y = burst_run(1, 500, 0, 29.6);
    EXPECT_EQ(y.block, 30u);
    unlink(log.c_str());
    rmdir(dir);
}

TEST(CompareOutput, text_json_and_plot_carry_the_same_figures)
{
    compare_run_t a = burst_run(41, 3000), b = burst_run(42, 3000, 1000);
    a.log = "a&b<c>.csv";
    a.run = 1;
    b.log = std::string("bad\xff\x01name.csv");
    b.run = 2;
    compare_options_t o;
    o.resamples = 500;
    const compare_result_t c = compare_runs(a, b, o);
    const std::string text = format_compare_text(a, b, c, o);
    const compare_figure_t& f = c.fig[SER_VRX][ST_P95];
    const std::string row = "p95   " + std::string(10 - thousandths_text(f.a).size(), ' ') + thousandths_text(f.a);
    EXPECT_NE(text.find(row), std::string::npos) << text;
    EXPECT_NE(text.find(thousandths_text(f.low, true) + " .. " + thousandths_text(f.high, true)), std::string::npos);
    EXPECT_NE(text.find("500 moving-block bootstrap resamples of each run, seed 1"), std::string::npos);
    EXPECT_NE(text.find("lost frames"), std::string::npos);
    EXPECT_EQ(text.substr(0, text.find('\n')), compare_headline(c));

    cJSON* doc = compare_json(a, b, c, o);
    cJSON* p95 = cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetObjectItem(doc, "figures"), "vrx_latency_ms"), "p95");
    ASSERT_NE(p95, nullptr);
    EXPECT_DOUBLE_EQ(cJSON_GetObjectItem(p95, "a")->valuedouble, static_cast<double>(f.a) / 1000);
    EXPECT_DOUBLE_EQ(cJSON_GetObjectItem(p95, "ci_low")->valuedouble, static_cast<double>(f.low) / 1000);
    EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(p95, "real_change")), f.real);
    EXPECT_STREQ(cJSON_GetObjectItem(p95, "verdict")->valuestring, COMPARE_VERDICT_KEY[f.verdict]);
    EXPECT_EQ(cJSON_GetObjectItem(doc, "headline")->valuestring, compare_headline(c));
    char* printed = cJSON_PrintUnformatted(p95);
    // Thousandths print as the decimals themselves, with no float noise.
    EXPECT_NE(std::string(printed).find("\"a\":" + thousandths_text(f.a)), std::string::npos) << printed;
    cJSON_free(printed);
    cJSON_Delete(doc);

    const std::string svg = render_compare_svg(a, b, c);
    EXPECT_NE(svg.find("a&amp;b&lt;c&gt;.csv"), std::string::npos);
    EXPECT_EQ(svg.find("a&b"), std::string::npos);
    EXPECT_NE(svg.find("bad??name.csv"), std::string::npos);
    EXPECT_NE(svg.find("p95 " + thousandths_text(f.a)), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
}

// ---------------------------------------------------------------- reading again

const char* const LOG_HEADER = "Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,"
                               "FEC Latency,Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type\n";

// A log line of frame id: latencies drawn from rng with three decimals, FPS
// with fps_decimals of them.
std::string log_line(std::mt19937& rng, uint32_t id, int fps_decimals)
{
    auto ms = [&](double mean) { return std::max(0.001, mean + std::normal_distribution<double>(0, mean / 4)(rng)); };
    const double fps = 55 + std::uniform_real_distribution<double>(0, 10)(rng);
    return fmt::format("{},12.0,{:.3f},{:.3f},9.000,{:.3f},{:.3f},{:.3f},{:.3f},16.667,{:.{}f},-48,7,H264 ({})\n", id,
                       ms(8), ms(12), ms(3), ms(1.5), ms(5), ms(1.2), fps, fps_decimals, id % 30 == 0 ? "I" : "P");
}

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char d[] = "/tmp/compare-test-XXXXXX";
        if (mkdtemp(d) != nullptr) path = d;
    }
    ~temp_dir()
    {
        if (!path.empty()) (void)system(("rm -rf '" + path + "'").c_str());
    }
};

void write_file(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// Two runs: the first with a malformed line (a bad FPS, which a reading of
// a latency column alone would take for a row), the second without.
std::string two_run_log(unsigned seed, int frames)
{
    std::mt19937 rng(seed);
    std::string log = LOG_HEADER;
    uint32_t id = 100;
    for (int i = 0; i < frames; i++) {
        log += log_line(rng, id++, 3);
        if (i == frames / 3) log += "7,12.0,8.500,9.000,9.000,2.000,1.000,4.000,1.500,16.667,fast,-48,7,H264 (P)\n";
        if (i % 97 == 0) id++;  // a lost frame now and then
    }
    log += LOG_HEADER;
    for (int i = 0; i < frames; i++) log += log_line(rng, id++, 3);
    return log;
}

// What the report says of a against b, text and JSON.
std::string report(compare_run_t& a, const compare_side_t& sa, compare_run_t& b, const compare_side_t& sb,
                   const compare_options_t& o)
{
    const compare_result_t c = compare_sides(a, sa, b, sb, o);
    cJSON* doc = compare_json(a, b, c, o);
    char* json = cJSON_Print(doc);
    std::string out = format_compare_text(a, b, c, o) + json;
    cJSON_free(json);
    cJSON_Delete(doc);
    return out;
}

TEST(CompareRereading, figures_read_again_equal_the_held_ones)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/log.csv";
    write_file(path, two_run_log(5, 3000));
    compare_options_t o;
    o.resamples = 200;
    for (int run : {1, 2}) {
        compare_run_t held, again;
        ASSERT_EQ(load_compare_run(path, run, held), "");
        ASSERT_EQ(load_compare_run(path, run, again, 0), "");
        EXPECT_FALSE(held.reread);
        ASSERT_TRUE(again.reread);
        EXPECT_EQ(again.malformed, run == 1 ? 1u : 0u);
        EXPECT_EQ(again.frames, held.frames);
        EXPECT_EQ(again.median_fps, held.median_fps);
        EXPECT_EQ(again.block, held.block);
        EXPECT_EQ(again.id_block, held.id_block);
        EXPECT_EQ(again.values[SER_VRX], held.values[SER_VRX]);
        for (int m = 0; m < CMP_METRICS; m++) {
            if (LATENCY_SERIES[m].one_kind || m == SER_VRX) continue;
            EXPECT_TRUE(again.values[m].empty()) << m;
            std::vector<int32_t> v;
            ASSERT_EQ(reread_compare_series(again, m, v), "") << m;
            EXPECT_EQ(v, held.values[m]) << "figure " << m << " of run " << run;
        }
        // The whole comparison, figure by figure with the frames freed as
        // it goes, against the held run's.
        compare_side_t sh = bootstrap_side(held, 0, o), sa;
        ASSERT_EQ(bootstrap_run(again, 0, o, false, sa), "");
        for (int m = 0; m < CMP_METRICS; m++) {
            EXPECT_EQ(sa.rep[m], sh.rep[m]) << m;
            EXPECT_EQ(sa.count[m], sh.count[m]) << m;
            EXPECT_TRUE(std::equal(sa.point[m], sa.point[m] + ST_COUNT, sh.point[m])) << m;
            EXPECT_TRUE(again.values[m].empty()) << "figure " << m << " freed";
        }
        EXPECT_EQ(sa.lost, sh.lost);
        EXPECT_TRUE(again.kinds.empty() && again.id_steps.size() == 0);
        EXPECT_EQ(report(held, sh, held, sh, o), report(again, sa, again, sa, o));
    }
    // Past hold_frames only VRX is held; up to it, everything.
    compare_run_t r;
    ASSERT_EQ(load_compare_run(path, 2, r, 2999), "");
    EXPECT_TRUE(r.reread);
    EXPECT_TRUE(r.values[SER_VTX].empty());
    ASSERT_EQ(load_compare_run(path, 2, r, 3000), "");
    EXPECT_FALSE(r.reread);
    EXPECT_EQ(r.values[SER_VTX].size(), 3000u);
}

TEST(CompareRereading, a_log_changed_between_readings_is_reported)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/log.csv";
    const std::string log = two_run_log(6, 1000);
    const size_t second = log.find(LOG_HEADER, 1);
    struct change_t {
        const char* what;
        int run;
        std::string text;  // the log as it is read again
        bool reported;
    };
    const std::string last_row = log.substr(log.rfind('\n', log.size() - 2) + 1);
    // A row of run 2 whose VTX latency (the first figure read again) is no number.
    std::string bad_vtx = log;
    const size_t row = bad_vtx.find('\n', second + 500) + 1;
    const size_t vtx = bad_vtx.find(',', bad_vtx.find(',', row) + 1) + 1;
    bad_vtx.replace(vtx, bad_vtx.find(',', vtx) - vtx, "x");
    std::string header_inside = log;
    header_inside.insert(row, LOG_HEADER);
    const change_t changes[] = {
        {"last row cut off", 0, log.substr(0, log.size() - last_row.size()), true},
        {"a figure of a row spoiled", 2, bad_vtx, true},
        {"two rows of run 1 run together", 1, log.substr(0, 200) + log.substr(log.find('\n', 200) + 1), true},
        {"a header inside the last run", 0, header_inside, true},
        {"rows appended to the last run", 0, log + last_row + last_row, false},
        {"another run appended", 1, log + LOG_HEADER + last_row, false},
    };
    compare_options_t o;
    o.resamples = 100;
    for (const change_t& c : changes) {
        write_file(path, log);
        compare_run_t r;
        ASSERT_EQ(load_compare_run(path, c.run, r, 0), "") << c.what;
        ASSERT_TRUE(r.reread);
        write_file(path, c.text);
        compare_side_t side;
        const std::string why = bootstrap_run(r, 1, o, false, side);
        if (c.reported) {
            EXPECT_EQ(why.rfind(path + " changed while it was compared: run ", 0), 0u) << c.what << ": " << why;
        } else {
            EXPECT_EQ(why, "") << c.what;
        }
    }
    // A log gone is said too.
    write_file(path, log);
    compare_run_t r;
    ASSERT_EQ(load_compare_run(path, 1, r, 0), "");
    unlink(path.c_str());
    std::vector<int32_t> v;
    EXPECT_EQ(reread_compare_series(r, SER_VTX, v), "cannot read " + path + " again: No such file or directory");
    EXPECT_TRUE(v.empty());
}

TEST(CompareRereading, a_piped_run_gives_the_same_report_as_the_file)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/log.csv", fifo = dir.path + "/pipe";
    const std::string log = two_run_log(7, 4000);
    write_file(path, log);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Run 1 is read up to its end: the writer's rest goes nowhere.
    void (*was)(int) = signal(SIGPIPE, SIG_IGN);
    compare_options_t o;
    o.resamples = 300;
    for (int run : {1, 0}) {
        std::thread writer([&] {
            FILE* f = fopen(fifo.c_str(), "wb");  // waits for the reader
            if (f == nullptr) return;
            fwrite(log.data(), 1, log.size(), f);
            fclose(f);
        });
        compare_run_t piped, file;
        const std::string why = load_compare_run(fifo, run, piped, 0);
        writer.join();
        ASSERT_EQ(why, "");
        EXPECT_FALSE(piped.reread) << "a pipe is held whole";
        ASSERT_EQ(load_compare_run(path, run, file, 0), "");
        EXPECT_TRUE(file.reread);
        compare_side_t sp, sf, other;
        ASSERT_EQ(bootstrap_run(piped, 0, o, true, sp), "");
        EXPECT_EQ(piped.values[SER_VRX].size(), piped.frames) << "the plot's values kept";
        ASSERT_EQ(bootstrap_run(file, 0, o, true, sf), "");
        EXPECT_TRUE(file.values[SER_VRX].empty()) << "read again for the plot instead";
        ASSERT_EQ(reread_compare_series(file, SER_VRX, file.values[SER_VRX]), "");
        // Against a held run B, named alike.
        compare_run_t b;
        ASSERT_EQ(load_compare_run(path, 1, b), "");
        ASSERT_EQ(bootstrap_run(b, 1, o, true, other), "");
        piped.log = file.log = "run.csv";
        EXPECT_EQ(report(piped, sp, b, other, o), report(file, sf, b, other, o)) << "run " << run;
        const compare_result_t c = compare_sides(file, sf, b, other, o);
        EXPECT_EQ(render_compare_svg(piped, b, c), render_compare_svg(file, b, c));
    }
    signal(SIGPIPE, was);
}

TEST(CompareRereading, median_fps_is_the_sorted_values_middle_one)
{
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string path = dir.path + "/log.csv";
    // Few distinct values (counted), and more than the count table holds
    // (listed); an even and an odd number of values; the last of two runs.
    for (int decimals : {1, 5})
        for (int frames : {4000, 40001}) {
            std::mt19937 rng(static_cast<unsigned>(frames + decimals));
            // A run before it, whose values must not count.
            std::string log = LOG_HEADER;
            for (int i = 0; i < 3000; i++) log += log_line(rng, static_cast<uint32_t>(i + 1), 2);
            log += LOG_HEADER;
            std::vector<float> fps;
            for (int i = 0; i < frames; i++) {
                const std::string line = log_line(rng, static_cast<uint32_t>(i + 1), decimals);
                log += line;
                size_t at = 0;
                for (int k = 0; k < 10; k++) at = line.find(',', at) + 1;
                fps.push_back(std::stof(line.substr(at)));
            }
            write_file(path, log);
            std::set<float> distinct(fps.begin(), fps.end());
            std::nth_element(fps.begin(), fps.begin() + frames / 2, fps.end());
            compare_run_t r;
            ASSERT_EQ(load_compare_run(path, 0, r, 0), "");
            EXPECT_EQ(r.median_fps, static_cast<double>(fps[static_cast<size_t>(frames / 2)]))
                << frames << " frames, " << distinct.size() << " distinct FPS";
            if (decimals == 5 && frames > 20000) {
                EXPECT_GT(distinct.size(), 20000u) << "the listed way is taken";
            }
        }
}

}  // namespace
