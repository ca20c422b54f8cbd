// Link events: what happened to the link and when. One detector, fed the
// frames of a run in order with their times, turns the figures of the last
// second against the run's own baseline into events with a start, an end,
// a severity and the figures behind them. tarn-vrx-top feeds it live
// (arrival times, times of day) and tarn-latency-report after the fact
// (times derived from the sample ids and the frame rate), so both tell the
// same story.
//
// Kinds (their JSON names):
//   loss            lost frames over the last second above a share
//   stall           no frame for longer than a number of frame periods
//   latency_rise    VRX p50 or p95 (or the VTX latency) of the last second
//                   above the baseline by a margin, for a while; with the
//                   stage whose rise explains most of it (its median's rise,
//                   or its p95's when only the VRX p95 rose)
//   signal_fade     RSSI of the last second below a level, or several dB
//                   below the baseline
//   fps_drop        the frame rate the receiver reports below a share of
//                   the baseline
//   restart         the connection lost and back (live), ids starting
//                   again (a log)
//   codec_mismatch  frame-type codes of the other codec than the one the
//                   settings name
//   bad_records     records refused by the checks (live)
//   viewer_behind   records the pipe dropped for this viewer because it did
//                   not read fast enough: not link loss (live)
//
// The baseline is the first baseline_s seconds of frames the detector sees
// (kept across restarts): the median and p95 of the receiver latency, the
// median of the VTX latency and of every stage, of the RSSI and of the
// reported frame rate. No latency, signal or rate event comes before it.
//
// Times: a start and an end are when the trouble began and when it was last
// seen (the lost frames' times for loss; for figures over a window, the
// moment half a window before the figure crossed, the median's delay). An
// event is declared once the condition has held sustain_s and closed once
// it has not held for hold_s, so nearby spells of one trouble make one
// event.
//
// Bounded: the detector holds one second of records in a latency window
// (bounded in bytes whatever the rate), fixed rings of 100 ms slots, the
// baseline's histograms (bounded) and at most MAX_RECENT events; the
// figures are looked at every 50 ms of the run's time, not per record.
#ifndef TARN_LINK_EVENTS_H
#define TARN_LINK_EVENTS_H

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "latency_stats.h"

enum event_kind_e {
    EV_LOSS,
    EV_STALL,
    EV_LATENCY_RISE,
    EV_SIGNAL_FADE,
    EV_FPS_DROP,
    EV_RESTART,
    EV_CODEC_MISMATCH,
    EV_BAD_RECORDS,
    EV_VIEWER_BEHIND,
    EV_KIND_COUNT
};
const char* event_kind_name(event_kind_e kind);
enum event_severity_e { SEV_WARN, SEV_CRIT };
const char* event_severity_name(event_severity_e s);

// Stages a latency rise names: the four receiver stages, then VTX.
constexpr int EVENT_STAGES = 5;
const char* event_stage_name(int stage);  // "frame", "fec", "decode", "render", "vtx"

// Every threshold of the detector. The defaults suit a 60-120 fps link.
struct event_thresholds_t {
    double baseline_s = 10;      // seconds of frames the baseline is made of
    double loss_warn_pct = 2;    // lost frames over the last second, per cent
    double loss_crit_pct = 10;
    double stall_periods = 30;   // no frame for this many frame periods
    double stall_min_ms = 150;   // and at least this long
    double stall_crit_ms = 1000;
    double rise_warn_ms = 1;     // VRX p50 (or VTX) above its baseline by
    double rise_crit_ms = 5;
    double rise95_warn_ms = 4;   // VRX p95 above its baseline by
    double rise95_crit_ms = 10;
    double rssi_warn_dbm = -70;  // RSSI at or below
    double rssi_crit_dbm = -80;
    double rssi_drop_warn_db = 10;  // or this far below the baseline
    double rssi_drop_crit_db = 20;
    double fps_warn_pct = 85;   // reported frame rate below this share of the baseline
    double fps_crit_pct = 50;
    double codec_min_frames = 3;  // frames of the other codec in the last 10 s
    double sustain_s = 0.5;       // a window figure holds this long before an event
    double hold_s = 2;            // an event ends after this long without its trouble
};

// Sets the threshold named `name` (a member above: "loss_warn_pct") from
// text. False with why set for an unknown name or a value that is not a
// finite number (negative: also refused).
bool set_event_threshold(event_thresholds_t& th, const std::string& name, const std::string& value, std::string& why);
// The same from "NAME=VALUE" (an option's argument).
bool set_event_threshold(event_thresholds_t& th, const char* name_value, std::string& why);
// The names of the thresholds, comma separated, for a usage text.
std::string event_threshold_names();

// The baseline the detector compares with (see link_events_t).
struct event_baseline_t {
    bool valid = false;
    double vrx50 = 0, vrx95 = 0, stage50[EVENT_STAGES] = {}, stage95[EVENT_STAGES] = {}, rssi = 0, fps = 0;
};

// One frame as the detector takes it.
struct event_frame_t {
    int64_t t_ms = 0;     // the run's time, never decreasing
    int64_t wall_ms = -1;  // time of day (ms since 1970, UTC), -1 unknown
    stat_sample_t s;      // sample id, kind and the column values
    int64_t missing = 0;  // what its id did to the missing count (id_step_t)
    bool other_codec = false;
};

struct link_event_t {
    uint64_t seq = 0;  // 1, 2, ... in the order they started
    event_kind_e kind = EV_LOSS;
    event_severity_e severity = SEV_WARN;  // the worst reached
    bool ongoing = true;
    int64_t start_ms = 0, end_ms = 0;  // the run's time; end: last seen so far
    int64_t start_wall = -1, end_wall = -1;
    uint32_t first_id = 0, last_id = 0;  // sample ids of the frames at start and end
    const char* figure = "";  // what triggered it: "lost_pct", "gap_ms", "vrx_p50_ms", ...
    double value = 0;         // its worst value
    double baseline = 0;      // and its baseline
    int stage = -1;           // latency_rise: the stage that rose most
    double stage_rise_ms = 0;
    uint64_t count = 0;  // loss: frames lost; codec_mismatch, bad_records: records
};

// An event started or ended (the event as it was then).
struct event_change_t {
    bool started = true;
    link_event_t ev;
};

// The other codec's frame-type codes: a record whose code only the codec
// other than `shown` uses (H.265 IDR, VPS, SPS, PPS in an H.264 stream; the
// H.264 NAL header bytes in an H.265 one).
bool frame_code_of_other_codec(int32_t code, venc_mode_t shown);

class link_events_t {
public:
    static constexpr size_t MAX_RECENT = 256;   // events kept, newest last
    static constexpr size_t MAX_CHANGES = 1024;  // starts and ends not yet taken

    explicit link_events_t(const event_thresholds_t& th = {});

    // A frame (not a repeat of the record before it).
    void frame(const event_frame_t& f);
    // Time passes without a frame (live): a stall may begin.
    void tick(int64_t t_ms, int64_t wall_ms);
    // The connection was lost (live); connected() when it is back.
    void disconnected(int64_t t_ms, int64_t wall_ms);
    void connected(int64_t t_ms, int64_t wall_ms);
    // Ids started again (a log): a restart between the last frame and the
    // next; its time is the last frame's.
    void renumbered();
    // Records refused by the checks.
    void bad_records(int64_t t_ms, int64_t wall_ms, uint64_t n);
    // Records the pipe dropped for this viewer (told up to a second late).
    void viewer_dropped(int64_t t_ms, int64_t wall_ms, uint64_t n);
    // The run is over: ongoing events end where they were last seen.
    void finish();

    // Starts and ends since the last call, in order (at most MAX_CHANGES;
    // dropped_changes() counts those that did not fit).
    std::vector<event_change_t> take_changes();
    uint64_t dropped_changes() const { return dropped_changes_; }
    // The last MAX_RECENT events that have ended, oldest first.
    const std::deque<link_event_t>& ended() const { return ended_; }
    // The ongoing events, then the last ended ones, each newest start
    // first, at most n: what is wrong now stays in view however many short
    // events came since it began.
    std::vector<link_event_t> latest(size_t n) const;
    // The events going on, in the order they started.
    std::vector<link_event_t> open_events() const;
    // Events started, by kind and the severity they started with.
    uint64_t count(event_kind_e k, event_severity_e s) const { return counts_[k][s]; }
    uint64_t total() const { return seq_; }
    // Whether an event is ongoing, the worst ongoing severity, and since
    // when the link has had an ongoing event without a break.
    bool degraded() const;
    event_severity_e worst() const;
    // The sequence number of the ongoing event of kind k, 0 when none.
    uint64_t open_seq(event_kind_e k) const { return is_open_[k] ? open_[k].seq : 0; }
    int64_t degraded_since_ms() const { return degraded_since_; }
    int64_t degraded_since_wall() const { return degraded_since_wall_; }
    bool has_baseline() const { return based_; }
    event_baseline_t baseline() const;
    // Compares with b from now on instead of taking a baseline of its own
    // (the same link after a restart of the receiver).
    void set_baseline(const event_baseline_t& b);
    const event_thresholds_t& thresholds() const { return th_; }

private:
    // A count over the last second in 100 ms slots.
    struct slot_t {
        int64_t slot = -1;
        uint64_t total = 0, hits = 0;
        int64_t first_hit = 0, last_hit = 0;
        uint32_t first_id = 0, last_id = 0;
    };
    struct counter_t {
        int64_t slot_ms = 100;  // ten slots: the last second, or more
        std::array<slot_t, 10> slots;
        void add(int64_t t_ms, uint64_t total, uint64_t hits, int64_t first_hit, int64_t last_hit, uint32_t id);
        // Sums over the slots within the last ten slots of t_ms; first:
        // the slot of the earliest hit (nullptr without hits).
        void sums(int64_t t_ms, uint64_t& total, uint64_t& hits, const slot_t** first) const;
    };
    // A condition on figures of the last second, with its sustain and hold.
    struct cond_t {
        int64_t pending = -1;  // since when it holds, not yet an event
        uint32_t pending_id = 0;
        int64_t last_true = 0;
    };

    void open_event(event_kind_e k, event_severity_e s, int64_t start, uint32_t id);
    void close_event(event_kind_e k, int64_t end, uint32_t id);
    void changed(const link_event_t& e, bool started);
    void evaluate(int64_t t_ms, uint32_t id);
    // True when the event opened now (the caller completes it, then says so).
    bool window_cond(cond_t& c, event_kind_e k, int sev, int64_t t, uint32_t id, const char* figure, double value,
                     double baseline, bool worse_high);
    void count_cond(event_kind_e k, const counter_t& ctr, int64_t t, uint32_t id);
    // Records that never became frames (refused, dropped for the view).
    void records_lost(event_kind_e k, counter_t& ctr, int64_t t_ms, int64_t wall_ms, uint64_t n);
    void take_baseline();
    double period_ms() const;
    // A time of day known at t_ms (wall_ms >= 0) gives the times of day of
    // the run's times from then on.
    void note_wall(int64_t t_ms, int64_t wall_ms);
    int64_t stall_ms() const;
    int64_t wall_at(int64_t t_ms) const;

    event_thresholds_t th_;
    latency_window_t win_;
    // The baseline: VRX, the five stages, RSSI, reported FPS.
    bool based_ = false;
    int64_t first_t_ = -1;
    value_histogram_t base_h_[8];
    double base_vrx50_ = 0, base_vrx95_ = 0, base_stage_[EVENT_STAGES] = {}, base_stage95_[EVENT_STAGES] = {};
    double base_rssi_ = 0, base_fps_ = 0;

    bool any_ = false, connected_ = true, renumbered_ = false;
    int64_t last_t_ = 0, next_eval_ = 0;
    int64_t wall_offset_ = 0;  // time of day less the run's time, when known
    bool have_wall_ = false;
    uint32_t last_id_ = 0;
    double last_fps_ = 0;
    counter_t loss_, codec_, bad_, behind_;
    cond_t conds_[EV_KIND_COUNT];

    uint64_t seq_ = 0;
    bool is_open_[EV_KIND_COUNT] = {};
    link_event_t open_[EV_KIND_COUNT];
    std::deque<link_event_t> ended_;
    std::vector<event_change_t> changes_;
    uint64_t dropped_changes_ = 0;
    uint64_t counts_[EV_KIND_COUNT][2] = {};
    int64_t degraded_since_ = -1, degraded_since_wall_ = -1;
};

// One event as a JSON object a line would hold it (no line end): kind,
// severity, start_s and end_s from t0_ms, start_time and end_time of day
// (ISO 8601 UTC) or null, first_sample_id, last_sample_id, ongoing, the
// figure, its value and baseline, stage for a latency rise, count.
std::string event_json(const link_event_t& e, int64_t t0_ms);
// One line of text: "loss warn 12.3-14.0 s: lost 3.2 % of frames (baseline 0)".
std::string event_text(const link_event_t& e, int64_t t0_ms);
// What an event is about in a few words: "loss 15.0 %", "decode +6.2 ms",
// "RSSI -74 dBm", "stall 930 ms".
std::string event_brief(const link_event_t& e);
// A time as ISO 8601 UTC with milliseconds ("2026-12-10T14:03:12.345Z").
std::string iso_time_ms(int64_t wall_ms);
// A time of day, "14:03:12", local time; "--:--:--" for -1.
std::string clock_text_ms(int64_t wall_ms);

#endif
