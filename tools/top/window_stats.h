// Statistics of tarn-vrx-top: exact nearest-rank percentiles of quantized
// values over sliding time windows (1 s, 10 s, 60 s) and since start, with
// O(1) work per record and query cost independent of the record count.
//
// Values enter as integers in the unit the CSV log shows them (thousandths
// of a millisecond for latencies), so a percentile here is exactly the
// percentile tarn-latency-report computes from the log's values.
#ifndef TARN_TOP_WINDOW_STATS_H
#define TARN_TOP_WINDOW_STATS_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

// Counts of integer keys with rank queries. Keys in [lo, lo + DENSE) live in
// a two-level table (a query walks at most 2 x 512 counters); keys outside it
// in ordered maps (a query walks their distinct keys).
class key_histogram {
public:
    static constexpr int FINE_BITS = 9;
    static constexpr int32_t FINE = 1 << FINE_BITS;
    static constexpr int32_t DENSE = FINE * FINE;

    explicit key_histogram(int32_t lo = 0) : lo_(lo) {}
    key_histogram(const key_histogram&) = delete;
    key_histogram& operator=(const key_histogram&) = delete;

    void add(int32_t key);
    // key must have been added and not removed since.
    void remove(int32_t key);
    void clear();
    uint64_t count() const { return n_; }
    // Sum of the keys held.
    int64_t sum() const { return sum_; }
    // Key of 1-based rank r in ascending order (1 <= r <= count()).
    int32_t at_rank(uint64_t r) const;

private:
    int32_t lo_;
    uint64_t n_ = 0;
    int64_t sum_ = 0;
    uint64_t below_n_ = 0, above_n_ = 0;
    std::map<int32_t, uint64_t> below_, above_;
    // Allocated at the first key in range; calloc leaves untouched pages
    // unbacked, so only the bins in use cost memory.
    struct freer { void operator()(uint32_t* p) const; };
    std::unique_ptr<uint32_t[], freer> fine_;
    std::unique_ptr<uint32_t[], freer> coarse_;
};

// The series kept per window.
enum top_series_e {
    SER_VRX, SER_VRX_I, SER_VRX_P, SER_VTX, SER_FRAME, SER_FEC, SER_DECODE, SER_RENDER, SER_COUNT
};
// Stage series whose sums give the shares of VRX latency.
constexpr int STAGE_COUNT = 4;  // frame, FEC, decode, render

// What one record brings: arrival time, frame kind, the latencies in
// thousandths of a millisecond (or absent when not finite), and what the
// sample-id accounting made of it.
struct top_sample_t {
    int64_t t_ms = 0;
    uint8_t kind = 2;  // 0 I-frame, 1 P-frame, 2 other
    bool has[6] = {};  // vrx, vtx, frame, fec, decode, render
    int32_t q[6] = {};
    int32_t missing_delta = 0;  // change of the missing-id count this record made
    bool repeat = false, out_of_order = false;
    // A record repeating the one before: counted as a repeat, not a frame.
    bool skipped = false;
};

struct series_figures_t {
    uint64_t n = 0;
    int32_t min = 0, p50 = 0, p95 = 0, p99 = 0, max = 0;
    int64_t sum = 0;
};

struct window_figures_t {
    int64_t span_ms = 0;  // 0: since start
    uint64_t frames = 0, i_frames = 0, p_frames = 0, repeats = 0, out_of_order = 0;
    int64_t missing = 0;
    series_figures_t series[SER_COUNT];
    // Sums over the frames with VRX and all four stages present.
    int64_t share_vrx = 0, share_stage[STAGE_COUNT] = {};
};

class window_stats {
public:
    static constexpr int WINDOWS = 4;  // 1 s, 10 s, 60 s, since start
    static const int64_t SPAN_MS[WINDOWS];

    window_stats();
    void add(const top_sample_t& s);
    // Drops what has left each window at time now_ms (not earlier than the
    // last sample's time).
    void expire(int64_t now_ms);
    void clear();
    window_figures_t figures(int w) const;
    // Frames in window w, without the percentiles.
    uint64_t frames(int w) const { return win_[w].frames; }
    // Records held for the timed windows (memory: about 40 bytes each).
    size_t held() const { return ring_.size(); }

private:
    struct entry_t {
        uint32_t t_ms;
        int32_t q[6];
        int32_t missing_delta;
        uint8_t kind, has, flags;
    };
    struct window_t {
        int64_t span_ms;
        uint64_t next = 0;  // absolute index of the oldest entry still inside
        uint64_t frames = 0, i_frames = 0, p_frames = 0, repeats = 0, out_of_order = 0;
        int64_t missing = 0;
        std::unique_ptr<key_histogram> hist[SER_COUNT];
        int64_t share_vrx = 0, share_stage[STAGE_COUNT] = {};
    };
    void apply(window_t& w, const entry_t& e, int sign);

    window_t win_[WINDOWS];
    std::deque<entry_t> ring_;
    uint64_t base_ = 0;  // absolute index of ring_.front()
};

#endif
