// The statistics engine of the latency tools: everything tarn-latency-report
// says about a run, and everything a live view says about the last seconds,
// computed in one pass over the records with nothing kept per record.
//
// Building blocks, each usable alone:
//
//   value_histogram_t   multiset of values at the log's precision
//                       (thousandths), exact up to a bound on the distinct
//                       values outside a dense block (MAX_DISTINCT), beyond
//                       it counted in buckets of values that widen as
//                       needed: memory bounded whatever the values (at most
//                       about 1.2 MB), count, min, max and mean exact always,
//                       a percentile's bucket told so the caller can count
//                       it exactly in another reading. O(1) expected per
//                       value; min, max, mean and nearest-rank percentiles in
//                       O(d log d) for d distinct values (or buckets).
//   id_tracker_t        sample-id accounting: missing ids and their gaps,
//                       repeats, ids out of order, 32-bit wrap. O(log g) per
//                       id for g gaps kept; gaps are kept only within the
//                       reordering horizon (ID_HORIZON ids below the highest
//                       id), so its memory is bounded too.
//   window_column_t     a multiset that values enter and leave (a sliding
//                       window): exact counts per thousandth, O(1) per
//                       change for values near the first one (a block of
//                       262,144 thousandths), O(log d) beyond it; min, max,
//                       mean and nearest-rank percentiles walking at most
//                       2 x 512 counters of the block.
//   latency_stats_t     one run: every column, the I/P split of the receiver
//                       latency, the stage shares, frame kinds and sample ids.
//   latency_window_t    the same figures over the records of the last spans
//                       of time (1 s, 10 s, 60 s, ... and since the start, all
//                       at once), records leaving as time moves on: O(C) per
//                       record for C columns, one compact entry per record
//                       held, whatever the number of spans.
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
#include <memory>
#include <utility>
#include <vector>

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
    bool big;      // the value did not fit thousandths; it is in `value`
    int64_t k;     // thousandths, when !big
    double value;  // when big
};
// The value as a double: k / 1000 (the nearest double to the decimal).
double stat_key_value(const stat_key_t& key);

// Min, mean, nearest-rank p50/p95/p99 and max of a column (NaN without values).
struct column_stats_t {
    uint64_t n = 0;          // finite values
    uint64_t nonfinite = 0;  // NaN and infinities, left out
    double min = 0, mean = 0, p50 = 0, p95 = 0, p99 = 0, max = 0;
    // 0 when p50, p95 and p99 are exact; else the most any of them may be
    // off (each is the middle of the range of values its rank lies in).
    double pct_error = 0;
};

// A finite double as an unsigned integer of the same order (negative values
// below positive ones, -0 just below +0), and back.
uint64_t order_bits(double x);
double from_order_bits(uint64_t u);
// The value of x as the engine holds it (x at its nearest thousandth, or x
// itself from 10^12 on) in order_bits.
uint64_t held_order_bits(double x);

// ------------------------------------------------------ value_histogram_t

// Multiset of finite values, counted per distinct thousandth: in a fixed
// dense block of counts around the first value (a column's values cluster,
// and counting there is one increment), elsewhere in an open-addressing
// hash table; values beyond thousandths in an ordered map.
//
// Bounded: once the hash table and the map together would hold more than
// max_distinct values, every value (the dense block's too) is counted in
// buckets of held_order_bits() instead: bucket b holds the values whose
// bits are b << shift to ((b + 1) << shift) - 1, and shift grows (buckets
// merge in pairs) until at most max_distinct / 2 buckets are used. The
// table then holds 2 x max_distinct buckets of 16 bytes and no more. The
// count, the exact sum (so the mean), the minimum and the maximum are kept
// as they come; a percentile is known to lie in its bucket (rank_bucket()),
// whose values another reading can count exactly.
class value_histogram_t {
public:
    // Distinct values outside the dense block before it counts in buckets:
    // 16,384 (a hash table of 512 KB; 1.2 MB at most with the dense block
    // and the table's growth).
    static constexpr size_t MAX_DISTINCT = size_t{1} << 14;
    // max_distinct: a power of two, at least 4.
    explicit value_histogram_t(size_t max_distinct = MAX_DISTINCT) : cap_(max_distinct) {}

    // Adds x (finite) once, or count times.
    void add(double x, uint64_t count = 1);
    // Merges another histogram into this one (a bucketed one's values at
    // the middle of their buckets).
    void merge(const value_histogram_t& other);
    void clear();

    uint64_t count() const { return n_; }
    // Every value is counted at its own thousandth (not in buckets).
    bool exact() const { return !coarse_; }
    // Distinct values (buckets once not exact).
    size_t distinct() const { return coarse_ ? bucket_used_ : dense_used() + used_ + big_.size(); }
    // NaN when empty. Each looks at every distinct value: for several
    // figures at once, stats() sorts once.
    double min() const;
    double max() const;
    // Mean of the values at thousandths: the exact sum over the count.
    double mean() const;

    // The distinct values in ascending order with their counts (once not
    // exact: the middle of each bucket).
    std::vector<std::pair<double, uint64_t>> sorted() const;
    // Nearest-rank percentiles: out[i] is the value of rank
    // nearest_rank_index(count(), nums[i], den). The nums must be ascending.
    // NaN when empty. One sort of the distinct values for all of them.
    // Once not exact, the middle of the values the rank may have.
    void percentiles(const uint64_t* nums, size_t k, uint64_t den, double* out) const;
    double percentile(uint64_t num, uint64_t den) const;
    // n, min, mean, p50, p95, p99, max, with nonfinite as given; pct_error
    // set when not exact.
    column_stats_t stats(uint64_t nonfinite = 0) const;

    // Where the value of rank r (1 <= r <= count()) lies: among the values
    // whose held_order_bits are lo to hi (lo == hi when exact), after
    // `below` values that are lower; `count` values lie there.
    struct rank_bucket_t {
        uint64_t lo = 0, hi = 0, below = 0, count = 0;
    };
    rank_bucket_t rank_bucket(uint64_t r) const;

private:
    struct slot_t {
        int64_t key;
        uint64_t count;
    };
    static constexpr int64_t EMPTY = INT64_MIN;
    static constexpr int64_t DENSE = 8192;  // thousandths in the dense block
    void grow();
    void add_sparse(int64_t k, uint64_t count);
    size_t dense_used() const;  // distinct values in the dense block
    size_t cap_;
    std::vector<uint64_t> dense_;  // empty until the first value
    int64_t dense_base_ = 0;
    std::vector<slot_t> slots_;  // empty or a power of two
    size_t used_ = 0;
    std::map<double, uint64_t> big_;
    uint64_t n_ = 0;
    // Counted in buckets (exact() false): bucket id -> count, open
    // addressing, NO_BUCKET free.
    static constexpr uint64_t NO_BUCKET = ~uint64_t{0};
    bool coarse_ = false, widening_ = false;
    int shift_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> buckets_;
    size_t bucket_used_ = 0;
    __int128 sum_k_ = 0;  // while coarse: sums of everything counted
    double sum_big_ = 0;
    uint64_t min_u_ = ~uint64_t{0}, max_u_ = 0;
    void to_buckets();
    void add_coarse(double x, uint64_t count);
    void bucket_add(uint64_t b, uint64_t count);
    void widen();
    // The buckets used, ascending: (bucket id, count).
    std::vector<std::pair<uint64_t, uint64_t>> ordered_buckets() const;
    // The values of bucket b, clipped to the minimum and maximum.
    std::pair<uint64_t, uint64_t> bucket_range(uint64_t b) const;
    // Every distinct value in order as thousandths (big values apart).
    struct ordered_t {
        std::vector<std::pair<double, uint64_t>> values;  // ascending
        __int128 sum_k = 0;
        double sum_big = 0;
        double error = 0;  // most a value listed may be off (not exact)
    };
    ordered_t ordered() const;
};

// ---------------------------------------------------------- id_tracker_t

// Sample ids of a run in their own numbering: each step from one row to the
// next is taken as the signed 32-bit difference of the ids, so ids may wrap
// past 4294967295. An id is missing when it lies between the lowest and
// highest id of the run and no row has it; a row is a repeat when an earlier
// row had its id, out of order when it is new but a higher id came before.
//
// Reordering horizon: an id more than `horizon` below the highest id seen
// (ID_HORIZON, 1,048,576 ids: two hours and a half at 120 frames/s) counts
// as out of order and nothing else: it fills no gap, is not looked up as a
// repeat and does not lower `low`. Gaps wholly beyond the horizon can never
// be filled, so they leave the map: counted, and the first MAX_KEPT_GAPS of
// them kept for listing. The map holds only gaps within the horizon, at most
// horizon / 2 + 1 of them (34 MB at most, with every other id missing).
struct id_range_t {
    int64_t first, last;  // in the run's unwrapped numbering
};
constexpr int64_t ID_HORIZON = int64_t{1} << 20;
struct id_tracker_t {
    static constexpr size_t MAX_KEPT_GAPS = 1000;
    bool any = false;
    uint32_t prev_id = 0;
    int64_t prev = 0, low = 0, high = 0;
    uint64_t missing = 0, repeats = 0, out_of_order = 0;
    // Ids this far below the highest are too late (see above). A caller that
    // keeps every row anyway may make it INT64_MAX: no id is then too late.
    int64_t horizon = ID_HORIZON;
    // The gaps within the horizon, disjoint and within [low, high]: first
    // id -> last id.
    std::map<int64_t, int64_t> gaps;
    // Gaps gone beyond the horizon: their number and the first of them.
    uint64_t closed_gaps = 0;
    std::vector<id_range_t> closed;  // at most MAX_KEPT_GAPS
    uint64_t gap_count() const { return closed_gaps + gaps.size(); }
    // The gaps in ascending order, at most max of them (at most
    // MAX_KEPT_GAPS of those gone beyond the horizon).
    std::vector<id_range_t> first_gaps(size_t max) const;
};
// Counts id and returns it unwrapped.
int64_t track_id(id_tracker_t& t, uint32_t id);

// -------------------------------------------------------- window_column_t

// A multiset of finite values that values enter and leave, counted per
// distinct thousandth. Thousandths in a block of DENSE keys placed at the
// first value (from DENSE/4 below it) live in a two-level table of counts:
// adding or taking out one is two increments, and a rank is found by
// walking at most FINE coarse and FINE fine counters. Values outside the
// block (and values of 10^12 and more) live in ordered maps, O(log d) for
// d distinct values there; a rank among them walks them from the nearer
// end. While the block holds nothing it moves to the next value that falls
// outside it, so one early outlier does not send every later value to the
// maps. The block's memory is allocated at its first value and, being
// zero-filled pages, costs only where values fall (latencies of 0 to 20 ms:
// 160 KB).
class window_column_t {
public:
    static constexpr int FINE_BITS = 9;
    static constexpr int64_t FINE = int64_t{1} << FINE_BITS;
    static constexpr int64_t DENSE = FINE * FINE;

    window_column_t() = default;
    window_column_t(window_column_t&&) = default;
    window_column_t& operator=(window_column_t&&) = default;

    // Adds x (finite).
    void add(double x);
    // Takes out x, added before and not taken out since; a value that is
    // not held is ignored.
    void remove(double x);
    void clear();

    uint64_t count() const { return n_; }
    // The value of 1-based rank r in ascending order; NaN unless
    // 1 <= r <= count().
    double at_rank(uint64_t r) const;
    double min() const { return at_rank(1); }
    double max() const { return at_rank(n_); }
    double mean() const;
    double percentile(uint64_t num, uint64_t den) const;
    column_stats_t stats(uint64_t nonfinite = 0) const;
    // Exact sum of the values held as thousandths (all but those of 10^12
    // and more), in thousandths.
    __int128 sum_thousandths() const { return sum_k_; }
    // Distinct values held outside the block (each a map entry).
    size_t outliers() const { return low_.size() + high_.size() + big_.size(); }

private:
    friend class latency_window_t;
    void add_key(const stat_key_t& key);
    void remove_key(const stat_key_t& key);
    stat_key_t key_at(uint64_t r) const;
    // The block is mapped straight from the system, not taken from the
    // heap: its pages read as zero and cost nothing until counted in,
    // however the heap has been used before.
    struct unmapper {
        void operator()(uint64_t* p) const;
    };
    uint64_t n_ = 0;
    __int128 sum_k_ = 0;
    double sum_big_ = 0;
    int64_t base_ = 0;  // thousandths of the block's first counter
    uint64_t dense_n_ = 0;
    std::unique_ptr<uint64_t[], unmapper> fine_;  // DENSE counters, null until used
    std::unique_ptr<uint64_t[]> coarse_;          // FINE sums of FINE counters each
    // Thousandths below and above the block, values beyond thousandths.
    std::map<int64_t, uint64_t> low_, high_;
    std::map<double, uint64_t> big_;
    uint64_t low_n_ = 0, high_n_ = 0, big_low_n_ = 0, big_high_n_ = 0;
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
    // Non-finite receiver latencies of I-frames and of P-frames, left out.
    uint64_t vrx_nonfinite_of(frame_kind_e kind) const { return kind == FRAME_KIND_I ? nonfinite_i_ : nonfinite_p_; }
    column_stats_t vrx_stats_of(frame_kind_e kind) const { return vrx_of(kind).stats(vrx_nonfinite_of(kind)); }
    stage_shares_t shares() const { return stages_.shares(); }
    // The publisher numbers its ids anew: the tracker starts over (the
    // caller keeps what it counted).
    void restart_ids() { ids_ = id_tracker_t{}; }

private:
    uint64_t nonfinite_i_ = 0, nonfinite_p_ = 0;
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

// What counting one sample id did to an id_tracker_t, for a window to add
// and later take out again.
struct id_step_t {
    int64_t missing = 0;  // change of the missing-id count (-1 for a late id filling a gap)
    bool repeat = false, out_of_order = false;
};
// Counts id like track_id and tells what it changed.
id_step_t track_id_step(id_tracker_t& t, uint32_t id);

// The figures of one span of a latency_window_t: those of latency_stats_t
// (the id tracker aside) plus what the records in it did to the sample-id
// accounting.
class window_span_t {
public:
    // 0: every record since the start (or the last clear).
    int64_t span_ns() const { return span_; }
    uint64_t frames() const { return frames_; }
    const frame_counts_t& kinds() const { return kinds_; }
    // Records counted as repeats: records whose id came before, and records
    // repeating the record before them (those are no frames).
    uint64_t repeats() const { return repeats_; }
    uint64_t out_of_order() const { return out_of_order_; }
    // Sum of the changes of the missing-id count that its records made.
    int64_t missing() const { return missing_; }
    const window_column_t& column(int c) const { return columns_[c]; }
    uint64_t nonfinite(int c) const { return nonfinite_[c]; }
    column_stats_t column_stats(int c) const { return columns_[c].stats(nonfinite_[c]); }
    // The receiver latency of I-frames and of P-frames alone.
    const window_column_t& vrx_of(frame_kind_e kind) const { return kind == FRAME_KIND_I ? vrx_i_ : vrx_p_; }
    const stage_sums_t& stage_sums() const { return stages_; }
    stage_shares_t shares() const { return stages_.shares(); }
    // Arrival time of the newest record this span let go before it had aged
    // beyond the span, to keep the window within its memory (0: none). While
    // now - span_ns() is before it, the span holds only the records since.
    int64_t cut_ns() const { return cut_; }

private:
    friend class latency_window_t;
    int64_t span_ = 0;
    int64_t cut_ = 0;
    uint64_t next_ = 0;  // index of the oldest record still inside
    uint64_t frames_ = 0, repeats_ = 0, out_of_order_ = 0;
    int64_t missing_ = 0;
    frame_counts_t kinds_;
    window_column_t columns_[STAT_COLUMN_COUNT];
    uint64_t nonfinite_[STAT_COLUMN_COUNT] = {};
    window_column_t vrx_i_, vrx_p_;
    stage_sums_t stages_;
};

// The figures over the records of the last span_ns nanoseconds, for
// several spans at once (a span of 0 keeps every record since the start).
// Each record enters every span and leaves each timed one when it has aged
// beyond it: O(C) for C columns per span, whatever the number of records
// held. One entry of 72 bytes is held per record still inside a timed span.
//
// The memory held for the timed spans is bounded, whatever the record rate
// and the values: the entries, the values beyond 32-bit thousandths and the
// timed spans' distinct values outside their blocks (counted at about 64
// bytes each) stay within max_held_bytes. Past it the oldest records leave
// every timed span early and each span says since when it is short of its
// length (cut_ns). With the default, 60 s of records are held whole up to
// about 7,000 records a second of a receiver's values, 10 s up to 45,000,
// 1 s up to 450,000.
//
// A caller that shows only some columns names them (bit c for column c) and
// pays for those alone; the others stay empty (no values, none non-finite).
// The I/P split needs the receiver latency, the stage shares it and the
// four stages.
constexpr uint32_t ALL_STAT_COLUMNS = (1u << STAT_COLUMN_COUNT) - 1;
class latency_window_t {
public:
    static constexpr size_t DEFAULT_MAX_HELD_BYTES = size_t{32} << 20;
    explicit latency_window_t(const std::vector<int64_t>& spans_ns, uint32_t columns = ALL_STAT_COLUMNS,
                              size_t max_held_bytes = DEFAULT_MAX_HELD_BYTES);
    explicit latency_window_t(int64_t span_ns) : latency_window_t(std::vector<int64_t>{span_ns}) {}

    // Adds a record taken at time now_ns (never decreasing) after dropping
    // those that have left each span by then; ids tells what the record did
    // to the caller's sample-id accounting.
    void add(int64_t now_ns, const stat_sample_t& s, const id_step_t& ids = {});
    // A record repeating the record before it: counted among the repeats,
    // not as a frame.
    void add_repeat(int64_t now_ns);
    // Drops the records that have left each span at now_ns.
    void expire(int64_t now_ns);
    void clear();

    size_t spans() const { return spans_.size(); }
    const window_span_t& span(size_t i) const { return spans_[i]; }
    // Records held for the timed spans.
    size_t held() const { return ring_.size(); }
    // What the timed spans hold, as bounded by max_held_bytes.
    size_t held_bytes() const;
    // Arrival time of the oldest record span i holds (now_ns when none).
    int64_t oldest_ns(size_t i, int64_t now_ns) const;

private:
    // A record held: the values as 32-bit thousandths, or for a column in
    // `wide` the index (modulo 2^32) of its value in wide_.
    struct entry_t {
        int64_t t;
        int64_t missing;
        int32_t k[STAT_COLUMN_COUNT];
        uint16_t finite, wide;  // bit c: column c
        uint8_t kind, flags;
    };
    static_assert(sizeof(entry_t) == 72, "a record held costs 72 bytes");
    // A record as the spans count it.
    struct record_t {
        stat_key_t key[STAT_COLUMN_COUNT];
        uint16_t finite;
        uint8_t kind, flags;
        int64_t missing;
    };
    void apply(window_span_t& w, const record_t& r, int sign);
    record_t decode(const entry_t& e) const;
    // Lets the oldest records go until what is held fits max_held_bytes_.
    void trim();
    // Drops the oldest entry from the ring once no span holds it.
    void pop_oldest();

    std::vector<window_span_t> spans_;
    uint32_t kept_;  // columns counted
    bool timed_ = false;
    std::deque<entry_t> ring_;
    uint64_t base_ = 0;  // index of ring_.front()
    // Values that do not fit an entry (beyond 32-bit thousandths), in the
    // order of their records.
    std::deque<double> wide_;
    uint64_t wide_base_ = 0;
    size_t max_held_bytes_;
    uint32_t since_trim_ = 0;  // records added since the last full count
};

#endif
