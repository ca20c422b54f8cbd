// Analysis of the runs of an inspector CSV log: sample-id gaps and repeats,
// frame types, nearest-rank percentiles of every column, the share of each
// receiver stage; printed as text or JSON, or drawn as an SVG plot.
#ifndef TARN_LATENCY_REPORT_H
#define TARN_LATENCY_REPORT_H

#include <cJSON.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "latency_log.h"
#include "latency_stats.h"

// Nearest-rank percentile: the smallest value v of the n values such that at
// least p percent of them are <= v, i.e. the value of rank ceil(p/100 * n) in
// ascending order (rank 1 for p = 0). Reorders values (a partial sort).
// Returns NaN for no values. p is given as num/den (95/100, 999/1000).
double nearest_rank(std::vector<double>& values, uint64_t num, uint64_t den);

// Columns of the log summarized, in the order they are printed.
enum report_column_e {
    COL_INPUT, COL_VTX, COL_VRX, COL_AVG, COL_FRAME, COL_FEC, COL_DECODE, COL_RENDER,
    COL_PCAP, COL_FPS, COL_RSSI, COL_FRAGMENTS, COL_COUNT
};
struct column_info_t {
    const char* title;  // as in the CSV header
    const char* key;    // JSON member
    const char* unit;
    int decimals;
};
extern const column_info_t REPORT_COLUMNS[COL_COUNT];

// Min, mean, nearest-rank p50/p95/p99 and max of values (reordered);
// for float and double vectors.
template <typename T>
column_stats_t column_stats(std::vector<T>& values, uint64_t nonfinite);

// Everything kept of one run while the log is read.
struct run_data_t {
    int run = 0;
    bool has_header = false;
    size_t first_line = 0, last_line = 0;
    std::vector<latency_row_t> rows;
    std::vector<int64_t> ids;  // unwrapped sample id of each row
    id_tracker_t tracker;
    uint64_t malformed = 0;
    std::vector<std::pair<size_t, const char*>> malformed_lines;  // the first MAX_LISTED
};
constexpr size_t MAX_LISTED = 1000;

void run_start(run_data_t& d, int run, size_t line, bool header);
void run_add_row(run_data_t& d, size_t line, const latency_row_t& row);
void run_add_malformed(run_data_t& d, size_t line, const char* reason);

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
    column_stats_t columns[COL_COUNT];
    column_stats_t vrx_i, vrx_p;
    // Sum of each stage (frame, FEC, decode, render) over the sum of the
    // receiver latency, over the rows where all five are finite; NaN if none.
    double share[4] = {0, 0, 0, 0};
    double share_rest = 0;
};
run_summary_t summarize_run(const run_data_t& d);

std::string format_run_text(const run_summary_t& s);
// A new JSON object; the caller owns it (cJSON_Delete).
cJSON* run_summary_json(const run_summary_t& s);

// A self-contained SVG document of the run. Runs of more rows than a plot
// has pixels are drawn from per-bin means, minima and maxima.
std::string render_run_svg(const run_data_t& d, const run_summary_t& s, const std::string& title);

#endif
