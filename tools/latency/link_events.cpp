// The link event detector (link_events.h).
#include "link_events.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* KIND_NAMES[EV_KIND_COUNT] = {"loss",    "stall",          "latency_rise", "signal_fade",   "fps_drop",
                                                   "restart", "codec_mismatch", "bad_records",  "viewer_behind"};
constexpr const char* STAGE_NAMES[EVENT_STAGES] = {"frame", "fec", "decode", "render", "vtx"};
constexpr stat_column_e STAGE_COLUMNS[EVENT_STAGES] = {STAT_FRAME, STAT_FEC, STAT_DECODE, STAT_RENDER, STAT_VTX};

constexpr int64_t WINDOW_MS = 1000;  // the figures of the last second
constexpr int64_t LAG_MS = WINDOW_MS / 2;
constexpr int64_t EVAL_MS = 50;
// Baseline histograms: VRX, the stages (STAGE_COLUMNS), RSSI, FPS.
constexpr int B_VRX = 0, B_RSSI = 6, B_FPS = 7;
// The latency window holds a second of records; at a receiver's rate a
// few kilobytes, and never more than this whatever the rate.
constexpr size_t WINDOW_BYTES = size_t{4} << 20;

uint32_t window_columns()
{
    uint32_t c = (1u << STAT_VRX) | (1u << STAT_RSSI) | (1u << STAT_FPS);
    for (stat_column_e s : STAGE_COLUMNS) c |= 1u << s;
    return c;
}

int64_t ms_of(double s)
{
    return static_cast<int64_t>(std::llround(s * 1000));
}

}  // namespace

const char* event_kind_name(event_kind_e kind)
{
    return kind >= 0 && kind < EV_KIND_COUNT ? KIND_NAMES[kind] : "?";
}

const char* event_severity_name(event_severity_e s)
{
    return s == SEV_CRIT ? "crit" : "warn";
}

const char* event_stage_name(int stage)
{
    return stage >= 0 && stage < EVENT_STAGES ? STAGE_NAMES[stage] : "";
}

bool frame_code_of_other_codec(int32_t code, venc_mode_t shown)
{
    if (shown == VENC_H264) return code == 19 || code == 32 || code == 33 || code == 34;
    if (shown == VENC_H265) return code == 101 || code == 65 || code == 103 || code == 104;
    return false;
}

namespace {

struct threshold_name_t {
    const char* name;
    double event_thresholds_t::*member;
};
constexpr threshold_name_t THRESHOLDS[] = {
    {"baseline_s", &event_thresholds_t::baseline_s},
    {"loss_warn_pct", &event_thresholds_t::loss_warn_pct},
    {"loss_crit_pct", &event_thresholds_t::loss_crit_pct},
    {"stall_periods", &event_thresholds_t::stall_periods},
    {"stall_min_ms", &event_thresholds_t::stall_min_ms},
    {"stall_crit_ms", &event_thresholds_t::stall_crit_ms},
    {"rise_warn_ms", &event_thresholds_t::rise_warn_ms},
    {"rise_crit_ms", &event_thresholds_t::rise_crit_ms},
    {"rise95_warn_ms", &event_thresholds_t::rise95_warn_ms},
    {"rise95_crit_ms", &event_thresholds_t::rise95_crit_ms},
    {"rssi_warn_dbm", &event_thresholds_t::rssi_warn_dbm},
    {"rssi_crit_dbm", &event_thresholds_t::rssi_crit_dbm},
    {"rssi_drop_warn_db", &event_thresholds_t::rssi_drop_warn_db},
    {"rssi_drop_crit_db", &event_thresholds_t::rssi_drop_crit_db},
    {"fps_warn_pct", &event_thresholds_t::fps_warn_pct},
    {"fps_crit_pct", &event_thresholds_t::fps_crit_pct},
    {"codec_min_frames", &event_thresholds_t::codec_min_frames},
    {"sustain_s", &event_thresholds_t::sustain_s},
    {"hold_s", &event_thresholds_t::hold_s},
};

}  // namespace

bool set_event_threshold(event_thresholds_t& th, const std::string& name, const std::string& value, std::string& why)
{
    for (const threshold_name_t& t : THRESHOLDS) {
        if (name != t.name) continue;
        char* end = nullptr;
        errno = 0;
        const double v = strtod(value.c_str(), &end);
        const bool dbm = name.compare(0, 5, "rssi_") == 0 && name.find("_dbm") != std::string::npos;
        // Levels in dBm are negative; everything else is a size, a share or
        // a time, never negative, and never beyond a day of seconds.
        if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || (!dbm && v < 0) || std::fabs(v) > 86400) {
            why = "'" + value + "' is not a value for " + name;
            return false;
        }
        th.*(t.member) = v;
        return true;
    }
    why = "unknown threshold '" + name + "' (" + event_threshold_names() + ")";
    return false;
}

bool set_event_threshold(event_thresholds_t& th, const char* name_value, std::string& why)
{
    const char* eq = strchr(name_value, '=');
    if (eq == nullptr) {
        why = std::string("'") + name_value + "' is not NAME=VALUE";
        return false;
    }
    return set_event_threshold(th, std::string(name_value, static_cast<size_t>(eq - name_value)), eq + 1, why);
}

std::string event_threshold_names()
{
    std::string s;
    for (const threshold_name_t& t : THRESHOLDS) {
        if (!s.empty()) s += ", ";
        s += t.name;
    }
    return s;
}

// ------------------------------------------------------------ counter_t

void link_events_t::counter_t::add(int64_t t_ms, uint64_t total, uint64_t hits, int64_t first_hit, int64_t last_hit,
                                   uint32_t id)
{
    const int64_t s = t_ms / slot_ms;
    slot_t& x = slots[static_cast<size_t>(s % static_cast<int64_t>(slots.size()))];
    if (x.slot != s) x = slot_t{s};
    x.total += total;
    if (hits == 0) return;
    if (x.hits == 0) {
        x.first_hit = first_hit;
        x.first_id = id;
    }
    x.hits += hits;
    x.last_hit = last_hit;
    x.last_id = id;
}

void link_events_t::counter_t::sums(int64_t t_ms, uint64_t& total, uint64_t& hits, const slot_t** first) const
{
    const int64_t now = t_ms / slot_ms;
    total = hits = 0;
    *first = nullptr;
    for (const slot_t& x : slots) {
        if (x.slot < 0 || x.slot > now || now - x.slot >= static_cast<int64_t>(slots.size())) continue;
        total += x.total;
        hits += x.hits;
        if (x.hits > 0 && (*first == nullptr || x.first_hit < (*first)->first_hit)) *first = &x;
    }
}

// -------------------------------------------------------- link_events_t

link_events_t::link_events_t(const event_thresholds_t& th)
    : th_(th), win_(std::vector<int64_t>{WINDOW_MS * 1000000}, window_columns(), WINDOW_BYTES)
{
    codec_.slot_ms = 1000;
}

double link_events_t::period_ms() const
{
    if (last_fps_ >= 1 && last_fps_ <= 1000) return 1000.0 / last_fps_;
    if (based_ && base_fps_ >= 1 && base_fps_ <= 1000) return 1000.0 / base_fps_;
    return 1000.0 / 60;
}

int64_t link_events_t::stall_ms() const
{
    return std::max(ms_of(th_.stall_min_ms / 1000), static_cast<int64_t>(std::ceil(th_.stall_periods * period_ms())));
}

int64_t link_events_t::wall_at(int64_t t_ms) const
{
    return have_wall_ ? t_ms + wall_offset_ : -1;
}

void link_events_t::changed(const link_event_t& e, bool started)
{
    if (changes_.size() >= MAX_CHANGES) {
        dropped_changes_++;
        return;
    }
    changes_.push_back({started, e});
}

void link_events_t::open_event(event_kind_e k, event_severity_e s, int64_t start, uint32_t id)
{
    if (first_t_ >= 0) start = std::max(start, first_t_);
    link_event_t& e = open_[k];
    e = link_event_t{};
    e.seq = ++seq_;
    e.kind = k;
    e.severity = s;
    e.start_ms = e.end_ms = start;
    e.start_wall = e.end_wall = wall_at(start);
    e.first_id = e.last_id = id;
    is_open_[k] = true;
    counts_[k][s]++;
    bool was_any = false;
    for (int i = 0; i < EV_KIND_COUNT; i++) was_any = was_any || (i != k && is_open_[i]);
    if (!was_any) {
        degraded_since_ = start;
        degraded_since_wall_ = e.start_wall;
    }
}

void link_events_t::close_event(event_kind_e k, int64_t end, uint32_t id)
{
    if (!is_open_[k]) return;
    link_event_t& e = open_[k];
    e.ongoing = false;
    e.end_ms = std::max(end, e.start_ms);
    e.end_wall = wall_at(e.end_ms);
    if (id != 0) e.last_id = id;
    is_open_[k] = false;
    changed(e, false);
    ended_.push_back(e);
    if (ended_.size() > MAX_RECENT) ended_.pop_front();
    if (!degraded()) degraded_since_ = degraded_since_wall_ = -1;
}

bool link_events_t::degraded() const
{
    for (bool o : is_open_)
        if (o) return true;
    return false;
}

event_severity_e link_events_t::worst() const
{
    for (int k = 0; k < EV_KIND_COUNT; k++)
        if (is_open_[k] && open_[k].severity == SEV_CRIT) return SEV_CRIT;
    return SEV_WARN;
}

std::vector<link_event_t> link_events_t::latest(size_t n) const
{
    std::vector<link_event_t> out;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        if (is_open_[k]) out.push_back(open_[k]);
    for (auto it = ended_.rbegin(); it != ended_.rend() && out.size() < n + EV_KIND_COUNT; ++it) out.push_back(*it);
    std::sort(out.begin(), out.end(), [](const link_event_t& a, const link_event_t& b) {
        if (a.ongoing != b.ongoing) return a.ongoing;
        return a.start_ms != b.start_ms ? a.start_ms > b.start_ms : a.seq > b.seq;
    });
    if (out.size() > n) out.resize(n);
    return out;
}

std::vector<link_event_t> link_events_t::open_events() const
{
    std::vector<link_event_t> out;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        if (is_open_[k]) out.push_back(open_[k]);
    std::sort(out.begin(), out.end(), [](const link_event_t& a, const link_event_t& b) { return a.seq < b.seq; });
    return out;
}

std::vector<event_change_t> link_events_t::take_changes()
{
    std::vector<event_change_t> out;
    out.swap(changes_);
    return out;
}

void link_events_t::take_baseline()
{
    based_ = true;
    base_vrx50_ = base_h_[B_VRX].percentile(50, 100);
    base_vrx95_ = base_h_[B_VRX].percentile(95, 100);
    for (int i = 0; i < EVENT_STAGES; i++) {
        base_stage_[i] = base_h_[1 + i].percentile(50, 100);
        base_stage95_[i] = base_h_[1 + i].percentile(95, 100);
    }
    base_rssi_ = base_h_[B_RSSI].percentile(50, 100);
    base_fps_ = base_h_[B_FPS].percentile(50, 100);
    for (value_histogram_t& h : base_h_) h.clear();
}

void link_events_t::note_wall(int64_t t_ms, int64_t wall_ms)
{
    if (wall_ms < 0) return;
    have_wall_ = true;
    wall_offset_ = wall_ms - t_ms;
}

event_baseline_t link_events_t::baseline() const
{
    event_baseline_t b;
    b.valid = based_;
    b.vrx50 = base_vrx50_;
    b.vrx95 = base_vrx95_;
    std::copy(base_stage_, base_stage_ + EVENT_STAGES, b.stage50);
    std::copy(base_stage95_, base_stage95_ + EVENT_STAGES, b.stage95);
    b.rssi = base_rssi_;
    b.fps = base_fps_;
    return b;
}

void link_events_t::set_baseline(const event_baseline_t& b)
{
    if (!b.valid) return;
    based_ = true;
    base_vrx50_ = b.vrx50;
    base_vrx95_ = b.vrx95;
    std::copy(b.stage50, b.stage50 + EVENT_STAGES, base_stage_);
    std::copy(b.stage95, b.stage95 + EVENT_STAGES, base_stage95_);
    base_rssi_ = b.rssi;
    base_fps_ = b.fps;
    for (value_histogram_t& h : base_h_) h.clear();
}

void link_events_t::frame(const event_frame_t& f)
{
    const int64_t t = f.t_ms;
    const uint32_t id = f.s.sample_id;
    note_wall(t, f.wall_ms);
    if (!any_) {
        first_t_ = t;
        next_eval_ = t;
    }
    if (renumbered_) {
        renumbered_ = false;
        // Live the pause ended when the connection came back; in a log the
        // next frame tells.
        const link_event_t& r = open_[EV_RESTART];
        close_event(EV_RESTART, r.end_ms > r.start_ms ? r.end_ms : t, id);
    }
    // A stall: the time since the frame before.
    if (any_ && connected_) {
        const int64_t gap = t - last_t_;
        if (is_open_[EV_STALL] || gap >= stall_ms()) {
            if (!is_open_[EV_STALL]) {
                open_event(EV_STALL, SEV_WARN, last_t_, last_id_);
                open_[EV_STALL].figure = "gap_ms";
                open_[EV_STALL].baseline = period_ms();
                changed(open_[EV_STALL], true);
            }
            link_event_t& e = open_[EV_STALL];
            e.value = static_cast<double>(gap);
            if (gap >= ms_of(th_.stall_crit_ms / 1000)) e.severity = SEV_CRIT;
            close_event(EV_STALL, t, id);
        }
    }
    any_ = true;
    last_t_ = t;
    last_id_ = id;
    const double fps = f.s.v[STAT_FPS];
    if (std::isfinite(fps) && fps >= 1 && fps <= 1000) last_fps_ = fps;

    // Lost frames lie between the frame before and this one.
    const uint64_t lost = f.missing > 0 ? static_cast<uint64_t>(f.missing) : 0;
    const int64_t per = std::max<int64_t>(1, std::llround(period_ms()));
    const int64_t lost_first = t - static_cast<int64_t>(lost) * per, lost_last = t - per;
    loss_.add(t, 1 + lost, lost, lost_first, lost_last, id);
    // A late frame fills a gap: one lost less.
    if (f.missing != 0 && is_open_[EV_LOSS])
        open_[EV_LOSS].count = static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(open_[EV_LOSS].count) + f.missing));
    codec_.add(t, 1, f.other_codec ? 1 : 0, t, t, id);
    if (f.other_codec && is_open_[EV_CODEC_MISMATCH]) open_[EV_CODEC_MISMATCH].count++;

    win_.add(t * 1000000, f.s);
    if (!based_) {
        const double* v = f.s.v;
        if (std::isfinite(v[STAT_VRX])) base_h_[B_VRX].add(v[STAT_VRX]);
        for (int i = 0; i < EVENT_STAGES; i++)
            if (std::isfinite(v[STAGE_COLUMNS[i]])) base_h_[1 + i].add(v[STAGE_COLUMNS[i]]);
        if (std::isfinite(v[STAT_RSSI])) base_h_[B_RSSI].add(v[STAT_RSSI]);
        if (std::isfinite(v[STAT_FPS])) base_h_[B_FPS].add(v[STAT_FPS]);
        if (t - first_t_ >= ms_of(th_.baseline_s)) take_baseline();
    }
    if (t >= next_eval_) {
        evaluate(t, id);
        next_eval_ = t - t % EVAL_MS + EVAL_MS;
    }
}

void link_events_t::tick(int64_t t_ms, int64_t wall_ms)
{
    if (!any_) note_wall(t_ms, wall_ms);
    if (t_ms < last_t_) return;
    if (any_ && connected_ && !is_open_[EV_STALL] && t_ms - last_t_ >= stall_ms()) {
        open_event(EV_STALL, SEV_WARN, last_t_, last_id_);
        open_[EV_STALL].figure = "gap_ms";
        open_[EV_STALL].baseline = period_ms();
        changed(open_[EV_STALL], true);
    }
    if (is_open_[EV_STALL]) {
        link_event_t& e = open_[EV_STALL];
        e.value = static_cast<double>(t_ms - last_t_);
        e.end_ms = t_ms;
        e.end_wall = wall_at(t_ms);
        if (e.value >= th_.stall_crit_ms) e.severity = SEV_CRIT;
    }
    if (t_ms >= next_eval_) {
        evaluate(t_ms, last_id_);
        next_eval_ = t_ms - t_ms % EVAL_MS + EVAL_MS;
    }
}

void link_events_t::disconnected(int64_t t_ms, int64_t wall_ms)
{
    note_wall(t_ms, wall_ms);
    if (!connected_) return;
    connected_ = false;
    // What was ongoing ends where it was last seen; the pause is the restart's.
    if (is_open_[EV_STALL]) close_event(EV_STALL, std::min(t_ms, open_[EV_STALL].end_ms), 0);
    // Back and lost again before a frame came: the restart before ends
    // when its connection came.
    if (is_open_[EV_RESTART]) {
        renumbered_ = false;
        close_event(EV_RESTART, open_[EV_RESTART].end_ms, 0);
    }
    if (!any_) return;
    open_event(EV_RESTART, SEV_WARN, t_ms, last_id_);
    open_[EV_RESTART].figure = "pause_ms";
    changed(open_[EV_RESTART], true);
}

void link_events_t::connected(int64_t t_ms, int64_t wall_ms)
{
    note_wall(t_ms, wall_ms);
    if (connected_) return;
    connected_ = true;
    if (is_open_[EV_RESTART]) {
        link_event_t& e = open_[EV_RESTART];
        e.value = static_cast<double>(t_ms - e.start_ms);
        // The frames of the new connection say its first id.
        renumbered_ = true;
        e.end_ms = t_ms;
    }
    if (any_) last_t_ = std::max(last_t_, t_ms);
}

void link_events_t::renumbered()
{
    if (!any_ || is_open_[EV_RESTART]) return;
    open_event(EV_RESTART, SEV_WARN, last_t_, last_id_);
    open_[EV_RESTART].figure = "pause_ms";
    changed(open_[EV_RESTART], true);
    renumbered_ = true;
}

void link_events_t::records_lost(event_kind_e k, counter_t& ctr, int64_t t_ms, int64_t wall_ms, uint64_t n)
{
    note_wall(t_ms, wall_ms);
    if (n == 0) return;
    ctr.add(t_ms, n, n, t_ms, t_ms, last_id_);
    if (is_open_[k]) open_[k].count += n;
    count_cond(k, ctr, t_ms, last_id_);
}

void link_events_t::bad_records(int64_t t_ms, int64_t wall_ms, uint64_t n)
{
    records_lost(EV_BAD_RECORDS, bad_, t_ms, wall_ms, n);
}

void link_events_t::viewer_dropped(int64_t t_ms, int64_t wall_ms, uint64_t n)
{
    records_lost(EV_VIEWER_BEHIND, behind_, t_ms, wall_ms, n);
}

void link_events_t::finish()
{
    const int64_t t = last_t_;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        if (is_open_[k]) close_event(static_cast<event_kind_e>(k), std::min(open_[k].end_ms, t), 0);
}

// Loss, other-codec frames and bad records: counts of the last second.
void link_events_t::count_cond(event_kind_e k, const counter_t& ctr, int64_t t, uint32_t id)
{
    uint64_t total = 0, hits = 0;
    const slot_t* first = nullptr;
    ctr.sums(t, total, hits, &first);
    int sev = -1;
    double value = 0;
    switch (k) {
    case EV_LOSS:
        value = total > 0 ? 100.0 * static_cast<double>(hits) / static_cast<double>(total) : 0;
        sev = value >= th_.loss_crit_pct ? SEV_CRIT : value >= th_.loss_warn_pct && hits > 0 ? SEV_WARN : -1;
        break;
    case EV_CODEC_MISMATCH:
        value = static_cast<double>(hits);
        sev = hits > 0 && value >= th_.codec_min_frames ? SEV_WARN : -1;
        break;
    default:
        value = static_cast<double>(hits);
        sev = hits > 0 ? (total >= 10 ? SEV_CRIT : SEV_WARN) : -1;
        break;
    }
    // The newest hit in the window.
    int64_t last_hit = -1;
    uint32_t last_id = id;
    for (const slot_t& x : ctr.slots)
        if (x.hits > 0 && x.slot <= t / ctr.slot_ms && t / ctr.slot_ms - x.slot < 10 && x.last_hit > last_hit) {
            last_hit = x.last_hit;
            last_id = x.last_id;
        }
    if (sev >= 0) {
        if (!is_open_[k]) {
            open_event(k, static_cast<event_severity_e>(sev), first->first_hit, first->first_id);
            link_event_t& e = open_[k];
            e.figure = k == EV_LOSS                ? "lost_pct"
                       : k == EV_CODEC_MISMATCH    ? "other_codec_frames"
                       : k == EV_VIEWER_BEHIND     ? "viewer_dropped_records"
                                                   : "bad_records";
            e.count = hits;
            e.value = value;
            changed(e, true);
        }
        link_event_t& e = open_[k];
        if (sev == SEV_CRIT) e.severity = SEV_CRIT;
        e.value = std::max(e.value, value);
    }
    if (is_open_[k] && last_hit >= 0) {
        link_event_t& e = open_[k];
        e.end_ms = std::max(e.end_ms, last_hit);
        e.end_wall = wall_at(e.end_ms);
        e.last_id = last_id;
    }
    if (is_open_[k] && sev < 0 && t - open_[k].end_ms >= ms_of(th_.hold_s)) close_event(k, open_[k].end_ms, 0);
}

bool link_events_t::window_cond(cond_t& c, event_kind_e k, int sev, int64_t t, uint32_t id, const char* figure,
                                double value, double baseline, bool worse_high)
{
    bool opened = false;
    // The frames of half a window: the ids the figure's delay spans.
    const auto lag_ids = static_cast<uint32_t>(std::lround(LAG_MS / period_ms()));
    auto back = [&](uint32_t x) { return x > lag_ids ? x - lag_ids : x; };
    if (sev >= 0) {
        if (!is_open_[k]) {
            if (c.pending < 0) {
                c.pending = t;
                c.pending_id = id;
            }
            if (t - c.pending < ms_of(th_.sustain_s)) return false;
            open_event(k, static_cast<event_severity_e>(sev), c.pending - LAG_MS, back(c.pending_id));
            link_event_t& e = open_[k];
            e.figure = figure;
            e.value = value;
            e.baseline = baseline;
            opened = true;
        }
        link_event_t& e = open_[k];
        if (sev == SEV_CRIT) e.severity = SEV_CRIT;
        if (worse_high ? value > e.value : value < e.value) {
            e.value = value;
            e.figure = figure;
            e.baseline = baseline;
        }
        c.last_true = t;
        e.end_ms = std::max(e.start_ms, t - LAG_MS);
        e.end_wall = wall_at(e.end_ms);
        e.last_id = back(id);
        return opened;
    }
    c.pending = -1;
    if (is_open_[k] && t - c.last_true >= ms_of(th_.hold_s)) close_event(k, open_[k].end_ms, 0);
    return false;
}

void link_events_t::evaluate(int64_t t, uint32_t id)
{
    win_.expire(t * 1000000);
    count_cond(EV_LOSS, loss_, t, id);
    count_cond(EV_CODEC_MISMATCH, codec_, t, id);
    count_cond(EV_BAD_RECORDS, bad_, t, id);
    count_cond(EV_VIEWER_BEHIND, behind_, t, id);
    if (!based_) return;

    const window_span_t& w = win_.span(0);
    // Too few frames in the last second to say anything (a stall, a pause):
    // the conditions do not hold.
    const bool enough = connected_ && w.frames() >= 10;
    const window_column_t& vrx = w.column(STAT_VRX);
    int rise = -1, fade = -1, drop = -1;
    double p50 = 0, p95 = 0, r50 = 0, r95 = 0, rv = 0;
    int stage = -1;
    double stage_rise = 0;
    if (enough && vrx.count() >= 10) {
        p50 = vrx.percentile(50, 100);
        p95 = vrx.percentile(95, 100);
        r50 = p50 - base_vrx50_;
        r95 = p95 - base_vrx95_;
        // The stage to blame: the largest rise of the stages' medians, or of
        // their p95 when the VRX p95 alone rose.
        const bool tail = r50 < th_.rise_warn_ms && r95 >= th_.rise95_warn_ms;
        for (int i = 0; i < EVENT_STAGES; i++) {
            const window_column_t& col = w.column(STAGE_COLUMNS[i]);
            if (col.count() == 0) continue;
            const double r50i = col.percentile(50, 100) - base_stage_[i];
            const double r = tail ? col.percentile(95, 100) - base_stage95_[i] : r50i;
            if (i == EVENT_STAGES - 1) rv = r50i;
            if (stage < 0 || r > stage_rise) {
                stage = i;
                stage_rise = r;
            }
        }
        // No stage explains a rise it has less than a third of (the rest
        // of the receiver's latency, or values without their stages).
        const double explained = tail ? r95 : std::max(r50, rv);
        if (stage >= 0 && stage_rise < explained / 3) stage = -1;
        if (r50 >= th_.rise_crit_ms || r95 >= th_.rise95_crit_ms)
            rise = SEV_CRIT;
        else if (r50 >= th_.rise_warn_ms || r95 >= th_.rise95_warn_ms || rv >= th_.rise_warn_ms)
            rise = SEV_WARN;
    }
    // The figure behind the rise: the VRX median, else its p95, else VTX.
    const char* fig = "vtx_p50_ms";
    double fval = base_stage_[EVENT_STAGES - 1] + rv, fbase = base_stage_[EVENT_STAGES - 1];
    if (r50 >= th_.rise_warn_ms) {
        fig = "vrx_p50_ms";
        fval = p50;
        fbase = base_vrx50_;
    } else if (r95 >= th_.rise95_warn_ms) {
        fig = "vrx_p95_ms";
        fval = p95;
        fbase = base_vrx95_;
    }
    const bool was_open = is_open_[EV_LATENCY_RISE];
    const bool opened = window_cond(conds_[EV_LATENCY_RISE], EV_LATENCY_RISE, rise, t, id, fig, fval, fbase, true);
    if (is_open_[EV_LATENCY_RISE] && rise >= 0) {
        link_event_t& e = open_[EV_LATENCY_RISE];
        if (!was_open || (stage >= 0 && (e.stage < 0 || stage_rise > e.stage_rise_ms))) {
            e.stage = stage;
            e.stage_rise_ms = stage_rise;
        }
    }
    if (opened) changed(open_[EV_LATENCY_RISE], true);

    const window_column_t& rssi = w.column(STAT_RSSI);
    double rmean = 0;
    if (enough && rssi.count() >= 10) {
        rmean = rssi.mean();
        const double fell = base_rssi_ - rmean;
        if (rmean <= th_.rssi_crit_dbm || fell >= th_.rssi_drop_crit_db)
            fade = SEV_CRIT;
        else if (rmean <= th_.rssi_warn_dbm || fell >= th_.rssi_drop_warn_db)
            fade = SEV_WARN;
    }
    if (window_cond(conds_[EV_SIGNAL_FADE], EV_SIGNAL_FADE, fade, t, id, "rssi_dbm", rmean, base_rssi_, false))
        changed(open_[EV_SIGNAL_FADE], true);

    const window_column_t& fpsc = w.column(STAT_FPS);
    double fmean = 0;
    if (enough && fpsc.count() >= 10 && base_fps_ > 0) {
        fmean = fpsc.mean();
        if (fmean < base_fps_ * th_.fps_crit_pct / 100)
            drop = SEV_CRIT;
        else if (fmean < base_fps_ * th_.fps_warn_pct / 100)
            drop = SEV_WARN;
    }
    if (window_cond(conds_[EV_FPS_DROP], EV_FPS_DROP, drop, t, id, "fps", fmean, base_fps_, false))
        changed(open_[EV_FPS_DROP], true);
}

// ------------------------------------------------------------- texts

std::string clock_text_ms(int64_t wall_ms)
{
    if (wall_ms < 0) return "--:--:--";
    const time_t s = static_cast<time_t>(wall_ms / 1000);
    struct tm tmv;
    if (localtime_r(&s, &tmv) == nullptr) return "--:--:--";
    return fmt::format("{:02}:{:02}:{:02}", tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

std::string iso_time_ms(int64_t wall_ms)
{
    const time_t s = static_cast<time_t>(wall_ms / 1000);
    struct tm tmv;
    if (wall_ms < 0 || gmtime_r(&s, &tmv) == nullptr) return "";
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                       tmv.tm_hour, tmv.tm_min, tmv.tm_sec, wall_ms % 1000);
}

namespace {

std::string iso_or_null(int64_t wall_ms)
{
    const std::string iso = iso_time_ms(wall_ms);
    return iso.empty() ? "null" : "\"" + iso + "\"";
}

std::string num(double v)
{
    if (!std::isfinite(v)) return "null";
    return fmt::format("{}", std::round(v * 1000) / 1000);
}

}  // namespace

std::string event_json(const link_event_t& e, int64_t t0_ms)
{
    std::string s = fmt::format(
        "{{\"kind\":\"{}\",\"severity\":\"{}\",\"start_s\":{},\"end_s\":{},\"start_time\":{},\"end_time\":{},"
        "\"ongoing\":{},\"first_sample_id\":{},\"last_sample_id\":{},\"figure\":\"{}\",\"value\":{},\"baseline\":{}",
        event_kind_name(e.kind), event_severity_name(e.severity), num((e.start_ms - t0_ms) / 1000.0),
        num((e.end_ms - t0_ms) / 1000.0), iso_or_null(e.start_wall), iso_or_null(e.end_wall),
        e.ongoing ? "true" : "false", e.first_id, e.last_id, e.figure, num(e.value), num(e.baseline));
    if (e.kind == EV_LATENCY_RISE && e.stage >= 0)
        s += fmt::format(",\"stage\":\"{}\",\"stage_rise_ms\":{}", event_stage_name(e.stage), num(e.stage_rise_ms));
    else if (e.kind == EV_LATENCY_RISE)
        s += ",\"stage\":null,\"stage_rise_ms\":null";
    if (e.kind == EV_LOSS || e.kind == EV_CODEC_MISMATCH || e.kind == EV_BAD_RECORDS || e.kind == EV_VIEWER_BEHIND)
        s += fmt::format(",\"count\":{}", e.count);
    s += '}';
    return s;
}

std::string event_brief(const link_event_t& e)
{
    switch (e.kind) {
    case EV_LOSS: return fmt::format("loss {:.1f} %", e.value);
    case EV_STALL: return fmt::format("stall {:.0f} ms", e.value);
    case EV_LATENCY_RISE:
        if (e.stage >= 0) return fmt::format("{} {:+.1f} ms", event_stage_name(e.stage), e.stage_rise_ms);
        return fmt::format("VRX {:+.1f} ms", e.value - e.baseline);
    case EV_SIGNAL_FADE: return fmt::format("RSSI {:.0f} dBm", e.value);
    case EV_FPS_DROP: return fmt::format("fps {:.1f}", e.value);
    case EV_RESTART: return e.ongoing ? std::string("restart") : fmt::format("restart {:.1f} s", e.value / 1000);
    case EV_CODEC_MISMATCH: return fmt::format("other codec ({} frames)", e.count);
    case EV_BAD_RECORDS: return fmt::format("bad records {}", e.count);
    case EV_VIEWER_BEHIND: return fmt::format("viewer behind, {} dropped", e.count);
    default: return event_kind_name(e.kind);
    }
}

std::string event_text(const link_event_t& e, int64_t t0_ms)
{
    std::string when = fmt::format("{:.1f}-{}", (e.start_ms - t0_ms) / 1000.0,
                                   e.ongoing ? std::string("...") : fmt::format("{:.1f} s", (e.end_ms - t0_ms) / 1000.0));
    std::string what;
    switch (e.kind) {
    case EV_LOSS: what = fmt::format("{} frames lost, worst {:.1f} % in 1 s", e.count, e.value); break;
    case EV_STALL: what = fmt::format("no frame for {:.0f} ms", e.value); break;
    case EV_LATENCY_RISE:
        what = fmt::format("{} {:.3f} ms against {:.3f}", e.figure, e.value, e.baseline);
        if (e.stage >= 0)
            what += fmt::format(", {} {:+.3f} ms", event_stage_name(e.stage), e.stage_rise_ms);
        else
            what += ", no stage explains it";
        break;
    case EV_SIGNAL_FADE: what = fmt::format("RSSI {:.1f} dBm against {:.1f}", e.value, e.baseline); break;
    case EV_FPS_DROP: what = fmt::format("fps {:.1f} against {:.1f}", e.value, e.baseline); break;
    case EV_RESTART:
        what = fmt::format("ids started again after {}", e.first_id);
        break;
    case EV_CODEC_MISMATCH: what = fmt::format("{} frames of the other codec", e.count); break;
    case EV_BAD_RECORDS: what = fmt::format("{} records refused", e.count); break;
    case EV_VIEWER_BEHIND: what = fmt::format("{} records dropped for this viewer", e.count); break;
    default: break;
    }
    if (e.start_wall >= 0)
        when += fmt::format(" ({}-{})", clock_text_ms(e.start_wall), e.ongoing ? std::string("") : clock_text_ms(e.end_wall));
    return fmt::format("{} {} {}: {} (ids {}-{})", event_kind_name(e.kind), event_severity_name(e.severity), when,
                       what, e.first_id, e.last_id);
}
