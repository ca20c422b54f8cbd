#include "top_screen.h"

#include "term.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <fmt/format.h>

namespace {

// Everything the screen shows, copied under the model's lock so that the
// drawing (which may block on a slow terminal) holds no lock.
struct snapshot_t {
    link_state_e state;
    int64_t state_since_ms, reset_ms;
    time_t state_since_wall;
    uint64_t frames, missing, repeats, out_of_order, bad_buffers, bad_records;
    uint64_t i_frames, p_frames, connects, viewer_dropped;
    window_figures_t win;
    uint64_t last_second;  // frames that arrived in the last second
    bool has_last_q[SER_COUNT];
    int32_t last_q[SER_COUNT];
    bool have_last;
    vrx_latency_packet_t last;
    chart_slot_t chart[CHART_SLOTS];
    // Link events: the ongoing ones, then the last ended, each newest first.
    std::vector<link_event_t> events;
    bool degraded = false;
    event_severity_e worst = SEV_WARN;
    int64_t degraded_since_wall = -1;
    std::vector<link_event_t> ongoing;
};

void take_snapshot(top_model_t& m, int window, int64_t now_ms, snapshot_t& s)
{
    std::lock_guard<std::mutex> lock(m.mu);
    m.stats.expire(now_ms * NS_PER_MS);
    s.state = m.state;
    s.state_since_ms = m.state_since_ms;
    s.state_since_wall = m.state_since_wall;
    s.reset_ms = m.reset_ms;
    s.frames = m.frames;
    s.missing = top_missing(m);
    s.repeats = top_repeats(m);
    s.out_of_order = top_out_of_order(m);
    s.bad_buffers = m.bad_buffers;
    s.bad_records = m.bad_records;
    s.i_frames = m.i_frames;
    s.p_frames = m.p_frames;
    s.connects = m.connects;
    s.viewer_dropped = m.viewer_dropped;
    s.win = top_figures(m, window, now_ms);
    s.last_second = m.stats.span(0).frames();
    std::copy(std::begin(m.has_last_q), std::end(m.has_last_q), s.has_last_q);
    std::copy(std::begin(m.last_q), std::end(m.last_q), s.last_q);
    s.have_last = m.have_last;
    s.last = m.last;
    std::copy(std::begin(m.chart), std::end(m.chart), s.chart);
    s.events = m.events.latest(16);
    s.degraded = m.events.degraded();
    s.worst = m.events.worst();
    s.degraded_since_wall = m.events.degraded_since_wall();
    s.ongoing = m.events.open_events();
}


std::string clock_text(time_t t)
{
    return clock_text_ms(static_cast<int64_t>(t) * 1000);
}

std::string duration_text(int64_t ms)
{
    const int64_t s = std::max<int64_t>(ms, 0) / 1000;
    if (s >= 86400) return fmt::format("{}d{:02}:{:02}:{:02}", s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
    return fmt::format("{:02}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

std::string ms_text(int32_t q)
{
    return fmt::format("{:.3f}", q / 1000.0);
}

std::string pct_text(uint64_t part, uint64_t whole)
{
    if (whole == 0) return "-";
    return fmt::format("{:.2f}%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// Writes text at (y, x), cut at the right edge.
void put(int y, int x, const std::string& text, unsigned attr = T_NORMAL)
{
    term_put(y, x, text, attr);
}

unsigned level_attr(const top_view_t& v, double ms)
{
    if (v.crit_ms > 0 && ms >= v.crit_ms) return T_CRIT | T_BOLD;
    if (v.warn_ms > 0 && ms >= v.warn_ms) return T_WARN;
    if (v.warn_ms > 0 || v.crit_ms > 0) return T_OK;
    return T_NORMAL;
}

// Cell of a bar or sparkline filled to eighths (0..8).
const char* glyph(const top_view_t& v, int eighths)
{
    static const char* const blocks[9] = {" ",      "\u2581", "\u2582", "\u2583", "\u2584",
                                          "\u2585", "\u2586", "\u2587", "\u2588"};
    static const char* const ascii[9] = {" ", ".", ".", "_", "-", "=", "=", "#", "#"};
    eighths = std::clamp(eighths, 0, 8);
    return v.utf8 ? blocks[eighths] : ascii[eighths];
}

double nice_top(double v)
{
    if (!(v > 0)) return 1;
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    for (double k : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (v <= k * p) return k * p;
    return 10 * p;
}

void draw_table(const snapshot_t& s, const top_view_t& v, int y)
{
    const bool wide = term_cols() >= 96;
    std::string head = fmt::format("{:<12}{:>9}{:>9}{:>9}{:>9}{:>9}{:>9}", window_label(s.win, v.window), "n", "last",
                                   "p50", "p95", "p99", "max");
    if (wide) head += fmt::format("{:>10}{:>10}", "mean", "min");
    put(y, 0, head, T_BOLD);
    for (int r = 0; r < SER_COUNT; r++) {
        const series_figures_t& f = s.win.series[r];
        const int row = y + 1 + r;
        put(row, 0,
            fmt::format("{:<12}{:>9}{:>9}", LATENCY_SERIES[r].label, f.n,
                        s.has_last_q[r] ? ms_text(s.last_q[r]) : "-"));
        if (f.n == 0) {
            put(row, 30, fmt::format("{:>9}{:>9}{:>9}{:>9}", "-", "-", "-", "-"));
            continue;
        }
        const bool vrx = r <= SER_VRX_P;
        put(row, 30, fmt::format("{:>9}", ms_text(f.p50)));
        put(row, 39, fmt::format("{:>9}", ms_text(f.p95)), vrx ? level_attr(v, f.p95 / 1000.0) : T_NORMAL);
        put(row, 48, fmt::format("{:>9}", ms_text(f.p99)), vrx ? level_attr(v, f.p99 / 1000.0) : T_NORMAL);
        put(row, 57, fmt::format("{:>9}", ms_text(f.max)), vrx ? level_attr(v, f.max / 1000.0) : T_NORMAL);
        if (wide)
            put(row, 66,
                fmt::format("{:>10.3f}{:>10}", static_cast<double>(f.sum) / 1000.0 / static_cast<double>(f.n),
                            ms_text(f.min)));
    }
}

void draw_stages(const snapshot_t& s, const top_view_t& v, int y)
{
    // The stages' labels are those of their latency series.
    static const auto names = [] {
        std::array<const char*, STAGE_COUNT> n{};
        for (int k = 0; k < STAGE_COUNT; k++)
            for (const latency_series_t& ser : LATENCY_SERIES)
                if (!ser.one_kind && ser.stat == STAT_STAGES[k]) n[k] = ser.label;
        return n;
    }();
    static const char letters[STAGE_COUNT + 1] = {'F', 'E', 'D', 'R', '.'};
    static const unsigned pairs[STAGE_COUNT] = {T_FRAME, T_FEC, T_DECODE, T_RENDER};
    const int width = std::max(10, term_cols() - 9);
    put(y, 0, "stages  [");
    if (s.win.share_vrx <= 0) {
        put(y, 9, std::string(static_cast<size_t>(width - 1), ' ') + "]");
        put(y + 1, 0, "  shares of VRX latency: no frames in the window");
        return;
    }
    double share[STAGE_COUNT + 1];
    double rest = 1;
    for (int k = 0; k < STAGE_COUNT; k++) {
        share[k] = std::max(0.0, static_cast<double>(s.win.share_stage[k]) / static_cast<double>(s.win.share_vrx));
        rest -= share[k];
    }
    share[STAGE_COUNT] = std::max(0.0, rest);
    // Cells by cumulative share, so the segments always add up to the bar.
    const int cells = width - 1;
    double cum = 0;
    int x = 0;
    for (int k = 0; k <= STAGE_COUNT; k++) {
        cum += share[k];
        const int end = k == STAGE_COUNT ? cells : std::min(cells, static_cast<int>(std::lround(cum * cells)));
        const unsigned a = k < STAGE_COUNT && v.color ? pairs[k] | T_REVERSE : T_NORMAL;
        if (end > x) put(y, 9 + x, std::string(static_cast<size_t>(end - x), letters[k]), a);
        x = std::max(x, end);
    }
    put(y, 9 + cells, "]");
    std::string legend = " ";
    for (int k = 0; k < STAGE_COUNT; k++) legend += fmt::format(" {}={} {:.1f}%", letters[k], names[k], 100 * share[k]);
    legend += fmt::format("  .=rest {:.1f}%", 100 * rest);
    put(y + 1, 0, legend);
}

struct column_t {
    bool any = false, iframe = false;
    uint32_t n = 0;
    int32_t max_vrx = 0, max_i_vrx = 0, p50 = 0, p95 = 0;
    std::vector<int32_t> values;  // the slots' samples
    int64_t rssi_sum = 0;
    uint32_t rssi_n = 0, mbps_n = 0;
    double mbps_sum = 0;
};

// The fixed scale of the signal row: a steady link looks steady.
constexpr int RSSI_LOW = -90, RSSI_HIGH = -30;

void draw_chart(const snapshot_t& s, const top_view_t& v, int y, int height, int64_t now_ms)
{
    const int label = 7;
    const int width = term_cols() - label;
    if (width < 10 || height < 1) return;
    // Column c shows the slots of arrival times in its share of the last 60 s.
    std::vector<column_t> cols(static_cast<size_t>(width));
    const int64_t newest = now_ms / CHART_SLOT_MS;
    const int64_t oldest = newest - CHART_SLOTS + 1;
    for (const chart_slot_t& slot : s.chart) {
        if (slot.slot < oldest || slot.slot > newest || slot.slot * CHART_SLOT_MS < s.reset_ms - CHART_SLOT_MS)
            continue;
        const auto c = static_cast<size_t>((slot.slot - oldest) * width / CHART_SLOTS);
        column_t& col = cols[c];
        if (slot.n > 0) col.max_vrx = col.n == 0 ? slot.max_vrx : std::max(col.max_vrx, slot.max_vrx);
        col.values.insert(col.values.end(), slot.sample, slot.sample + std::min<uint32_t>(slot.n, CHART_SAMPLES));
        col.n += slot.n;
        col.any = true;
        col.iframe = col.iframe || slot.iframe;
        col.max_i_vrx = std::max(col.max_i_vrx, slot.max_i_vrx);
        col.rssi_sum += slot.rssi_sum;
        col.rssi_n += slot.rssi_n;
        col.mbps_sum += slot.mbps_sum;
        col.mbps_n += slot.mbps_n;
    }
    // p50 and p95 of each column; the scale follows the p95s (the max
    // shows as a mark, clipped to the top).
    int32_t top_q = 0;
    for (column_t& c : cols) {
        if (c.values.empty()) continue;
        std::sort(c.values.begin(), c.values.end());
        const uint64_t n = c.values.size();
        c.p50 = c.values[nearest_rank_index(n, 50, 100) - 1];
        c.p95 = c.values[nearest_rank_index(n, 95, 100) - 1];
        top_q = std::max(top_q, c.p95);
    }
    const double top = nice_top(top_q / 1000.0);
    int rssi_lo = 0, rssi_hi = 0;
    double mbps_hi = 0;
    bool rssi_any = false;
    for (const column_t& c : cols) {
        if (c.rssi_n > 0) {
            const int r = static_cast<int>(std::lround(static_cast<double>(c.rssi_sum) / c.rssi_n));
            rssi_lo = rssi_any ? std::min(rssi_lo, r) : r;
            rssi_hi = rssi_any ? std::max(rssi_hi, r) : r;
            rssi_any = true;
        }
        if (c.mbps_n > 0) mbps_hi = std::max(mbps_hi, c.mbps_sum / c.mbps_n);
    }
    const std::string rssi_range = rssi_any ? fmt::format("RSSI {}..{} dBm", rssi_lo, rssi_hi) : std::string("no RSSI");
    const std::string titles[] = {
        fmt::format("VRX latency, last 60 s, per {:.2f} s: p50 solid, p95 light, max '.'; 0-{:g} ms; I: slow I-frame; {}",
                    60.0 / width, top, rssi_range),
        fmt::format("VRX p50 solid, p95 light, max '.', per {:.2f} s; 0-{:g} ms; {}", 60.0 / width, top, rssi_range),
        fmt::format("VRX p50/p95 0-{:g} ms; {}", top, rssi_range),
    };
    for (const std::string& t : titles)
        if (static_cast<int>(t.size()) <= term_cols() || &t == &titles[2]) {
            put(y - 1, 0, t);
            break;
        }
    const char* light = v.utf8 ? "\u2591" : ":";
    const char* mark = v.utf8 ? "\u00b7" : ".";
    for (int r = 0; r < height; r++) {
        const int row = y + height - 1 - r;  // r = 0 is the bottom line
        std::string lab = r == height - 1 ? fmt::format("{:g}", top) : r == 0 ? "0" : "";
        put(row, 0, fmt::format("{:>6}|", lab));
        for (int c = 0; c < width; c++) {
            const column_t& col = cols[static_cast<size_t>(c)];
            if (col.values.empty()) continue;
            const double p50 = col.p50 / 1000.0, p95 = col.p95 / 1000.0, mx = col.max_vrx / 1000.0;
            const int e50 = static_cast<int>(std::lround(p50 / top * height * 8)) - r * 8;
            const int l95 = static_cast<int>(std::floor(p95 / top * height)), l50 = static_cast<int>(std::floor(p50 / top * height));
            const int lmax = std::min(height - 1, static_cast<int>(std::floor(mx / top * height)));
            if (e50 > 0) {
                put(row, label + c, glyph(v, std::max(1, e50)), level_attr(v, p50));
            } else if (r > l50 && r <= l95 && r < height) {
                put(row, label + c, light, level_attr(v, p95));
            } else if (r == lmax && r > l95) {
                put(row, label + c, mark, level_attr(v, mx));
            }
        }
    }
    // Beneath: time ticks and the I-frames that stand out, then signal
    // strength and input bit rate.
    const int marks = y + height;
    put(marks, 0, "      |");
    for (int ago = 50; ago >= 10; ago -= 10) {
        const int c = width - 1 - static_cast<int>(static_cast<int64_t>(ago) * width / 60);
        if (c >= 0) put(marks, label + c, fmt::format("+-{}s", ago));
    }
    // An I-frame stands out when it is slower than the minute's usual
    // I-frames (the median of the columns' slowest) by 2 ms and a fifth.
    std::vector<int32_t> i_max;
    for (const column_t& col : cols)
        if (col.iframe && col.max_i_vrx > 0) i_max.push_back(col.max_i_vrx);
    if (!i_max.empty()) {
        std::nth_element(i_max.begin(), i_max.begin() + static_cast<long>(i_max.size() / 2), i_max.end());
        const int32_t usual = i_max[i_max.size() / 2];
        const int32_t limit = usual + std::max<int32_t>(2000, usual / 5);
        for (int c = 0; c < width; c++) {
            const column_t& col = cols[static_cast<size_t>(c)];
            if (col.iframe && col.max_i_vrx > limit) put(marks, label + c, "I", T_BOLD);
        }
    }
    put(marks + 1, 0, s.have_last ? fmt::format("{:>3}dBm|", s.last.rssi_dbm) : "  rssi|");
    put(marks + 2, 0,
        s.have_last && std::isfinite(s.last.input_mbps) ? fmt::format("{:>4.1f}Mb|", s.last.input_mbps) : "  Mb/s|");
    for (int c = 0; c < width; c++) {
        const column_t& col = cols[static_cast<size_t>(c)];
        if (col.rssi_n > 0) {
            const double r = static_cast<double>(col.rssi_sum) / col.rssi_n;
            // A fixed scale: -90 dBm and below one eighth, -30 and above full.
            const int e = 1 + static_cast<int>(std::lround(7 * std::clamp((r - RSSI_LOW) / (RSSI_HIGH - RSSI_LOW), 0.0, 1.0)));
            put(marks + 1, label + c, glyph(v, e), r <= -80 ? T_CRIT : r <= -70 ? T_WARN : T_NORMAL);
        }
        if (col.mbps_n > 0 && mbps_hi > 0) {
            const int e = std::max(1, static_cast<int>(std::lround(8 * (col.mbps_sum / col.mbps_n) / mbps_hi)));
            put(marks + 2, label + c, glyph(v, e));
        }
    }
}

void draw_help(const top_view_t& v)
{
    static const char* const lines[] = {
        "tarn-vrx-top keys",
        "",
        "q          quit (the summary since start follows)",
        "space      pause the display; statistics keep running",
        "r          reset the statistics",
        "w          window: 1 s, 10 s, 60 s, since start",
        "h or ?     this help; any key closes it",
        "",
        "Percentiles are nearest-rank over the frames that arrived",
        "in the window. Lost frames are gaps in the sample ids.",
    };
    const int h = static_cast<int>(sizeof lines / sizeof lines[0]) + 4;
    const int w = 62;
    const int y0 = std::max(0, (term_lines() - h) / 2), x0 = std::max(0, (term_cols() - w) / 2);
    for (int r = 0; r < h && y0 + r < term_lines(); r++)
        put(y0 + r, x0, std::string(static_cast<size_t>(std::min(w, term_cols() - x0)), ' '));
    if (term_cols() >= w && term_lines() >= h) {
        term_box(y0, x0, h, w);
    }
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; i++)
        put(y0 + 2 + static_cast<int>(i), x0 + 3, lines[i], i == 0 ? T_BOLD : T_NORMAL);
    if (v.warn_ms > 0 || v.crit_ms > 0)
        put(y0 + h - 2, x0 + 3, fmt::format("thresholds: warn {:g} ms, critical {:g} ms", v.warn_ms, v.crit_ms));
}

unsigned severity_attr(event_severity_e sev)
{
    return sev == SEV_CRIT ? T_CRIT | T_BOLD : T_WARN | T_BOLD;
}

// "healthy", or "DEGRADED since 14:03:12: loss 15.0 %, decode +6.2 ms".
void draw_status(const snapshot_t& s, int y)
{
    if (!s.degraded) {
        put(y, 0, s.state == LINK_CONNECTED && s.frames > 0 ? "healthy" : "no events", T_OK | T_BOLD);
        return;
    }
    std::string text = "DEGRADED since " + clock_text_ms(s.degraded_since_wall) + ":";
    const char* sep = " ";
    for (const link_event_t& e : s.ongoing) {
        text += sep + event_brief(e);
        sep = ", ";
    }
    const int cols = std::max(0, term_cols());
    if (static_cast<int>(text.size()) > cols) text.resize(static_cast<size_t>(cols));
    put(y, 0, text, severity_attr(s.worst) | T_REVERSE);
}

// The events, the ongoing ones first, each group newest first, one a line
// with its times of day.
void draw_events(const snapshot_t& s, int y, int lines)
{
    if (s.events.empty()) {
        put(y, 0, "events: none");
        return;
    }
    const int cols = std::max(0, term_cols());
    for (int i = 0; i < lines && i < static_cast<int>(s.events.size()); i++) {
        const link_event_t& e = s.events[static_cast<size_t>(i)];
        std::string text = fmt::format("{}-{} {:<14} {:<4} {}", clock_text_ms(e.start_wall),
                                       e.ongoing ? std::string("now     ") : clock_text_ms(e.end_wall),
                                       event_kind_name(e.kind), event_severity_name(e.severity), event_brief(e));
        if (static_cast<int>(text.size()) > cols - 2) text.resize(static_cast<size_t>(std::max(0, cols - 2)));
        put(y + i, 2, text, e.ongoing ? severity_attr(e.severity) : T_NORMAL);
    }
}

}  // namespace

const char* window_name(int w)
{
    static const char* const names[TOP_WINDOWS] = {"1 s", "10 s", "60 s", "all"};
    return names[std::clamp(w, 0, TOP_WINDOWS - 1)];
}

std::string window_label(const window_figures_t& f, int w)
{
    if (!f.cut) return window_name(w);
    return fmt::format("last {:.1f} s", static_cast<double>(f.held_ms) / 1000.0);
}

bool screen_colors(bool wanted)
{
    return term_colors(wanted);
}

void draw_screen(top_model_t& m, const top_view_t& v, int64_t now_ms)
{
    static snapshot_t s;  // the display thread's own; large (the chart)
    take_snapshot(m, v.window, now_ms, s);
    term_erase();

    // Title.
    std::string state;
    unsigned state_attr = T_REVERSE | T_BOLD;
    switch (s.state) {
    case LINK_WAITING: state = "waiting for the publisher"; break;
    case LINK_CONNECTED: state = "connected since " + clock_text(s.state_since_wall); break;
    case LINK_DISCONNECTED:
        state = "DISCONNECTED since " + clock_text(s.state_since_wall);
        state_attr |= T_ALERT;
        break;
    }
    // The longest title that fits: the state and the time since start
    // matter most, the program's name and the key hint least.
    const std::string up = "up " + duration_text(now_ms) + (v.paused ? "  PAUSED" : "");
    const std::string since = s.state == LINK_WAITING ? std::string() : clock_text(s.state_since_wall);
    const std::string state_short = s.state == LINK_WAITING     ? "waiting"
                                    : s.state == LINK_CONNECTED ? "connected " + since
                                                                : "DISCONNECTED " + since;
    struct title_t {
        std::string left, state, right;
    };
    // The codec's name without what follows it ("H.264" of "H.264 (no settings)").
    const std::string codec_short = v.codec.substr(0, v.codec.find(' '));
    const title_t titles[] = {
        {fmt::format(" tarn-vrx-top  {}  {}  ", v.pipe, v.codec), state, "  " + up + "  h: help "},
        {fmt::format(" {}  {}  ", v.pipe, v.codec), state, "  " + up + "  h help "},
        {fmt::format(" {}  {}  ", v.pipe, v.codec), state_short, "  " + up + "  h help "},
        {fmt::format(" {}  {}  ", v.pipe, codec_short), state_short, "  " + up + "  h help "},
        {fmt::format(" {} ", v.pipe), state_short, " " + up + " h help "},
        {fmt::format(" {} ", v.pipe), state_short, " " + up + " "},
    };
    const title_t* t = &titles[5];
    for (const title_t& c : titles)
        if (static_cast<int>(c.left.size() + c.state.size() + c.right.size()) <= term_cols()) {
            t = &c;
            break;
        }
    put(0, 0, std::string(static_cast<size_t>(std::max(0, term_cols())), ' '), T_REVERSE);
    put(0, 0, t->left, T_REVERSE);
    put(0, static_cast<int>(t->left.size()), t->state, state_attr);
    const int rx =
        std::max(static_cast<int>(t->left.size() + t->state.size()), term_cols() - static_cast<int>(t->right.size()));
    put(0, rx, t->right, T_REVERSE);

    draw_status(s, 1);
    // Counters: since start, with the window's share of lost frames (in
    // the loss event's colour while one goes on).
    unsigned loss_attr = T_NORMAL;
    for (const link_event_t& e : s.ongoing)
        if (e.kind == EV_LOSS) loss_attr = severity_attr(e.severity);
    const uint64_t win_ids = s.win.frames + static_cast<uint64_t>(std::max<int64_t>(0, s.win.missing));
    put(2, 0,
        fmt::format("frames {}  lost {} ({} in {}, {} all)  repeats {}  out of order {}", s.frames, s.missing,
                    pct_text(static_cast<uint64_t>(std::max<int64_t>(0, s.win.missing)), win_ids),
                    window_label(s.win, v.window), pct_text(s.missing, s.frames + s.missing), s.repeats,
                    s.out_of_order),
        loss_attr);
    const std::string fps_reported = s.have_last && std::isfinite(s.last.fps) ? fmt::format("{:.1f}", s.last.fps) : "-";
    std::string line2 = fmt::format("fps {} measured, {} reported  I {}  P {}  bad records {} ({} buffers)",
                                    s.last_second, fps_reported, s.i_frames, s.p_frames, s.bad_records, s.bad_buffers);
    if (s.viewer_dropped > 0) line2 += fmt::format("  viewer dropped {}", s.viewer_dropped);
    put(3, 0, line2, s.bad_buffers > 0 || s.viewer_dropped > 0 ? T_BOLD : T_NORMAL);

    draw_table(s, v, 4);
    draw_stages(s, v, 13);

    // The events, ongoing first: three lines at 24 lines, more on a taller
    // terminal. Then the chart in what is left: its title, the
    // chart, the I-frame marks, RSSI and bit rate. Messages written on
    // stderr get a line of their own when there is room, else the chart's
    // title line.
    const int ev_lines = std::clamp(term_lines() - 21, 3, 8);
    draw_events(s, 15, ev_lines);
    const int after = 15 + ev_lines;  // the chart's title
    const bool message_line = !v.message.empty() && term_lines() >= after + 9;
    const int chart_y = message_line ? after + 2 : after + 1;
    draw_chart(s, v, chart_y, term_lines() - chart_y - 3, now_ms);
    if (!v.message.empty()) {
        const int my = after;
        term_clear_line(my);
        put(my, 0, fmt::format("stderr ({}): {}", v.messages, v.message), T_BOLD);
    }

    if (v.help) draw_help(v);
    term_refresh();
}
