// Per-record cost of the statistics engine's sliding window under the load
// of tarn-vrx-top: every record enters the 1 s, 10 s and 60 s spans with all
// twelve columns (and the I/P split and stage sums) and leaves each span as
// it ages, next to the window the engine had before (one order-statistics
// tree per column and span, kept here as the baseline) on the same records
// in the same run. Also the cost of the screen's query (eight rows of n,
// min, p50, p95, p99, max over the 10 s span) and the resident memory each
// added (the engine runs first: freed tree nodes stay in the heap).
//
//   bench_window [SECONDS] [RATE...]
//       arrival time simulated (default 75 s, so the 60 s span is full for
//       the last 15 s) at each rate in records per second (default 120,
//       the link's rate, and 10000)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include <fmt/format.h>

#include "bench_util.h"
#include "latency_stats.h"

namespace {

// Resident memory of the process in bytes.
size_t resident()
{
    FILE* f = fopen("/proc/self/statm", "r");
    unsigned long size = 0, pages = 0;
    if (f != nullptr) {
        if (fscanf(f, "%lu %lu", &size, &pages) != 2) pages = 0;
        fclose(f);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// ------------------------------------------------------------ baseline
// The window the engine had before: an order-statistics tree per column,
// values told apart by their arrival, one window per span.

struct tree_key_t {
    int64_t k;
    uint64_t seq;
    bool operator<(const tree_key_t& o) const { return k != o.k ? k < o.k : seq < o.seq; }
};

class tree_column_t {
public:
    tree_key_t add(double x)
    {
        const tree_key_t key{std::llround(x * 1000), seq_++};
        tree_.insert(key);
        return key;
    }
    void remove(const tree_key_t& key) { tree_.erase(key); }
    uint64_t count() const { return tree_.size(); }
    double percentile(uint64_t num, uint64_t den) const
    {
        if (tree_.empty()) return NAN;
        return static_cast<double>(tree_.find_by_order(nearest_rank_index(tree_.size(), num, den) - 1)->k) / 1000;
    }

private:
    __gnu_pbds::tree<tree_key_t, __gnu_pbds::null_type, std::less<tree_key_t>, __gnu_pbds::rb_tree_tag,
                     __gnu_pbds::tree_order_statistics_node_update>
        tree_;
    uint64_t seq_ = 0;
};

class tree_window_t {
public:
    explicit tree_window_t(int64_t span) : span_(span) {}
    void add(int64_t now, const stat_sample_t& s)
    {
        expire(now);
        entry_t e;
        e.t = now;
        e.s = s;
        kinds_.apply(s.kind, 1);
        for (int c = 0; c < STAT_COLUMN_COUNT; c++)
            if (std::isfinite(s.v[c])) e.keys[c] = columns_[c].add(s.v[c]);
        if (s.kind != FRAME_KIND_OTHER) e.kind_key = (s.kind == FRAME_KIND_I ? vrx_i_ : vrx_p_).add(s.v[STAT_VRX]);
        stages_.apply(s, 1);
        entries_.push_back(e);
    }
    void expire(int64_t now)
    {
        while (!entries_.empty() && entries_.front().t <= now - span_) {
            const entry_t& e = entries_.front();
            kinds_.apply(e.s.kind, -1);
            for (int c = 0; c < STAT_COLUMN_COUNT; c++)
                if (std::isfinite(e.s.v[c])) columns_[c].remove(e.keys[c]);
            if (e.s.kind != FRAME_KIND_OTHER) (e.s.kind == FRAME_KIND_I ? vrx_i_ : vrx_p_).remove(e.kind_key);
            stages_.apply(e.s, -1);
            entries_.pop_front();
        }
    }
    const tree_column_t& column(int c) const { return columns_[c]; }
    const tree_column_t& vrx_of(frame_kind_e k) const { return k == FRAME_KIND_I ? vrx_i_ : vrx_p_; }

private:
    struct entry_t {
        int64_t t;
        stat_sample_t s;
        tree_key_t keys[STAT_COLUMN_COUNT];
        tree_key_t kind_key;
    };
    int64_t span_;
    std::deque<entry_t> entries_;
    frame_counts_t kinds_;
    tree_column_t columns_[STAT_COLUMN_COUNT];
    tree_column_t vrx_i_, vrx_p_;
    stage_sums_t stages_;
};

// ------------------------------------------------------------- records

// Records like the simulator's, at the log's precision.
std::vector<stat_sample_t> make_records(size_t n)
{
    std::mt19937 rng(1);
    std::normal_distribution<double> jitter(0.0, 1.0);
    auto around = [&](double mean, double spread) {
        return std::round(std::max(0.05, mean + spread * jitter(rng)) * 1000) / 1000;
    };
    std::vector<stat_sample_t> out(n);
    for (size_t i = 0; i < n; i++) {
        stat_sample_t& s = out[i];
        const bool iframe = i % 30 == 0;
        s.sample_id = static_cast<uint32_t>(i);
        s.kind = iframe ? FRAME_KIND_I : FRAME_KIND_P;
        s.v[STAT_INPUT] = std::round(around(iframe ? 18 : 12, 1.5) * 10) / 10;
        s.v[STAT_FRAME] = around(iframe ? 4.5 : 2.5, 0.4);
        s.v[STAT_FEC] = around(iframe ? 1.6 : 0.9, 0.2);
        s.v[STAT_DECODE] = around(iframe ? 6.0 : 3.8, 0.5);
        s.v[STAT_RENDER] = around(1.6, 0.3);
        s.v[STAT_VRX] = s.v[STAT_FRAME] + s.v[STAT_FEC] + s.v[STAT_DECODE] + s.v[STAT_RENDER] + around(0.4, 0.1);
        s.v[STAT_VRX] = std::round(s.v[STAT_VRX] * 1000) / 1000;
        s.v[STAT_AVG] = around(9, 0.3);
        s.v[STAT_VTX] = around(iframe ? 11 : 8.5, 0.8);
        s.v[STAT_PCAP] = around(8.333, 0.6);
        s.v[STAT_FPS] = around(120, 0.05);
        s.v[STAT_RSSI] = -48 + std::lround(3 * jitter(rng));
        s.v[STAT_FRAGMENTS] = iframe ? 24 : 6;
    }
    return out;
}

constexpr int64_t SEC = 1'000'000'000;
const int64_t SPANS[3] = {1 * SEC, 10 * SEC, 60 * SEC};
// The screen's rows: VRX all, I, P, VTX and the four stages.
constexpr int ROW_COLUMNS[5] = {STAT_VTX, STAT_FRAME, STAT_FEC, STAT_DECODE, STAT_RENDER};

struct result_t {
    double add_ns = 0;    // per record, entering and leaving every span
    double query_us = 0;  // per screen query
    size_t bytes = 0;     // resident memory it added
    double check = 0;     // sum of the 10 s span's figures, to compare
};

template <class Column>
double row_figures(const Column& c)
{
    double sum = 0;
    for (uint64_t p : {0, 50, 95, 99, 100}) sum += c.percentile(p, 100);
    return sum + static_cast<double>(c.count());
}

// What the screen asks of the 10 s span for one frame, 200 times.
template <typename Span>
void time_queries(const Span& ten, result_t& r)
{
    const int queries = 200;
    const double q0 = now_s();
    for (int q = 0; q < queries; q++) {
        double sum = row_figures(ten.column(STAT_VRX)) + row_figures(ten.vrx_of(FRAME_KIND_I)) +
                     row_figures(ten.vrx_of(FRAME_KIND_P));
        for (int c : ROW_COLUMNS) sum += row_figures(ten.column(c));
        r.check = sum;
    }
    r.query_us = (now_s() - q0) * 1e6 / queries;
}

result_t run_trees(const std::vector<stat_sample_t>& recs, double rate)
{
    result_t r;
    const size_t before = resident();
    auto w = std::make_unique<std::vector<tree_window_t>>();
    for (int64_t span : SPANS) w->emplace_back(span);
    const double t0 = now_s();
    for (size_t i = 0; i < recs.size(); i++) {
        const auto now = static_cast<int64_t>(static_cast<double>(i) * 1e9 / rate);
        for (tree_window_t& x : *w) x.add(now, recs[i]);
    }
    r.add_ns = (now_s() - t0) * 1e9 / static_cast<double>(recs.size());
    r.bytes = resident() - before;
    time_queries((*w)[1], r);
    return r;
}

result_t run_engine(const std::vector<stat_sample_t>& recs, double rate, bool since_start,
                    uint32_t columns = ALL_STAT_COLUMNS)
{
    result_t r;
    const size_t before = resident();
    std::vector<int64_t> spans(SPANS, SPANS + 3);
    if (since_start) spans.push_back(0);
    auto w = std::make_unique<latency_window_t>(spans, columns);
    const double t0 = now_s();
    for (size_t i = 0; i < recs.size(); i++) {
        const auto now = static_cast<int64_t>(static_cast<double>(i) * 1e9 / rate);
        w->add(now, recs[i]);
    }
    r.add_ns = (now_s() - t0) * 1e9 / static_cast<double>(recs.size());
    r.bytes = resident() - before;
    time_queries(w->span(1), r);
    return r;
}

}  // namespace

int main(int argc, char* argv[])
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 75;
    std::vector<double> rates;
    for (int i = 2; i < argc; i++) rates.push_back(std::atof(argv[i]));
    if (rates.empty()) rates = {120, 10000};
    if (!(seconds > 0)) {
        fprintf(stderr, "usage: bench_window [SECONDS] [RATE...]\n");
        return 2;
    }
    fmt::print("sliding window, spans 1 s, 10 s, 60 s, 12 columns + I/P split + stage sums; {} s of records\n",
               seconds);
    fmt::print("{:>8} {:>9} {:<38} {:>11} {:>11} {:>12}\n", "rate/s", "records", "window", "ns/record", "query us",
               "memory MB");
    bool same = true;
    for (double rate : rates) {
        const auto n = static_cast<size_t>(seconds * rate);
        const std::vector<stat_sample_t> recs = make_records(n);
        const result_t engine = run_engine(recs, rate, false);
        const result_t since = run_engine(recs, rate, true);
        // What tarn-vrx-top keeps: the columns of its table.
        const result_t live = run_engine(recs, rate, true,
                                         1u << STAT_VRX | 1u << STAT_VTX | 1u << STAT_FRAME | 1u << STAT_FEC |
                                             1u << STAT_DECODE | 1u << STAT_RENDER);
        const result_t trees = run_trees(recs, rate);
        auto row = [&](const char* what, const result_t& r) {
            fmt::print("{:>8.0f} {:>9} {:<38} {:>11.1f} {:>11.2f} {:>12.1f}\n", rate, n, what, r.add_ns, r.query_us,
                       static_cast<double>(r.bytes) / 1e6);
        };
        row("trees (baseline, the engine before)", trees);
        row("engine, 3 spans", engine);
        row("engine, 3 spans + since start", since);
        row("engine, tarn-vrx-top (+ since, 6 col.)", live);
        fmt::print("{:>8} {:>9} engine per record {:.1f}x faster, query {:.2f}x the baseline's time\n", "", "",
                   trees.add_ns / engine.add_ns, engine.query_us / trees.query_us);
        same = same && trees.check == engine.check && engine.check == since.check && since.check == live.check;
    }
    fmt::print("same figures from both: {}\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
