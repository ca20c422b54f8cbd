// The statistics engine of the latency tools: everything tarn-latency-report
// says about a run, and everything a live view says about the last seconds,
// computed in one pass over the records with nothing kept per record.
//
// Building blocks, each usable alone:
//
//   value_histogram_t   exact multiset of values at the log's precision
//                       (thousandths), sparse: memory grows with the number
//                       of distinct values, never with the number of values.
//                       O(1) expected per value; min, max, mean and
//                       nearest-rank percentiles in O(d log d) for d distinct
//                       values, all of them from one sort.
//   id_tracker_t        sample-id accounting: missing ids and their gaps,
//                       repeats, ids out of order, 32-bit wrap. O(log g) per
//                       id for g gaps, whatever order the ids come in.
//   window_column_t     a multiset that values enter and leave (a sliding
//                       window), O(log w) per change for w values in it, with
//                       percentile, min, max and mean queries in O(log w).
//   latency_stats_t     one run: every column, the I/P split of the receiver
//                       latency, the stage shares, frame kinds and sample ids.
//   latency_window_t    the same figures (ids aside) over the records of the
//                       last span of time, records leaving as time moves on.
//
// Values are latencies and rates as the inspector logs them: at most three
// decimals. A value is held as its nearest thousandth, an integer, so sums
// are exact and equal values compare equal; values of 10^12 and more (far
// beyond anything the receiver measures, but a hand-written log may hold
// them) are held as they are. Non-finite values (NaN, infinities) are the
// caller's to count and leave out; the columns here take finite values only.
#ifndef TARN_LATENCY_STATS_H
#define TARN_LATENCY_STATS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include "latency_record.h"
#include "tarn_common.h"

// ---------------------------------------------------------------- ranks

// Nearest-rank percentile rank: the value of rank ceil(num/den * n) among n
// values in ascending order (rank 1 for num = 0; 0 for n = 0). num/den gives
// p without rounding: 95/100, 999/1000.
uint64_t nearest_rank_index(uint64_t n, uint64_t num, uint64_t den);

// A value as held by the engine: thousandths when |v| < 10^12, else the
// value itself. Ordered by value.
struct stat_key_t {
    bool big;     // the value did not fit thousandths; it is in `value`
    int64_t k;    // thousandths, when !big
    double value; // when big
};
// The value as a double: k / 1000 (the nearest double to the decimal).
double stat_key_value(const stat_key_t& key);

// Min, mean, nearest-rank p50/p95/p99 and max of a column (NaN without values).
struct column_stats_t {
    uint64_t n = 0;          // finite values
    uint64_t nonfinite = 0;  // NaN and infinities, left out
    double min = 0, mean = 0, p50 = 0, p95 = 0, p99 = 0, max = 0;
};

// ------------------------------------------------------ value_histogram_t

// Exact multiset of finite values, counted per distinct thousandth: in a
// fixed dense block of counts around the first value (a column's values
// cluster, and counting there is one increment), elsewhere in an
// open-addressing hash table; values beyond thousandths in an ordered map.
class value_histogram_t {
public:
    // Adds x (finite) once, or count times.
    void add(double x, uint64_t count = 1);
    // Merges another histogram into this one.
    void merge(const value_histogram_t& other);
    void clear();

    uint64_t count() const { return n_; }
    size_t distinct() const { return dense_used_ + used_ + big_.size(); }
    // NaN when empty. Each looks at every distinct value: for several
    // figures at once, stats() sorts once.
    double min() const;
    double max() const;
    // Mean of the values at thousandths: the exact sum over the count.
    double mean() const;

    // The distinct values in ascending order with their counts.
    std::vector<std::pair<double, uint64_t>> sorted() const;
    // Nearest-rank percentiles: out[i] is the value of rank
    // nearest_rank_index(count(), nums[i], den). The nums must be ascending.
    // NaN when empty. One sort of the distinct values for all of them.
    void percentiles(const uint64_t* nums, size_t k, uint64_t den, double* out) const;
    double percentile(uint64_t num, uint64_t den) const;
    // n, min, mean, p50, p95, p99, max, with nonfinite as given.
    column_stats_t stats(uint64_t nonfinite = 0) const;

private:
    struct slot_t {
        int64_t key;
        uint64_t count;
    };
    static constexpr int64_t EMPTY = INT64_MIN;
    static constexpr int64_t DENSE = 8192;  // thousandths in the dense block
    void grow();
    void add_sparse(int64_t k, uint64_t count);
    std::vector<uint64_t> dense_;  // empty until the first value
    int64_t dense_base_ = 0;
    size_t dense_used_ = 0;
    std::vector<slot_t> slots_;  // empty or a power of two
    size_t used_ = 0;
    std::map<double, uint64_t> big_;
    uint64_t n_ = 0;
    // Every distinct value in order as thousandths (big values apart).
    struct ordered_t {
        std::vector<std::pair<double, uint64_t>> values;  // ascending
        __int128 sum_k = 0;
        double sum_big = 0;
    };
    ordered_t ordered() const;
};

// ---------------------------------------------------------- id_tracker_t

// Sample ids of a run in their own numbering: each step from one row to the
// next is taken as the signed 32-bit difference of the ids, so ids may wrap
// past 4294967295. An id is missing when it lies between the lowest and
// highest id of the run and no row has it; a row is a repeat when an earlier
// row had its id, out of order when it is new but a higher id came before.
struct id_range_t {
    int64_t first, last;  // in the run's unwrapped numbering
};
struct id_tracker_t {
    bool any = false;
    uint32_t prev_id = 0;
    int64_t prev = 0, low = 0, high = 0;
    uint64_t missing = 0, repeats = 0, out_of_order = 0;
    // The gaps, disjoint and within [low, high]: first id -> last id.
    std::map<int64_t, int64_t> gaps;
    // The gaps in ascending order, at most max of them.
    std::vector<id_range_t> first_gaps(size_t max) const;
};
// Counts id and returns it unwrapped.
int64_t track_id(id_tracker_t& t, uint32_t id);

// -------------------------------------------------------- window_column_t

// A value held by a window_column_t, to take it out again with. Ties are
// told apart by the order the values came in.
struct window_key_t {
    stat_key_t key;
    uint64_t seq;
    bool operator<(const window_key_t& o) const;
};

// A multiset of finite values that values enter and leave, with order
// statistics: every operation O(log w) for w values held.
class window_column_t {
public:
    // Adds x and returns what removes it later.
    window_key_t add(double x);
    // Removes a value added before.
    void remove(const window_key_t& key);
    void clear();

    uint64_t count() const { return tree_.size(); }
    double min() const;
    double max() const;
    double mean() const;
    double percentile(uint64_t num, uint64_t den) const;
    column_stats_t stats(uint64_t nonfinite = 0) const;

private:
    using tree_t = __gnu_pbds::tree<window_key_t, __gnu_pbds::null_type, std::less<window_key_t>,
                                    __gnu_pbds::rb_tree_tag, __gnu_pbds::tree_order_statistics_node_update>;
    tree_t tree_;
    uint64_t seq_ = 0;
    __int128 sum_k_ = 0;
    double sum_big_ = 0;
};

// ------------------------------------------------------- latency_stats_t

// The receiver stages whose share of the receiver latency is reported.
constexpr int STAT_STAGE_COUNT = 4;
constexpr stat_column_e STAT_STAGES[STAT_STAGE_COUNT] = {STAT_FRAME, STAT_FEC, STAT_DECODE, STAT_RENDER};

// One record as the engine sees it: the sample id, its frame kind and the
// value of every summarized column (any of them may be non-finite).
struct stat_sample_t {
    uint32_t sample_id = 0;
    frame_kind_e kind = FRAME_KIND_OTHER;
    double v[STAT_COLUMN_COUNT] = {};
};

// Sum of each stage over the sum of the receiver latency, over the records
// where the receiver latency and all four stages are finite; the rest is one
// less the four. NaN when that sum is zero or there is no such record.
struct stage_shares_t {
    double share[STAT_STAGE_COUNT] = {0, 0, 0, 0};
    double rest = 0;
};

// Accumulates the stage sums (exact thousandths, so a window can take
// records out again).
struct stage_sums_t {
    __int128 sum[STAT_STAGE_COUNT + 1] = {};  // the stages, then the receiver latency
    double big[STAT_STAGE_COUNT + 1] = {};    // values beyond thousandths
    // Adds (sign +1) or takes out (sign -1) a record; false if it does not count.
    bool apply(const stat_sample_t& s, int sign);
    stage_shares_t shares() const;
};

struct frame_counts_t {
    uint64_t i = 0, p = 0, other = 0;
    void apply(frame_kind_e kind, int sign);
};

// Everything said about one run, fed one record at a time.
class latency_stats_t {
public:
    // Counts the record; returns its unwrapped sample id.
    int64_t add(const stat_sample_t& s);

    uint64_t frames() const { return frames_; }
    uint32_t first_id() const { return first_id_; }
    uint32_t last_id() const { return last_id_; }
    const id_tracker_t& ids() const { return ids_; }
    const frame_counts_t& kinds() const { return kinds_; }
    const value_histogram_t& column(int c) const { return columns_[c]; }
    uint64_t nonfinite(int c) const { return nonfinite_[c]; }
    column_stats_t column_stats(int c) const { return columns_[c].stats(nonfinite_[c]); }
    // The receiver latency of I-frames and of P-frames alone.
    const value_histogram_t& vrx_of(frame_kind_e kind) const { return kind == FRAME_KIND_I ? vrx_i_ : vrx_p_; }
    stage_shares_t shares() const { return stages_.shares(); }

private:
    uint64_t frames_ = 0;
    uint32_t first_id_ = 0, last_id_ = 0;
    id_tracker_t ids_;
    frame_counts_t kinds_;
    value_histogram_t columns_[STAT_COLUMN_COUNT];
    uint64_t nonfinite_[STAT_COLUMN_COUNT] = {};
    value_histogram_t vrx_i_, vrx_p_;
    stage_sums_t stages_;
};

// ------------------------------------------------------ latency_window_t

// The figures of latency_stats_t (sample ids aside) over the records of the
// last span_ns nanoseconds. Each record costs O(C log w) to enter and to
// leave for C columns and w records in the window; the window holds one
// small entry per record in it.
class latency_window_t {
public:
    explicit latency_window_t(int64_t span_ns) : span_(span_ns) {}
    // Adds a record taken at time now_ns (never decreasing) and drops those
    // older than now_ns - span.
    void add(int64_t now_ns, const stat_sample_t& s);
    // Drops the records older than now_ns - span without adding one.
    void expire(int64_t now_ns);
    void clear();

    uint64_t frames() const { return entries_.size(); }
    const frame_counts_t& kinds() const { return kinds_; }
    column_stats_t column_stats(int c) const { return columns_[c].stats(nonfinite_[c]); }
    const window_column_t& column(int c) const { return columns_[c]; }
    const window_column_t& vrx_of(frame_kind_e kind) const { return kind == FRAME_KIND_I ? vrx_i_ : vrx_p_; }
    stage_shares_t shares() const { return stages_.shares(); }
    int64_t span_ns() const { return span_; }

private:
    struct entry_t {
        int64_t t;
        stat_sample_t s;
        window_key_t keys[STAT_COLUMN_COUNT];
        window_key_t vrx_kind_key;
    };
    void drop_front();
    int64_t span_;
    std::deque<entry_t> entries_;
    frame_counts_t kinds_;
    window_column_t columns_[STAT_COLUMN_COUNT];
    uint64_t nonfinite_[STAT_COLUMN_COUNT] = {};
    window_column_t vrx_i_, vrx_p_;
    stage_sums_t stages_;
};

#endif
