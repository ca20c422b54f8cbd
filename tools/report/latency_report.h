// Analysis of the runs of an inspector CSV log: sample-id gaps and repeats,
// frame types, nearest-rank percentiles of every column, the share of each
// receiver stage; printed as text or JSON, or drawn as an SVG plot.
#ifndef TARN_LATENCY_REPORT_H
#define TARN_LATENCY_REPORT_H

#include <cJSON.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "latency_log.h"
#include "latency_refine.h"
#include "latency_stats.h"
#include "latency_summary.h"
#include "link_events.h"

// Everything kept of one run while the log is read: its statistics, not
// its rows.
struct run_data_t {
    int run = 0;
    bool has_header = false;
    size_t first_line = 0, last_line = 0;
    latency_stats_t stats;
    uint64_t malformed = 0;
    std::vector<std::pair<size_t, const char*>> malformed_lines;  // the first MAX_LISTED
    // Percentiles found exactly by reading the run again (latency_refine.h),
    // where its statistics counted values in buckets.
    exact_percentiles_t exact;
    // The id accounting of the numberings before a restart of the
    // publisher inside the run (ids starting again).
    uint64_t base_missing = 0, base_repeats = 0, base_out_of_order = 0, base_gaps = 0;
    std::vector<std::pair<uint32_t, uint64_t>> base_gap_list;  // the first MAX_LISTED
    uint64_t restarts = 0;
    // Events, with the run's time taken from its ids and frame rate.
    event_thresholds_t thresholds;
    std::unique_ptr<link_events_t> events;
    double t_ms = 0;
    std::vector<link_event_t> event_list;  // the first MAX_LISTED that ended
    uint64_t event_counts[EV_KIND_COUNT] = {};
    uint64_t other_codec = 0;
    int64_t first_wall = -1, last_wall = -1;  // times of day known in the run
    // The run before's baseline and its last time of day: a run that
    // begins within CARRY_BASELINE_MS of it is the same flight after a
    // restart of the receiver, and is compared with that baseline.
    event_baseline_t carried;
    int64_t carried_wall = -1;
    // Frame intervals in ms (bounded histogram), the longest and its place.
    value_histogram_t intervals = value_histogram_t();
    double longest_gap_ms = 0;
    uint32_t longest_gap_after = 0;
    uint64_t over_100ms = 0, over_500ms = 0;
};
constexpr int64_t CARRY_BASELINE_MS = 10 * 60 * 1000;
// An id this far below the one before starts a new numbering: the
// publisher restarted (a late frame comes a few ids late, not hundreds).
constexpr int64_t RESTART_ID_STEP = 256;

// The engine's view of a row.
stat_sample_t row_sample(const latency_row_t& row);

void run_start(run_data_t& d, int run, size_t line, bool header,
               const event_thresholds_t& thresholds = event_thresholds_t{});
// run_start for the run after the one d holds, in the same log: that
// run's baseline and last time of day are carried into d (carried,
// carried_wall) for a restart of the receiver within CARRY_BASELINE_MS.
void run_start_next(run_data_t& d, int run, size_t line, bool header,
                    const event_thresholds_t& thresholds = event_thresholds_t{});
// wall_ms: the row's time of day when the log's times give it (ms since
// 1970), else -1.
void run_add_row(run_data_t& d, size_t line, const latency_row_t& row, int64_t wall_ms = -1);
void run_add_malformed(run_data_t& d, size_t line, const char* reason);

run_summary_t summarize_run(const run_data_t& d);

// v rounded to the given decimals (null when not finite), so the JSON shows
// the log's 20.254, not the float's 20.254000473022461 or 20.253999.
cJSON* json_number(double v, int decimals = 6);

// A new JSON object; the caller owns it (cJSON_Delete).
cJSON* run_summary_json(const run_summary_t& s);

// The report's JSON document in pieces, as cJSON_Print prints the whole
// document ({"log", "runs": [...], "run_count", "lines",
// "malformed_lines"}), so it is written run by run and never held whole:
// the head, each run (with the separator before it unless first), the tail.
// False when out of memory.
std::string json_report_head(const std::string& log);
bool json_report_run(const run_summary_t& s, bool first, std::string& out);
std::string json_report_tail(int runs, size_t lines, uint64_t malformed);

// The per-row data of the plot, gathered in bins over the run's unwrapped
// sample ids [lo, hi] (id_tracker_t's low and high): as many bins as ids up
// to MAX_PLOT_BINS, else MAX_PLOT_BINS bins of about equal width. Fed the
// run's rows in order, so it unwraps their ids as the run's tracker did.
constexpr int MAX_PLOT_BINS = 800;  // a bin is at least 1.1 px wide
// The columns of a row the plot reads: the sample id, the latencies it draws
// and the frame type.
constexpr latency_columns_t plot_columns()
{
    latency_columns_t set = 0;
    for (size_t i = 0; i < LATENCY_COLUMN_COUNT; i++) {
        const latency_column_t& c = LATENCY_COLUMNS[i];
        const bool drawn = c.stat == STAT_VTX || c.stat == STAT_VRX || c.stat == STAT_FRAME || c.stat == STAT_FEC ||
                           c.stat == STAT_DECODE || c.stat == STAT_RENDER;
        const bool id = c.source == SRC_U32 && c.offset == offsetof(vrx_latency_packet_t, sample_id);
        if (drawn || id || c.source == SRC_FRAME_TYPE) set |= latency_column_bit(i);
    }
    return set;
}
constexpr latency_columns_t PLOT_COLUMNS = plot_columns();
struct plot_bin_t {
    uint64_t n = 0;
    double vrx = 0, vtx = 0, vrx_min = 0, vrx_max = 0;
    uint64_t vrx_n = 0, vtx_n = 0, i_n = 0, stage_n = 0;
    double i_vrx = 0;
    double stage[4] = {0, 0, 0, 0};
};
// The values of a row the plot draws: what is kept of the rows of a run
// to plot while it is read (32 bytes a row).
struct plot_row_t {
    uint32_t sample_id;
    float vrx, vtx;
    float stage[STAT_STAGE_COUNT];  // STAT_STAGES: frame, FEC, decode, render
    frame_kind_e kind;
};
plot_row_t plot_row(const latency_row_t& row);
class run_plot_t {
public:
    run_plot_t(int64_t lo, int64_t hi);
    void add(const plot_row_t& row);

    int64_t lo() const { return lo_; }
    int64_t hi() const { return hi_; }
    int nbins() const { return nbins_; }
    // More ids than bins: each bin is the mean of several.
    bool binned() const { return static_cast<double>(hi_ - lo_) + 1 > nbins_; }
    const std::vector<plot_bin_t>& bins() const { return bins_; }

private:
    int64_t lo_, hi_;
    int nbins_;
    std::vector<plot_bin_t> bins_;
    bool any_ = false;
    uint32_t prev_id_ = 0;
    int64_t prev_ = 0;
};

// Axis ticks of the plots: a step of 1, 2 or 5 times a power of ten giving
// about n ticks over range, and a tick's label with the decimals the step needs.
double nice_step(double range, int n);
std::string tick_label(double v, double step);

// A self-contained SVG document of the run: latency per frame and the
// stacked receiver stages from plot, the histogram of the receiver latency
// from the run's statistics.
std::string render_run_svg(const run_data_t& d, const run_plot_t& plot, const run_summary_t& s,
                           const std::string& title);

// Reads the rows of run d again, from its first line at offset (relative to
// the file's start) to its last line as the first reading saw it, passing
// each row's sample to f; the file's position is left as it was, so the
// first reading goes on. Returns 0 or an errno value.
int reread_run(int fd, off_t offset, const run_data_t& d, const std::function<void(const stat_sample_t&)>& f);

// Prints doc as indented JSON and a line feed on stdout, then frees it.
// False when it could not be turned into text.
bool print_json_document(cJSON* doc);
// Writes text to path (created, or emptied first), opened as every output
// file is (out_file.h: no link of another user followed, no file of theirs
// written). False with why set to the reason on failure.
bool write_text_file(const std::string& path, const std::string& text, std::string& why);

#endif
