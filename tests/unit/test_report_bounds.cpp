// The report's bounds on any input: value_histogram_t past its limit of
// distinct values (buckets, exact count, sum, min and max), the exact
// percentiles found by reading a run again, the reordering horizon of the
// sample-id accounting, the JSON written run by run, and the report program
// on a log that overflows its statistics, from a file (exact) and from a
// pipe (approximate, and saying so).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <cJSON.h>
#include <fmt/format.h>

#include "id_reference.h"
#include "latency_refine.h"
#include "latency_report.h"
#include "latency_stats.h"
#include "temp_folder.h"

extern char** environ;

// A sanitizer's shadow memory and quarantine are no part of the report's
// memory, nor is an emulator's: its peak is only checked against the bound
// in a plain build run natively.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
const bool PLAIN_BUILD = !SANITIZED && std::string(TARN_TEST_EMULATOR).empty();

namespace {

// The engine's thousandths of x (below 10^12), as value_histogram_t holds it.
double held(double x)
{
    return from_order_bits(held_order_bits(x));
}

// Nearest-rank value of sorted values.
double rank_value(const std::vector<double>& sorted, uint64_t num, uint64_t den)
{
    return sorted[nearest_rank_index(sorted.size(), num, den) - 1];
}

std::vector<double> hostile_values(std::mt19937& rng, size_t n)
{
    // Mostly distinct thousandths over a wide range, some clustered, some
    // negative, a few beyond thousandths (10^12 and more).
    std::uniform_int_distribution<int64_t> wide(-5000000000, 5000000000);
    std::uniform_int_distribution<int> pick(0, 99), near(0, 3000);
    std::vector<double> v;
    for (size_t i = 0; i < n; i++) {
        const int p = pick(rng);
        if (p < 2)
            v.push_back((p ? 1 : -1) * (1e12 + 1e9 * near(rng)));
        else if (p < 40)
            v.push_back(10 + near(rng) / 1000.0);
        else
            v.push_back(static_cast<double>(wide(rng)) / 1000);
    }
    return v;
}

}  // namespace

TEST(BoundedHistogram, past_its_limit_keeps_count_sum_extremes_and_brackets_every_rank)
{
    std::mt19937 rng(5);
    for (size_t cap : {size_t{16}, size_t{256}, value_histogram_t::MAX_DISTINCT}) {
        const std::vector<double> v = hostile_values(rng, 3 * cap + 5000);
        value_histogram_t h(cap);
        std::vector<double> ref;
        for (double x : v) {
            h.add(x);
            ref.push_back(held(x));
        }
        std::sort(ref.begin(), ref.end());
        ASSERT_FALSE(h.exact()) << cap;
        EXPECT_LE(h.distinct(), cap) << "the buckets are the bound";
        EXPECT_EQ(h.count(), v.size());
        EXPECT_EQ(h.min(), ref.front());
        EXPECT_EQ(h.max(), ref.back());
        long double sum = 0;
        for (double x : ref) sum += x;
        EXPECT_NEAR(h.mean(), static_cast<double>(sum / ref.size()),
                    1e-6 * std::fabs(static_cast<double>(sum / ref.size())) + 1e-9);
        const column_stats_t s = h.stats(3);
        EXPECT_EQ(s.nonfinite, 3u);
        EXPECT_GT(s.pct_error, 0);
        const double got[3] = {s.p50, s.p95, s.p99};
        const uint64_t nums[3] = {50, 95, 99};
        for (int i = 0; i < 3; i++) {
            const double want = rank_value(ref, nums[i], 100);
            EXPECT_LE(std::fabs(got[i] - want), s.pct_error) << "p" << nums[i] << " cap " << cap;
        }
        // Every rank's bucket holds the value of that rank, after as many
        // lower values as the reference has.
        for (uint64_t r : {uint64_t{1}, uint64_t{ref.size() / 3}, uint64_t{ref.size() - 7}, uint64_t{ref.size()}}) {
            const value_histogram_t::rank_bucket_t b = h.rank_bucket(r);
            const uint64_t u = order_bits(ref[r - 1]);
            EXPECT_LE(b.lo, u);
            EXPECT_GE(b.hi, u);
            const auto lower = static_cast<uint64_t>(
                std::count_if(ref.begin(), ref.end(), [&](double x) { return order_bits(x) < b.lo; }));
            const auto inside = static_cast<uint64_t>(std::count_if(
                ref.begin(), ref.end(), [&](double x) { return order_bits(x) >= b.lo && order_bits(x) <= b.hi; }));
            EXPECT_EQ(b.below, lower) << r;
            EXPECT_EQ(b.count, inside) << r;
        }
    }
    // Under the limit nothing changes: exact, and a rank's bucket is its value.
    value_histogram_t small(64);
    for (int i = 0; i < 60; i++) small.add(i * 1.5);
    EXPECT_TRUE(small.exact());
    EXPECT_EQ(small.stats().pct_error, 0);
    EXPECT_EQ(from_order_bits(small.rank_bucket(31).lo), 45.0);
    EXPECT_EQ(small.rank_bucket(31).below, 30u);
}

TEST(BoundedHistogram, order_bits_keep_the_order_of_values)
{
    const double v[] = {-1e300, -1e12, -2.5, -0.001, -0.0, 0.0, 0.001, 1, 16.667, 1e12, 1e300};
    for (size_t i = 0; i + 1 < std::size(v); i++) {
        EXPECT_LT(order_bits(v[i]), order_bits(v[i + 1])) << v[i];
        EXPECT_EQ(from_order_bits(order_bits(v[i])), v[i]);
    }
    EXPECT_EQ(held(16.6674), 16.667);
    EXPECT_EQ(held(-0.0004), 0.0);
    EXPECT_EQ(held(3e12 + 0.25), 3e12 + 0.25);
}

namespace {

// A run of samples fed to latency_stats_t, read again as often as asked.
struct rerun_t {
    std::vector<stat_sample_t> samples;
    size_t drop = 0;  // rows the reading again leaves out (a changed file)
    int readings = 0;
    int reread(const std::function<void(const stat_sample_t&)>& f)
    {
        readings++;
        for (size_t i = drop; i < samples.size(); i++) f(samples[i]);
        return 0;
    }
};

void expect_exact(const rerun_t& run, const latency_stats_t& st, const exact_percentiles_t& ex)
{
    for (int s = 0; s < RUN_SERIES; s++) {
        std::vector<double> ref;
        for (const stat_sample_t& smp : run.samples) {
            const double v = series_value(smp, s);
            if (std::isfinite(v)) ref.push_back(held(v));
        }
        std::sort(ref.begin(), ref.end());
        const value_histogram_t& h = series_histogram(st, s);
        ASSERT_EQ(h.count(), ref.size());
        if (h.exact()) {
            EXPECT_FALSE(ex.known[s]) << "an exact series needs no reading again";
            continue;
        }
        ASSERT_TRUE(ex.known[s]) << s;
        const uint64_t nums[3] = {50, 95, 99};
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(ex.p[s][i], rank_value(ref, nums[i], 100)) << "series " << s << " p" << nums[i];
    }
}

}  // namespace

TEST(RefinePercentiles, reading_again_gives_the_sorted_values_ranks)
{
    std::mt19937 rng(9);
    rerun_t run;
    latency_stats_t st;
    const std::vector<double> wild = hostile_values(rng, 40000);
    std::uniform_real_distribution<double> lat(5, 15);
    for (size_t i = 0; i < wild.size(); i++) {
        stat_sample_t s;
        s.sample_id = static_cast<uint32_t>(i);
        s.kind = i % 7 == 0 ? FRAME_KIND_I : i % 7 == 6 ? FRAME_KIND_OTHER : FRAME_KIND_P;
        for (int c = 0; c < STAT_COLUMN_COUNT; c++) s.v[c] = std::round(lat(rng) * 1000) / 1000;  // clustered: exact
        s.v[STAT_VRX] = wild[i];
        s.v[STAT_PCAP] = 16.667 * static_cast<double>(i);  // a clock
        if (i % 1000 == 3) s.v[STAT_VRX] = NAN;
        run.samples.push_back(s);
        st.add(s);
    }
    ASSERT_FALSE(st.column(STAT_VRX).exact());
    ASSERT_FALSE(st.column(STAT_PCAP).exact());
    ASSERT_TRUE(st.column(STAT_FPS).exact());
    exact_percentiles_t ex;
    int readings = 0;
    ASSERT_EQ(refine_percentiles(
                  st, [&](const auto& f) { return run.reread(f); }, ex, &readings),
              0);
    EXPECT_EQ(readings, run.readings);
    EXPECT_GE(readings, 1);
    EXPECT_LE(readings, REFINE_MAX_READINGS);
    expect_exact(run, st, ex);
}

TEST(RefinePercentiles, a_bucket_too_full_to_count_is_split_in_further_readings)
{
    // 20,000 values spread from 1 to 10^11 make the buckets wide (about 1 %
    // of a value); 180,000 distinct thousandths from 10^6 to 10^6 + 180 lie
    // in one or two of them, far more than a reading counts exactly.
    rerun_t run;
    latency_stats_t st;
    for (int i = 0; i < 200000; i++) {
        stat_sample_t s;
        s.sample_id = static_cast<uint32_t>(i);
        s.kind = FRAME_KIND_P;
        for (int c = 0; c < STAT_COLUMN_COUNT; c++) s.v[c] = 1;
        s.v[STAT_VTX] =
            i < 20000 ? std::round(std::pow(1e11, i / 20000.0) * 1000) / 1000 : 1e6 + ((i * 7919) % 180000) / 1000.0;
        run.samples.push_back(s);
        st.add(s);
    }
    exact_percentiles_t ex;
    int readings = 0;
    ASSERT_EQ(refine_percentiles(
                  st, [&](const auto& f) { return run.reread(f); }, ex, &readings),
              0);
    EXPECT_GE(readings, 2);
    expect_exact(run, st, ex);

    // Rows read again that are not those counted (the file changed): the
    // series stays unknown, so the report keeps saying it is approximate.
    run.drop = 150000;
    exact_percentiles_t changed;
    ASSERT_EQ(refine_percentiles(
                  st, [&](const auto& f) { return run.reread(f); }, changed),
              0);
    EXPECT_FALSE(changed.known[STAT_VTX]);
}

namespace {

// The id accounting with the same horizon, from the set of ids accepted:
// as simple as it can be.
struct ref_horizon {
    int64_t horizon = 0;
    bool any = false;
    uint32_t prev_id = 0;
    int64_t prev = 0, high = 0;
    std::set<int64_t> seen;
    uint64_t repeats = 0, out_of_order = 0;
    void add(uint32_t id)
    {
        int64_t x = id;
        if (any) x = prev + static_cast<int32_t>(id - prev_id);
        prev = x;
        prev_id = id;
        if (any && high - x > horizon) {
            out_of_order++;
            return;
        }
        if (seen.count(x))
            repeats++;
        else if (any && x < high)
            out_of_order++;
        high = any ? std::max(high, x) : x;
        any = true;
        seen.insert(x);
    }
    std::vector<std::pair<int64_t, int64_t>> gaps() const { return gaps_between(seen); }
};

}  // namespace

TEST(IdHorizon, late_ids_beyond_the_horizon_are_out_of_order_and_gaps_stay_bounded)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 30; round++) {
        const int64_t horizon = 1 + round * 7;
        id_tracker_t t;
        t.horizon = horizon;
        ref_horizon ref;
        ref.horizon = horizon;
        std::uniform_int_distribution<int> step(-3 * static_cast<int>(horizon), 4 + static_cast<int>(horizon));
        uint32_t id = rng();
        size_t most = 0;
        for (int i = 0; i < 3000; i++) {
            id += static_cast<uint32_t>(step(rng));
            track_id(t, id);
            ref.add(id);
            most = std::max(most, t.gaps.size());
        }
        EXPECT_EQ(t.repeats, ref.repeats) << round;
        EXPECT_EQ(t.out_of_order, ref.out_of_order) << round;
        const auto want = ref.gaps();
        ASSERT_EQ(t.gap_count(), want.size()) << round;
        uint64_t missing = 0;
        for (const auto& [a, b] : want) missing += static_cast<uint64_t>(b - a + 1);
        EXPECT_EQ(t.missing, missing) << round;
        // Listed: the first MAX_KEPT_GAPS closed ones, then those still open.
        std::vector<std::pair<int64_t, int64_t>> kept = want;
        if (t.closed_gaps > id_tracker_t::MAX_KEPT_GAPS)
            kept.erase(kept.begin() + id_tracker_t::MAX_KEPT_GAPS,
                       kept.end() - static_cast<std::ptrdiff_t>(t.gaps.size()));
        const std::vector<id_range_t> listed = t.first_gaps(SIZE_MAX);
        ASSERT_EQ(listed.size(), kept.size()) << round;
        for (size_t i = 0; i < kept.size(); i++) {
            EXPECT_EQ(listed[i].first, kept[i].first) << round << " gap " << i;
            EXPECT_EQ(listed[i].last, kept[i].second) << round << " gap " << i;
        }
        EXPECT_LE(most, static_cast<size_t>(horizon / 2 + 2)) << "gaps kept only within the horizon";
    }

    // Every other id missing for 3,000,000 ids: the count is whole, the map
    // holds the horizon's gaps, the list the first MAX_KEPT_GAPS.
    id_tracker_t t;
    for (uint32_t k = 0; k < 3000000; k++) track_id(t, 2 * k);
    EXPECT_EQ(t.missing, 2999999u);
    EXPECT_EQ(t.gap_count(), 2999999u);
    EXPECT_LE(t.gaps.size(), static_cast<size_t>(ID_HORIZON / 2 + 1));
    EXPECT_EQ(t.closed.size(), id_tracker_t::MAX_KEPT_GAPS);
    const std::vector<id_range_t> first = t.first_gaps(3);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[2].first, 5);
    EXPECT_EQ(first[2].last, 5);
    // A late id beyond the horizon fills nothing; one within it does.
    track_id(t, 1);
    EXPECT_EQ(t.missing, 2999999u);
    EXPECT_EQ(t.out_of_order, 1u);
    track_id(t, 2 * 2999999 - 1);
    EXPECT_EQ(t.missing, 2999998u);
    EXPECT_EQ(t.repeats, 0u);
}

TEST(JsonByRun, the_pieces_make_the_document_cjson_prints_whole)
{
    std::vector<run_summary_t> runs;
    for (int k = 0; k < 3; k++) {
        run_data_t d;
        run_start(d, k + 1, 1 + 10 * k, k != 1);
        for (int i = 0; i < k * 4; i++) {
            latency_row_t r;
            const std::string line =
                fmt::format("{},12.0,8.000,{}.500,10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7,{}",
                            100 + i * (k + 1), 9 + i, i % 3 ? "H264 (P)" : "H264 (I)");
            ASSERT_EQ(parse_latency_line(line, r), nullptr);
            run_add_row(d, 2 + 10 * k + static_cast<size_t>(i), r);
        }
        if (k == 2) run_add_malformed(d, 40, "too few fields");
        runs.push_back(summarize_run(d));
    }
    runs[2].columns[STAT_PCAP].pct_error = 0.25;  // approximate members too
    for (size_t shown : {size_t{0}, size_t{1}, size_t{3}}) {
        const std::string log = "/tmp/a \"quoted\" \\ log\t\xc3\xa9.csv";
        cJSON* doc = cJSON_CreateObject();
        cJSON_AddStringToObject(doc, "log", log.c_str());
        cJSON* arr = cJSON_AddArrayToObject(doc, "runs");
        std::string streamed = json_report_head(log), piece;
        for (size_t i = 0; i < shown; i++) {
            cJSON_AddItemToArray(arr, run_summary_json(runs[i]));
            ASSERT_TRUE(json_report_run(runs[i], i == 0, piece));
            streamed += piece;
        }
        cJSON_AddNumberToObject(doc, "run_count", 3);
        cJSON_AddNumberToObject(doc, "lines", 40);
        cJSON_AddNumberToObject(doc, "malformed_lines", 1);
        streamed += json_report_tail(3, 40, 1);
        char* whole = cJSON_Print(doc);
        EXPECT_EQ(streamed, whole) << shown << " runs";
        cJSON_free(whole);
        cJSON_Delete(doc);
    }
}

TEST(RunSummary, i_and_p_rows_count_their_non_finite_values_and_approximate_ones_say_so)
{
    run_data_t d;
    run_start(d, 1, 1, true);
    const char* vrx[] = {"nan", "20.000", "inf", "10.000", "-inf", "nan", "12.000"};
    const char* type[] = {"H264 (I)", "H264 (I)", "H264 (P)", "H264 (P)", "H264 (P)", "H264 (?) 77", "H264 (P)"};
    for (int i = 0; i < 7; i++) {
        latency_row_t r;
        const std::string line = fmt::format("{},12.0,8.000,{},10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7,{}",
                                             i + 1, vrx[i], type[i]);
        ASSERT_EQ(parse_latency_line(line, r), nullptr) << line;
        run_add_row(d, static_cast<size_t>(i) + 2, r);
    }
    run_summary_t s = summarize_run(d);
    EXPECT_EQ(s.columns[STAT_VRX].nonfinite, 4u);
    EXPECT_EQ(s.vrx_i.nonfinite, 1u);
    EXPECT_EQ(s.vrx_p.nonfinite, 2u);
    EXPECT_EQ(s.vrx_i.n, 1u);
    EXPECT_EQ(s.vrx_p.n, 2u);
    std::string text = format_run_text(s);
    EXPECT_NE(text.find("(1 non-finite left out)\n    P-frames "), std::string::npos) << text;
    EXPECT_NE(text.find("(2 non-finite left out)\n  Average Latency "), std::string::npos) << text;
    EXPECT_EQ(text.find("approximate"), std::string::npos);

    s.columns[STAT_PCAP].pct_error = 0.5;
    text = format_run_text(s);
    EXPECT_NE(text.find("(p50, p95, p99 approximate: within +/-0.5)\n"), std::string::npos) << text;
    cJSON* o = run_summary_json(s);
    cJSON* pcap = cJSON_GetObjectItem(cJSON_GetObjectItem(o, "columns"), "pcap_delta_ms");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(pcap, "approximate")));
    EXPECT_EQ(cJSON_GetObjectItem(pcap, "percentile_error")->valuedouble, 0.5);
    cJSON* vtx = cJSON_GetObjectItem(cJSON_GetObjectItem(o, "columns"), "vtx_latency_ms");
    EXPECT_EQ(cJSON_GetObjectItem(vtx, "approximate"), nullptr) << "exact columns keep their members";
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(o, "vrx_latency_ms_i_frames"), "nonfinite")->valuedouble, 1);
    cJSON_Delete(o);
}

namespace {

struct program_run_t {
    int status = -1;
    long peak_kb = 0;
    std::string out;
};

// Runs the report with args, its standard input a pipe fed with the file
// in (or /dev/null), and collects its output and peak memory.
program_run_t run_report(const std::vector<std::string>& args, const std::string& in, const std::string& out_path)
{
    // In a cross build through the emulator, whose memory is then measured
    // too (see PLAIN_BUILD).
    std::vector<std::string> all;
    std::istringstream emulator(TARN_TEST_EMULATOR);
    for (std::string w; emulator >> w;) all.push_back(w);
    all.push_back(std::string(TARN_BIN_DIR) + "/tarn-latency-report");
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2] = {-1, -1};
    program_run_t r;
    if (!in.empty() && pipe2(p, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in.empty())
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&fa, p[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (p[0] >= 0) {
        close(p[0]);
        if (err == 0) {
            std::ifstream f(in, std::ios::binary);
            std::string chunk(1 << 16, '\0');
            while (f.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || f.gcount() > 0) {
                const size_t n = static_cast<size_t>(f.gcount());
                size_t done = 0;
                while (done < n) {
                    const ssize_t w = write(p[1], chunk.data() + done, n - done);
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) break;
                    done += static_cast<size_t>(w);
                }
                if (done < n) break;
            }
        }
        close(p[1]);
    }
    if (err != 0) return r;
    int st = 0;
    struct rusage ru {};
    while (wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {}
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.peak_kb = ru.ru_maxrss;
    std::ifstream o(out_path, std::ios::binary);
    std::stringstream ss;
    ss << o.rdbuf();
    r.out = ss.str();
    return r;
}

}  // namespace

class ReportBounds : public TempFolderTest {};

// 28,000 rows whose every column holds distinct values: more than the
// statistics count one by one (16,384 outside the dense block), so they
// count in buckets. From the file the report reads the run again and prints
// the sorted values' ranks; from a pipe it prints the buckets' middles and
// says how far they may be off.
TEST_F(ReportBounds, a_log_past_the_statistics_bound_is_exact_from_a_file_and_approximate_from_a_pipe)
{
    constexpr int ROWS = 28000;  // 7919 steps through all of them: no common factor
    std::string log = latency_csv_header() + "\n";
    std::vector<int64_t> k(ROWS);
    for (int i = 0; i < ROWS; i++) {
        k[static_cast<size_t>(i)] = (static_cast<int64_t>(i) * 7919) % ROWS;
        const int64_t v = k[static_cast<size_t>(i)];
        log += fmt::format("{}", i + 1);
        for (int c = 0; c < 10; c++) log += fmt::format(",{}.{:03}", c * 100 + v / 1000, v % 1000);
        log += fmt::format(",{},{},{}\n", -v, v, i % 3 ? "H264 (P)" : "H264 (I)");
    }
    // Twice, after a short run (so no run starts where a reading's block
    // does): the first reading goes on where it was after each run was
    // read again.
    const std::string short_run = latency_csv_header() + "\n" +
                                  "1,12.0,8.000,10.000,10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7,H264 (P)\n";
    put("distinct.csv", short_run + log + log);
    std::vector<int64_t> sorted = k;
    std::sort(sorted.begin(), sorted.end());
    long double sum = 0;
    for (int64_t v : k) sum += static_cast<long double>(v);

    const program_run_t file = run_report({"--json", path("distinct.csv")}, "", path("file.json"));
    ASSERT_EQ(file.status, 0) << file.out;
    if (PLAIN_BUILD) {
        EXPECT_LT(file.peak_kb, 64 * 1024) << "peak memory of the report, KB";
    }
    const program_run_t piped = run_report({"--json", "-"}, path("distinct.csv"), path("pipe.json"));
    ASSERT_EQ(piped.status, 0) << piped.out;
    if (PLAIN_BUILD) {
        EXPECT_LT(piped.peak_kb, 64 * 1024);
    }
    const program_run_t text = run_report({"-"}, path("distinct.csv"), path("pipe.txt"));
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("(p50, p95, p99 approximate: within +/-"), std::string::npos) << text.out;
    const program_run_t file_text = run_report({path("distinct.csv")}, "", path("file.txt"));
    EXPECT_EQ(file_text.out.find("approximate"), std::string::npos) << file_text.out;

    cJSON* fdoc = cJSON_Parse(file.out.c_str());
    cJSON* pdoc = cJSON_Parse(piped.out.c_str());
    ASSERT_NE(fdoc, nullptr);
    ASSERT_NE(pdoc, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(fdoc, "run_count")->valuedouble, 3);
    EXPECT_EQ(cJSON_GetObjectItem(fdoc, "lines")->valuedouble, 2 + 2 * (ROWS + 1));
    EXPECT_EQ(cJSON_GetObjectItem(fdoc, "malformed_lines")->valuedouble, 0);
    int approximate = 0;
    for (int run = 1; run < 3; run++) {
        cJSON* fcols = cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(fdoc, "runs"), run), "columns");
        cJSON* pcols = cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(pdoc, "runs"), run), "columns");
        ASSERT_NE(fcols, nullptr) << run;
        ASSERT_NE(pcols, nullptr) << run;
        for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
            const char* key = stat_column(c).json_key;
            // The column's values: c * 100 + k / 1000, RSSI -k, fragments k.
            const double scale = c == STAT_RSSI ? -1.0 : c == STAT_FRAGMENTS ? 1.0 : 0.001;
            const double offset = c == STAT_RSSI || c == STAT_FRAGMENTS ? 0 : c * 100.0;
            auto value = [&](int64_t v) { return offset + static_cast<double>(v) * scale; };
            std::vector<double> ref;
            for (int64_t v : sorted) ref.push_back(value(v));
            std::sort(ref.begin(), ref.end());
            cJSON* f = cJSON_GetObjectItem(fcols, key);
            cJSON* p = cJSON_GetObjectItem(pcols, key);
            ASSERT_NE(f, nullptr) << key;
            EXPECT_EQ(cJSON_GetObjectItem(f, "n")->valuedouble, ROWS) << key;
            EXPECT_EQ(cJSON_GetObjectItem(f, "approximate"), nullptr) << key << ": exact from a file";
            const char* pct[3] = {"p50", "p95", "p99"};
            const uint64_t nums[3] = {50, 95, 99};
            const bool is_approx = cJSON_IsTrue(cJSON_GetObjectItem(p, "approximate"));
            approximate += is_approx;
            const double err = is_approx ? cJSON_GetObjectItem(p, "percentile_error")->valuedouble : 0;
            for (int i = 0; i < 3; i++) {
                const double want = rank_value(ref, nums[i], 100);
                EXPECT_NEAR(cJSON_GetObjectItem(f, pct[i])->valuedouble, want, 1e-9) << key << " " << pct[i];
                EXPECT_LE(std::fabs(cJSON_GetObjectItem(p, pct[i])->valuedouble - want), err + 1e-3)
                    << key << " " << pct[i] << " from a pipe";
            }
            EXPECT_NEAR(cJSON_GetObjectItem(f, "min")->valuedouble, ref.front(), 1e-9) << key;
            EXPECT_NEAR(cJSON_GetObjectItem(f, "max")->valuedouble, ref.back(), 1e-9) << key;
            EXPECT_NEAR(cJSON_GetObjectItem(p, "max")->valuedouble, ref.back(), 1e-9)
                << key << ": exact from a pipe too";
            const double mean = offset + static_cast<double>(sum / ROWS) * scale;
            EXPECT_NEAR(cJSON_GetObjectItem(f, "mean")->valuedouble, mean, 1e-6) << key;
            EXPECT_NEAR(cJSON_GetObjectItem(p, "mean")->valuedouble, mean, 1e-6) << key;
        }
    }
    EXPECT_GE(approximate, 20) << "from a pipe the overflowed columns say they are approximate";
    cJSON_Delete(fdoc);
    cJSON_Delete(pdoc);
}
