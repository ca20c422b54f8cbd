// What tarn-vrx-top knows about the link: every record of the latency pipe
// is checked with the inspector's rules, counted, saved to the CSV log when
// asked and fed to the statistics engine's sliding windows. The pipe thread writes it, the
// display thread reads it; both hold mu.
#ifndef TARN_TOP_MODEL_H
#define TARN_TOP_MODEL_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

#include "latency_log.h"
#include "latency_record.h"
#include "latency_stats.h"
#include "latency_summary.h"
#include "link_events.h"

// The windows of the latency table: 1 s, 10 s, 60 s and since start (0).
constexpr int TOP_WINDOWS = 4;
constexpr int64_t TOP_SPAN_MS[TOP_WINDOWS] = {1000, 10000, 60000, 0};
constexpr int64_t NS_PER_MS = 1000000;

// The rows of the latency table are the latency series (LATENCY_SERIES).
// Stage rows whose sums give the shares of VRX latency.
constexpr int STAGE_COUNT = STAT_STAGE_COUNT;  // frame, FEC, decode, render

// One row of the table in thousandths of a millisecond.
struct series_figures_t {
    uint64_t n = 0;
    int32_t min = 0, p50 = 0, p95 = 0, p99 = 0, max = 0;
    int64_t sum = 0;
};

// What the screen shows of one window.
struct window_figures_t {
    int64_t span_ms = 0;  // 0: since start
    // Held short of its span to keep within the window's memory (records
    // far above any receiver's rate): the span covers the last held_ms.
    bool cut = false;
    int64_t held_ms = 0;
    uint64_t frames = 0, i_frames = 0, p_frames = 0, repeats = 0, out_of_order = 0;
    int64_t missing = 0;
    series_figures_t series[SER_COUNT];
    // Sums over the frames with VRX and all four stages present.
    int64_t share_vrx = 0, share_stage[STAGE_COUNT] = {};
};

// The 60 s chart: one slot per 100 ms of arrival time.
constexpr int CHART_SLOT_MS = 100;
constexpr int CHART_SLOTS = 600;
// A slot keeps up to CHART_SAMPLES of its VRX latencies (every one at a
// receiver's rates; a fair sample beyond), for the p50 and p95 drawn.
constexpr int CHART_SAMPLES = 32;
struct chart_slot_t {
    int64_t slot = -1;  // t_ms / CHART_SLOT_MS of what it holds, -1 empty
    uint32_t n = 0;     // frames with a VRX latency
    int32_t max_vrx = 0;
    int32_t sample[CHART_SAMPLES] = {};  // thousandths; the first min(n, CHART_SAMPLES)
    bool iframe = false;
    int32_t max_i_vrx = 0;  // the slowest I-frame's VRX latency
    uint32_t rssi_n = 0, mbps_n = 0;
    int64_t rssi_sum = 0;
    double mbps_sum = 0;
};

// Histograms with fixed bounds, for the metrics: the same buckets on every
// receiver, so a fleet's can be added up. Counts per bucket (not
// cumulative); the last counts what is above every bound. Values and the
// sum in the unit of the bounds.
template <size_t N>
struct fixed_histogram_t {
    uint64_t bucket[N + 1] = {};
    uint64_t count = 0;
    int64_t sum = 0;
    void add(int64_t v, const int64_t (&bounds)[N])
    {
        size_t i = 0;
        while (i < N && v > bounds[i]) i++;
        bucket[i]++;
        count++;
        sum += v;
    }
};

// The latency histograms: VRX, VTX and the four receiver stages, per
// I- and P-frames; bounds in thousandths of a millisecond (microseconds).
enum metric_stage_e { MS_VRX, MS_VTX, MS_FRAME, MS_FEC, MS_DECODE, MS_RENDER, METRIC_STAGES };
constexpr size_t LATENCY_BOUNDS = 20;
constexpr int64_t LATENCY_BOUND_US[LATENCY_BOUNDS] = {1000,  2000,  3000,  4000,  5000,   6000,   8000,
                                                      10000, 12000, 15000, 20000, 25000,  30000,  40000,
                                                      50000, 75000, 100000, 150000, 250000, 500000};
using latency_histogram_t = fixed_histogram_t<LATENCY_BOUNDS>;
// Stall lengths in milliseconds.
constexpr size_t STALL_BOUNDS = 10;
constexpr int64_t STALL_BOUND_MS[STALL_BOUNDS] = {100, 150, 250, 500, 1000, 2000, 5000, 10000, 30000, 60000};
using stall_histogram_t = fixed_histogram_t<STALL_BOUNDS>;

enum link_state_e { LINK_WAITING, LINK_CONNECTED, LINK_DISCONNECTED };

struct top_model_t {
    std::mutex mu;

    // Set before the pipe opens.
    venc_mode_t codec = VENC_H264;
    bool save = false;
    csv_log_t log;  // used by the pipe thread only
    // Each connection starts a run of its own in the log (a header line);
    // the times of its rows go to times_path (latency_times_path), when set.
    bool new_run_per_connection = true;
    std::string times_path;
    bool times_failing = false;
    int64_t times_second = -1;  // the second of the last time written
    bool rows_in_run = false;
    // With a recording folder (record_dir, set before the pipe opens) each
    // connection's rows go to a log of their own there (record_claim), with
    // its times and events files beside it; save is set and log.path
    // points at record_csv. The pipe thread claims the file at the first
    // rows of a connection; record_events is read by the main thread, with
    // mu held.
    std::string record_dir;
    bool record_next = true;     // the next rows start a new recording
    bool record_failing = false; // this connection has no recording (the claim failed)
    std::string record_csv;
    std::string record_events;

    link_state_e state = LINK_WAITING;
    int64_t state_since_ms = 0;
    time_t state_since_wall = 0;
    uint64_t connects = 0, disconnects = 0;

    // Since start (or the last reset).
    int64_t reset_ms = 0;
    uint64_t records = 0;  // records in buffers that passed the checks
    uint64_t frames = 0;   // records that are not a repeat of the one before
    uint64_t consecutive_repeats = 0;
    uint64_t bad_buffers = 0;  // buffers dropped by the checks
    uint64_t bad_records = 0;  // records in them (whole records; a partial buffer counts its whole ones)
    uint64_t bad_magic = 0;    // records with a wrong magic number
    uint64_t partial_buffers = 0;
    uint64_t i_frames = 0, p_frames = 0, other_frames = 0;
    uint32_t first_id = 0, last_frame_id = 0;
    // Sample-id accounting: a publisher restart starts a new numbering, the
    // counts of the earlier ones are kept in the base figures.
    id_tracker_t ids;
    uint64_t base_missing = 0, base_repeats = 0, base_out_of_order = 0, base_gaps = 0;
    std::vector<std::pair<uint32_t, uint64_t>> gaps;  // earlier numberings' gaps, the first MAX_LISTED

    bool have_last = false;
    vrx_latency_packet_t last{};
    bool has_last_q[SER_COUNT] = {};
    int32_t last_q[SER_COUNT] = {};

    // The screen's windows (TOP_SPAN_MS; times in nanoseconds), fed the
    // values as the CSV log prints them.
    latency_window_t stats;
    // Since start for the closing summary, through the latency statistics
    // engine, fed the values as the CSV log prints them so the summary is
    // the one tarn-latency-report gives for the saved log.
    value_histogram_t since[STAT_COLUMN_COUNT];
    uint64_t since_nonfinite[STAT_COLUMN_COUNT] = {};
    value_histogram_t since_vrx_i, since_vrx_p;
    stage_sums_t since_stages;
    chart_slot_t chart[CHART_SLOTS];
    uint32_t chart_rng = 1;  // picks the samples kept beyond CHART_SAMPLES

    // What happened to the link: events from the same records, in arrival
    // time; their times of day are arrival time plus wall_offset_ms.
    link_events_t events;
    int64_t wall_offset_ms = 0;
    // For the metrics: every frame's latencies (index 0 I-frames, 1
    // P-frames) and the length of every stall that ended.
    latency_histogram_t latency_hist[METRIC_STAGES][2];
    stall_histogram_t stall_hist;
    // Records the pipe dropped for this view (it did not read fast
    // enough), from the pipe folder's drops file: not link loss.
    uint64_t viewer_dropped = 0;
    uint64_t drops_seen_bytes = 0;  // what the file said for our connection

    // The inspector's row state, which the CSV log follows; not reset.
    bool shown_any = false;
    uint32_t current_sample = 0;
    std::deque<float> avg_i, avg_p;

    top_model_t();
};

// The figures of window w (an index into TOP_SPAN_MS) as of the last
// expiry of m.stats, at now_ms, mu held.
window_figures_t top_figures(const top_model_t& m, int w, int64_t now_ms);

// Quantizes v to its value in units of 10^-decimals, rounded as the CSV log
// prints it. False for NaN, infinities and values too large for 32 bits.
bool quantize(float v, int decimals, int32_t& key);

// One buffer from the pipe at time now_ms (milliseconds of a monotonic
// clock). Checks it exactly as the inspector does (messages on stderr),
// counts, appends the CSV lines when saving.
void top_feed(top_model_t& m, const char* data, int bytes, int64_t now_ms);
void top_connected(top_model_t& m, int64_t now_ms, time_t wall);
void top_disconnected(top_model_t& m, int64_t now_ms, time_t wall);
// Time passes at now_ms without a record (a stall may begin). Takes mu.
void top_tick(top_model_t& m, int64_t now_ms);
// Reads the drops file of the pipe at location (the folder, ending in
// '/') for this process's connection and counts what it adds. Takes mu.
void top_read_drops(top_model_t& m, const char* location, int64_t now_ms);
// Clears the statistics and counters (not the link state). Takes mu.
void top_reset(top_model_t& m, int64_t now_ms);

// Id accounting across numberings, with mu held.
uint64_t top_missing(const top_model_t& m);
uint64_t top_repeats(const top_model_t& m);
uint64_t top_out_of_order(const top_model_t& m);

// Since start, as tarn-latency-report summarizes one run of the CSV log.
// Takes mu.
run_summary_t top_summary(top_model_t& m);
// The summary printed on exit: the run summary without what only a log has
// (its line numbers, malformed lines), after the record checks.
std::string top_summary_text(top_model_t& m, int64_t now_ms);

// Recordings in a folder: DIR/YYYY-MM-DDTHH-MM-SSZ.csv named by the UTC
// time of day wall, with "-2", "-3", ... added before ".csv" while that
// name, or its .times or .events, is already there. The CSV is created
// here (out_file.h, a new file only), so no file is ever written over.
// Gives the path of the CSV, or an empty string with why set after
// RECORD_NAME_TRIES names.
constexpr int RECORD_NAME_TRIES = 100;
std::string record_claim(const std::string& dir, time_t wall, std::string& why);
// The events file beside a recording (or any log): PATH.events.
std::string record_events_path(const std::string& csv_path);

// Codec named by the "encoding" key of the receiver's settings file,
// read without creating or changing the file. name gets "H.264", "H.265",
// "?" (another value) or "H.264 (no settings)" when the file is missing or
// cannot be read.
venc_mode_t read_codec(const char* path, std::string& name);

#endif
