// Statistics of a run of the inspector's log and their text and JSON forms.
#include "latency_report.h"

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "fd_io.h"
#include "out_file.h"

namespace {

// The float columns' figures as the floats the log's texts read to, the
// values the inspector held: the report prints them as it always has.
double as_logged_float(double v)
{
    return std::isfinite(v) ? static_cast<double>(static_cast<float>(v)) : v;
}

column_stats_t logged_floats(column_stats_t c)
{
    for (double* v : {&c.min, &c.p50, &c.p95, &c.p99, &c.max}) *v = as_logged_float(*v);
    return c;
}

}  // namespace

namespace {

// The value of statistics column C of a row, the column chosen at compile
// time: this runs for every column of every row.
template <int C>
double stat_value(const latency_row_t& r)
{
    constexpr latency_column_t col = LATENCY_COLUMNS[LATENCY_STAT_INDEX.of[C]];
    if constexpr (col.source == SRC_F32)
        return latency_member<float>(r, col.offset);
    else if constexpr (col.source == SRC_I32)
        return latency_member<int32_t>(r, col.offset);
    else if constexpr (col.source == SRC_U32)
        return latency_member<uint32_t>(r, col.offset);
    else if constexpr (col.source == SRC_AVERAGE)
        return r.avg_latency_ms;
    else
        return r.frame_type;
}

template <int... C>
void stat_values(const latency_row_t& r, double* v, std::integer_sequence<int, C...>)
{
    ((v[C] = stat_value<C>(r)), ...);
}

}  // namespace

stat_sample_t row_sample(const latency_row_t& r)
{
    stat_sample_t s;
    s.sample_id = r.sample_id;
    s.kind = r.kind;
    stat_values(r, s.v, std::make_integer_sequence<int, STAT_COLUMN_COUNT>());
    return s;
}

void run_start_next(run_data_t& d, int run, size_t line, bool header, const event_thresholds_t& thresholds)
{
    event_baseline_t before;
    int64_t before_wall = -1;
    if (d.events && d.last_wall >= 0) {
        before = d.events->baseline();
        before_wall = d.last_wall;
    }
    run_start(d, run, line, header, thresholds);
    d.carried = before;
    d.carried_wall = before_wall;
}

void run_start(run_data_t& d, int run, size_t line, bool header, const event_thresholds_t& thresholds)
{
    d = run_data_t{};
    d.thresholds = thresholds;
    d.events = std::make_unique<link_events_t>(thresholds);
    d.run = run;
    d.has_header = header;
    d.first_line = d.last_line = line;
}

namespace {

void take_events(run_data_t& d)
{
    for (const event_change_t& c : d.events->take_changes()) {
        if (c.started) continue;
        d.event_counts[c.ev.kind]++;
        if (d.event_list.size() < MAX_LISTED) d.event_list.push_back(c.ev);
    }
}

}  // namespace

void run_add_row(run_data_t& d, size_t line, const latency_row_t& row, int64_t wall_ms)
{
    d.last_line = line;
    if (!d.events) d.events = std::make_unique<link_events_t>(d.thresholds);
    const stat_sample_t sample = row_sample(row);
    const uint32_t prev = d.stats.last_id();
    const bool any = d.stats.frames() > 0;
    const int64_t step = any ? static_cast<int64_t>(static_cast<int32_t>(row.sample_id - prev)) : 0;
    if (any && step < -RESTART_ID_STEP) {
        // Ids start again: a new numbering of a restarted publisher.
        const id_tracker_t& t = d.stats.ids();
        d.base_missing += t.missing;
        d.base_repeats += t.repeats;
        d.base_out_of_order += t.out_of_order;
        d.base_gaps += t.gap_count();
        for (const id_range_t& g : t.first_gaps(MAX_LISTED - std::min(MAX_LISTED, d.base_gap_list.size())))
            d.base_gap_list.emplace_back(static_cast<uint32_t>(g.first), static_cast<uint64_t>(g.last - g.first + 1));
        d.stats.restart_ids();
        d.restarts++;
        d.events->renumbered();
    }
    // The run's time: a frame period per id step, at the frame rate the
    // rows give (60 a second until one gives a sane one).
    const double fps = sample.v[STAT_FPS];
    const double period = fps >= 1 && fps <= 1000 ? 1000.0 / fps : 1000.0 / 60;
    if (any && step > 0) {
        // The time from the frame before: one period a step.
        const double gap = static_cast<double>(step) * period;
        d.t_ms += gap;
        d.intervals.add(std::round(gap * 1000) / 1000);
        if (gap > d.longest_gap_ms) {
            d.longest_gap_ms = gap;
            d.longest_gap_after = prev;
        }
        d.over_100ms += gap > 100;
        d.over_500ms += gap > 500;
    } else if (any && step < -RESTART_ID_STEP) {
        d.t_ms += period;
    }
    const uint64_t missing_before = d.stats.ids().missing;
    d.stats.add(sample);
    event_frame_t f;
    f.t_ms = static_cast<int64_t>(std::llround(d.t_ms));
    f.wall_ms = wall_ms;
    if (wall_ms >= 0 && d.first_wall < 0 && d.carried.valid && d.carried_wall >= 0 && wall_ms >= d.carried_wall &&
        wall_ms - d.carried_wall <= CARRY_BASELINE_MS && !d.events->has_baseline())
        d.events->set_baseline(d.carried);
    if (wall_ms >= 0) {
        if (d.first_wall < 0) d.first_wall = wall_ms - (f.t_ms);
        d.last_wall = wall_ms;
    }
    f.s = sample;
    f.missing = static_cast<int64_t>(d.stats.ids().missing) - static_cast<int64_t>(missing_before);
    f.other_codec = frame_code_of_other_codec(row.frame_type, row.codec);
    d.other_codec += f.other_codec;
    d.events->frame(f);
    take_events(d);
}

void run_add_malformed(run_data_t& d, size_t line, const char* reason)
{
    d.last_line = line;
    d.malformed++;
    if (d.malformed_lines.size() < MAX_LISTED) d.malformed_lines.emplace_back(line, reason);
}

run_summary_t summarize_run(const run_data_t& d)
{
    const latency_stats_t& st = d.stats;
    run_summary_t s;
    s.run = d.run;
    s.has_header = d.has_header;
    s.first_line = d.first_line;
    s.last_line = d.last_line;
    s.frames = st.frames();
    s.first_id = st.first_id();
    s.last_id = st.last_id();
    s.missing = d.base_missing + st.ids().missing;
    s.repeats = d.base_repeats + st.ids().repeats;
    s.out_of_order = d.base_out_of_order + st.ids().out_of_order;
    s.gap_count = d.base_gaps + st.ids().gap_count();
    s.gaps = d.base_gap_list;
    for (const id_range_t& g : st.ids().first_gaps(MAX_LISTED - std::min(MAX_LISTED, s.gaps.size())))
        s.gaps.emplace_back(static_cast<uint32_t>(g.first), static_cast<uint64_t>(g.last - g.first + 1));
    s.restarts = d.restarts;
    s.other_codec_frames = d.other_codec;
    s.times_from_ids = true;
    s.start_wall = d.first_wall;
    if (d.intervals.count() > 0) {
        s.frame_period_ms = d.intervals.percentile(50, 100);
        s.longest_gap_ms = d.longest_gap_ms;
        s.longest_gap_after = d.longest_gap_after;
        s.stalls_100ms = d.over_100ms;
        s.stalls_500ms = d.over_500ms;
        s.low_1pct_fps = 1000 / d.intervals.percentile(99, 100);
        s.low_01pct_fps = 1000 / d.intervals.percentile(999, 1000);
    }
    if (st.column(STAT_FPS).count() > 0) {
        s.fps_p1 = st.column(STAT_FPS).percentile(1, 100);
        s.fps_p01 = st.column(STAT_FPS).percentile(1, 1000);
    }
    if (st.column(STAT_RSSI).count() > 0) {
        s.rssi_p5 = st.column(STAT_RSSI).percentile(5, 100);
        s.rssi_p1 = st.column(STAT_RSSI).percentile(1, 100);
    }
    s.events = d.event_list;
    std::copy(d.event_counts, d.event_counts + EV_KIND_COUNT, s.event_counts);
    if (d.events) {
        // Events still going on at the run's end, as last seen ("ongoing").
        for (const link_event_t& e : d.events->open_events()) {
            s.event_counts[e.kind]++;
            if (s.events.size() < MAX_LISTED) s.events.push_back(e);
        }
    }
    // In the order they began.
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const link_event_t& a, const link_event_t& b) { return a.start_ms < b.start_ms; });
    s.malformed = d.malformed;
    s.malformed_lines = d.malformed_lines;
    // Percentiles counted again exactly replace those known to a bucket.
    auto exact = [&](int series, column_stats_t cs) {
        if (!d.exact.known[series]) return cs;
        cs.p50 = d.exact.p[series][0];
        cs.p95 = d.exact.p[series][1];
        cs.p99 = d.exact.p[series][2];
        cs.pct_error = 0;
        return cs;
    };
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        const column_stats_t cs = exact(c, st.column_stats(c));
        const column_source_e src = stat_column(c).source;
        s.columns[c] = src == SRC_F32 || src == SRC_AVERAGE ? logged_floats(cs) : cs;
    }
    s.vrx_i = logged_floats(exact(SERIES_VRX_I, st.vrx_stats_of(FRAME_KIND_I)));
    s.vrx_p = logged_floats(exact(SERIES_VRX_P, st.vrx_stats_of(FRAME_KIND_P)));
    s.i_frames = st.kinds().i;
    s.p_frames = st.kinds().p;
    s.other_frames = st.kinds().other;
    const stage_shares_t sh = st.shares();
    std::copy(sh.share, sh.share + 4, s.share);
    s.share_rest = sh.rest;
    return s;
}

cJSON* json_number(double v, int decimals)
{
    if (!std::isfinite(v)) return cJSON_CreateNull();
    if (std::fabs(v) >= 1e12) return cJSON_CreateNumber(v);
    const double scale = std::pow(10.0, decimals);
    return cJSON_CreateNumber(std::round(v * scale) / scale);
}

namespace {

cJSON* stats_json(const column_stats_t& c, const char* unit)
{
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "unit", unit);
    cJSON_AddNumberToObject(o, "n", static_cast<double>(c.n));
    cJSON_AddNumberToObject(o, "nonfinite", static_cast<double>(c.nonfinite));
    // Minimum, percentiles and maximum are values of the log: at most 3
    // decimals. The mean of such values may carry more.
    cJSON_AddItemToObject(o, "min", json_number(c.min, 3));
    cJSON_AddItemToObject(o, "mean", json_number(c.mean, 6));
    cJSON_AddItemToObject(o, "p50", json_number(c.p50, 3));
    cJSON_AddItemToObject(o, "p95", json_number(c.p95, 3));
    cJSON_AddItemToObject(o, "p99", json_number(c.p99, 3));
    cJSON_AddItemToObject(o, "max", json_number(c.max, 3));
    // Percentiles only known to a range of values (input read once, too
    // many distinct values to count each): said, with how far they may be off.
    if (c.pct_error > 0) {
        cJSON_AddBoolToObject(o, "approximate", true);
        cJSON_AddItemToObject(o, "percentile_error", json_number(c.pct_error, 6));
    }
    return o;
}

}  // namespace

cJSON* run_summary_json(const run_summary_t& s)
{
    cJSON* o = cJSON_CreateObject();
    auto count = [&](const char* key, uint64_t v) { cJSON_AddNumberToObject(o, key, static_cast<double>(v)); };
    count("run", static_cast<uint64_t>(s.run));
    cJSON_AddBoolToObject(o, "has_header", s.has_header);
    count("first_line", s.first_line);
    count("last_line", s.last_line);
    count("frames", s.frames);
    if (s.frames > 0) {
        count("first_sample_id", s.first_id);
        count("last_sample_id", s.last_id);
    } else {
        cJSON_AddNullToObject(o, "first_sample_id");
        cJSON_AddNullToObject(o, "last_sample_id");
    }
    count("missing_ids", s.missing);
    count("gap_count", s.gap_count);
    cJSON* gaps = cJSON_AddArrayToObject(o, "gaps");
    for (const auto& [first, n] : s.gaps) {
        cJSON* g = cJSON_CreateObject();
        cJSON_AddNumberToObject(g, "first", first);
        cJSON_AddNumberToObject(g, "last", static_cast<uint32_t>(first + (n - 1)));
        cJSON_AddNumberToObject(g, "count", static_cast<double>(n));
        cJSON_AddItemToArray(gaps, g);
    }
    count("repeats", s.repeats);
    count("out_of_order", s.out_of_order);
    count("restarts", s.restarts);
    if (s.start_wall >= 0) {
        const std::string iso = iso_time_ms(s.start_wall);
        cJSON_AddStringToObject(o, "start_time", iso.c_str());
    } else {
        cJSON_AddNullToObject(o, "start_time");
    }
    if (s.times_from_ids) {
        cJSON* fp = cJSON_AddObjectToObject(o, "frame_pacing");
        cJSON_AddItemToObject(fp, "frame_period_ms", json_number(s.frame_period_ms));
        cJSON_AddItemToObject(fp, "longest_gap_s", json_number(s.longest_gap_ms / 1000));
        if (s.longest_gap_ms > 0)
            cJSON_AddNumberToObject(fp, "longest_gap_after_sample_id", s.longest_gap_after);
        else
            cJSON_AddNullToObject(fp, "longest_gap_after_sample_id");
        cJSON_AddNumberToObject(fp, "stalls_over_100ms", static_cast<double>(s.stalls_100ms));
        cJSON_AddNumberToObject(fp, "stalls_over_500ms", static_cast<double>(s.stalls_500ms));
        cJSON_AddItemToObject(fp, "low_1pct_fps", json_number(s.low_1pct_fps));
        cJSON_AddItemToObject(fp, "low_0_1pct_fps", json_number(s.low_01pct_fps));
        cJSON_AddItemToObject(fp, "reported_fps_p1", json_number(s.fps_p1));
        cJSON_AddItemToObject(fp, "reported_fps_p0_1", json_number(s.fps_p01));
        cJSON* sig = cJSON_AddObjectToObject(o, "signal");
        cJSON_AddItemToObject(sig, "rssi_p5_dbm", json_number(s.rssi_p5));
        cJSON_AddItemToObject(sig, "rssi_p1_dbm", json_number(s.rssi_p1));
        cJSON_AddItemToObject(sig, "rssi_min_dbm", json_number(s.columns[STAT_RSSI].min));
    }
    count("other_codec_frames", s.other_codec_frames);
    cJSON* evs = cJSON_AddArrayToObject(o, "events");
    for (const link_event_t& e : s.events)
        if (cJSON* j = cJSON_Parse(event_json(e, s.events_t0_ms).c_str())) cJSON_AddItemToArray(evs, j);
    uint64_t total = 0;
    for (uint64_t c : s.event_counts) total += c;
    count("event_count", total);
    count("i_frames", s.i_frames);
    count("p_frames", s.p_frames);
    count("other_frames", s.other_frames);
    count("malformed_count", s.malformed);
    cJSON* bad = cJSON_AddArrayToObject(o, "malformed_lines");
    for (const auto& [line, why] : s.malformed_lines) {
        cJSON* m = cJSON_CreateObject();
        cJSON_AddNumberToObject(m, "line", static_cast<double>(line));
        cJSON_AddStringToObject(m, "reason", why);
        cJSON_AddItemToArray(bad, m);
    }
    cJSON* cols = cJSON_AddObjectToObject(o, "columns");
    for (int c = 0; c < STAT_COLUMN_COUNT; c++)
        cJSON_AddItemToObject(cols, stat_column(c).json_key, stats_json(s.columns[c], stat_column(c).unit));
    const char* vrx_unit = stat_column(STAT_VRX).unit;
    cJSON_AddItemToObject(o, latency_series_key(SER_VRX_I), stats_json(s.vrx_i, vrx_unit));
    cJSON_AddItemToObject(o, latency_series_key(SER_VRX_P), stats_json(s.vrx_p, vrx_unit));
    cJSON* share = cJSON_AddObjectToObject(o, "share_of_vrx_latency");
    const char* stages[4] = {"frame", "fec", "decode", "render"};
    for (int i = 0; i < 4; i++) cJSON_AddItemToObject(share, stages[i], json_number(s.share[i]));
    cJSON_AddItemToObject(share, "rest", json_number(s.share_rest));
    return o;
}

// Reads the rows of run d again, from its first line at offset (relative to
// the file's start) to its last line as the first reading saw it, passing
// each row's sample to f; the file's position is left as it was, so the
// first reading goes on. Returns 0 or an errno value.
int reread_run(int fd, off_t offset, const run_data_t& d, const std::function<void(const stat_sample_t&)>& f)
{
    const off_t was = lseek(fd, 0, SEEK_CUR);
    if (was < 0 || lseek(fd, offset, SEEK_SET) < 0) return errno;
    const size_t lines = d.last_line - d.first_line + 1;
    bool done = false;
    latency_log_sink sink;
    sink.stop = &done;
    sink.header = [&](size_t n, int) { done = n >= lines; };
    sink.row = [&](size_t n, int, const latency_row_t& row) {
        done = n >= lines;
        f(row_sample(row));
    };
    sink.malformed = [&](size_t n, int, const char*) { done = n >= lines; };
    const int err = read_latency_log(fd, sink);
    if (lseek(fd, was, SEEK_SET) < 0 && err == 0) return errno;
    return err;
}

bool print_json_document(cJSON* doc)
{
    char* text = cJSON_Print(doc);
    cJSON_Delete(doc);
    if (text == nullptr) return false;
    fputs(text, stdout);
    fputc('\n', stdout);
    cJSON_free(text);
    return true;
}

namespace {

// item printed as cJSON_Print prints it at the given depth of a document:
// every line after the first indented by depth more tabs. Frees item.
bool print_at_depth(cJSON* item, int depth, std::string& out)
{
    char* text = cJSON_Print(item);
    cJSON_Delete(item);
    if (text == nullptr) return false;
    for (const char* p = text; *p; p++) {
        out.push_back(*p);
        if (*p == '\n') out.append(static_cast<size_t>(depth), '\t');
    }
    cJSON_free(text);
    return true;
}

std::string unformatted(cJSON* item)
{
    std::string out;
    char* text = cJSON_PrintUnformatted(item);
    cJSON_Delete(item);
    if (text != nullptr) out = text;
    cJSON_free(text);
    return out;
}

}  // namespace

std::string json_report_head(const std::string& log)
{
    return "{\n\t\"log\":\t" + unformatted(cJSON_CreateString(log.c_str())) + ",\n\t\"runs\":\t[";
}

bool json_report_run(const run_summary_t& s, bool first, std::string& out)
{
    out.clear();
    if (!first) out = ", ";
    return print_at_depth(run_summary_json(s), 2, out);
}

std::string json_report_tail(int runs, size_t lines, uint64_t malformed)
{
    return "],\n\t\"run_count\":\t" + unformatted(cJSON_CreateNumber(runs)) + ",\n\t\"lines\":\t" +
           unformatted(cJSON_CreateNumber(static_cast<double>(lines))) + ",\n\t\"malformed_lines\":\t" +
           unformatted(cJSON_CreateNumber(static_cast<double>(malformed))) + "\n}";
}

bool write_text_file(const std::string& path, const std::string& text, std::string& why)
{
    const int fd = tarn_io::open_output(path.c_str(), tarn_io::OUT_CREATE, 0666, why);
    if (fd < 0) return false;
    bool ok = tarn_io::write_all(fd, text.data(), text.size()) == text.size();
    if (!ok) why = strerror(errno);
    if (close(fd) != 0 && ok) {
        ok = false;
        why = strerror(errno);
    }
    return ok;
}
