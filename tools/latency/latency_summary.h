// The summary of one run of latency records, as tarn-latency-report prints
// it for a run of the CSV log and tarn-vrx-top for what it saw: sample-id
// gaps and repeats, frame types, nearest-rank percentiles of every column,
// the share of each receiver stage.
#ifndef TARN_LATENCY_SUMMARY_H
#define TARN_LATENCY_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "latency_record.h"
#include "latency_stats.h"
#include "link_events.h"

// Gaps and malformed lines kept of a run, at most.
constexpr size_t MAX_LISTED = 1000;

// The record table's entry of statistics column c (stat_column_e): its CSV
// title, JSON key, unit and decimals.
inline const latency_column_t& stat_column(int c)
{
    return LATENCY_COLUMNS[LATENCY_STAT_INDEX.of[c]];
}

struct run_summary_t {
    int run = 0;
    bool has_header = false;
    size_t first_line = 0, last_line = 0;
    uint64_t frames = 0;
    uint32_t first_id = 0, last_id = 0;
    uint64_t missing = 0, repeats = 0, out_of_order = 0;
    uint64_t gap_count = 0;
    std::vector<std::pair<uint32_t, uint64_t>> gaps;  // first missing id, count; the first MAX_LISTED
    uint64_t i_frames = 0, p_frames = 0, other_frames = 0;
    uint64_t malformed = 0;
    std::vector<std::pair<size_t, const char*>> malformed_lines;
    column_stats_t columns[STAT_COLUMN_COUNT];
    column_stats_t vrx_i, vrx_p;
    // Sum of each stage (frame, FEC, decode, render) over the sum of the
    // receiver latency, over the rows where all five are finite; NaN if none.
    double share[4] = {0, 0, 0, 0};
    double share_rest = 0;
    // What happened to the link (link_events.h): the first MAX_LISTED
    // events, how many there were of each kind, times in seconds from
    // events_t0_ms. Restarts of the publisher inside the run (its ids
    // starting again) split the id accounting above: no missing id, repeat
    // or id out of order comes from the renumbering.
    std::vector<link_event_t> events;
    uint64_t event_counts[EV_KIND_COUNT] = {};
    int64_t events_t0_ms = 0;
    // The run's times come from its ids and frame rate, not a clock; its
    // start's time of day when the log's times give it (ms since 1970, or -1).
    bool times_from_ids = false;
    int64_t start_wall = -1;
    uint64_t restarts = 0;
    uint64_t other_codec_frames = 0;  // frame-type codes of the other codec
    // Frame pacing, from the id steps at the frame rate the rows give
    // (times_from_ids): the time from one frame to the next.
    double frame_period_ms = 0;    // the run's median frame period
    double longest_gap_ms = 0;     // the longest time without a frame
    uint32_t longest_gap_after = 0;  // the sample id before it
    uint64_t stalls_100ms = 0, stalls_500ms = 0;  // frame intervals over 100 / 500 ms
    double low_1pct_fps = NAN, low_01pct_fps = NAN;  // 1000 / p99 and p99.9 of the intervals
    double fps_p1 = NAN, fps_p01 = NAN;              // reported frame rate, p1 and p0.1
    double rssi_p5 = NAN, rssi_p1 = NAN;             // signal at its weak end
};

// What the text says besides the figures.
struct summary_text_options {
    // The run's first line ("run N: lines A-B") and its malformed lines:
    // what a run of a log has, and records read from a pipe have not.
    bool log_lines = true;
    // At most 80 columns: the figures without their units' column.
    bool narrow = false;
};
std::string format_run_text(const run_summary_t& s, const summary_text_options& options = {});

#endif
