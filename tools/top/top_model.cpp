#include "top_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include <fmt/format.h>

#include "brisk_json.h"
#include "latency_format.h"
#include "out_file.h"

// The columns the table shows: the window counts nothing else.
constexpr uint32_t SHOWN_COLUMNS =
    1u << STAT_VRX | 1u << STAT_VTX | 1u << STAT_FRAME | 1u << STAT_FEC | 1u << STAT_DECODE | 1u << STAT_RENDER;

top_model_t::top_model_t()
    : stats({TOP_SPAN_MS[0] * NS_PER_MS, TOP_SPAN_MS[1] * NS_PER_MS, TOP_SPAN_MS[2] * NS_PER_MS,
             TOP_SPAN_MS[3] * NS_PER_MS},
            SHOWN_COLUMNS)
{
    struct timespec mono, real;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &real);
    wall_offset_ms = (static_cast<int64_t>(real.tv_sec) - static_cast<int64_t>(mono.tv_sec)) * 1000 +
                     (static_cast<int64_t>(real.tv_nsec) - static_cast<int64_t>(mono.tv_nsec)) / 1000000;
}

window_figures_t top_figures(const top_model_t& m, int w, int64_t now_ms)
{
    const window_span_t& span = m.stats.span(static_cast<size_t>(w));
    window_figures_t f;
    f.span_ms = TOP_SPAN_MS[w];
    const int64_t now_ns = now_ms * NS_PER_MS;
    if (span.span_ns() > 0 && span.cut_ns() > now_ns - span.span_ns()) {
        f.cut = true;
        f.held_ms = (now_ns - m.stats.oldest_ns(static_cast<size_t>(w), now_ns)) / NS_PER_MS;
    }
    f.frames = span.frames();
    f.i_frames = span.kinds().i;
    f.p_frames = span.kinds().p;
    f.repeats = span.repeats();
    f.out_of_order = span.out_of_order();
    f.missing = span.missing();
    const stage_sums_t& st = span.stage_sums();
    f.share_vrx = static_cast<int64_t>(st.sum[STAT_STAGE_COUNT]);
    for (int k = 0; k < STAGE_COUNT; k++) f.share_stage[k] = static_cast<int64_t>(st.sum[k]);
    for (int s = 0; s < SER_COUNT; s++) {
        const latency_series_t& ser = LATENCY_SERIES[s];
        const window_column_t& c = ser.one_kind ? span.vrx_of(ser.kind) : span.column(ser.stat);
        series_figures_t& o = f.series[s];
        o.n = c.count();
        o.sum = static_cast<int64_t>(c.sum_thousandths());
        if (o.n == 0) continue;
        // The values are the log's, so these are exact.
        auto q = [](double v) {
            int64_t k = 0;
            round_as_logged(v, 3, k);
            return static_cast<int32_t>(k);
        };
        o.min = q(c.min());
        o.p50 = q(c.percentile(50, 100));
        o.p95 = q(c.percentile(95, 100));
        o.p99 = q(c.percentile(99, 100));
        o.max = q(c.max());
    }
    return f;
}

bool quantize(float v, int decimals, int32_t& key)
{
    int64_t units;
    if (!round_as_logged(v, decimals, units) || units > INT32_MAX || units < -INT32_MAX) return false;
    key = static_cast<int32_t>(units);
    return true;
}

// The stall going on before a call of the detector (its sequence number, 0
// none); stall_watch() after the call puts its length in the histogram if
// the call ended it. mu held.
static uint64_t stall_before(const top_model_t& m)
{
    return m.events.open_seq(EV_STALL);
}
static void stall_watch(top_model_t& m, uint64_t before)
{
    if (before == 0 || m.events.open_seq(EV_STALL) == before) return;
    const std::deque<link_event_t>& ended = m.events.ended();
    for (auto e = ended.rbegin(); e != ended.rend(); ++e)
        if (e->seq == before) {
            m.stall_hist.add(e->end_ms - e->start_ms, STALL_BOUND_MS);
            return;
        }
}

// The latencies of one I- or P-frame into the metrics' histograms.
static void latency_metrics(top_model_t& m, const vrx_latency_packet_t& r, frame_kind_e kind)
{
    if (kind != FRAME_KIND_I && kind != FRAME_KIND_P) return;
    const float v[METRIC_STAGES] = {r.vrx_latency_ms,   r.vtx_latency_ms,    r.frame_latency_ms,
                                    r.fec_latency_ms,   r.decode_latency_ms, r.render_latency_ms};
    for (int s = 0; s < METRIC_STAGES; s++) {
        int32_t q;
        if (quantize(v[s], 3, q)) m.latency_hist[s][kind == FRAME_KIND_I ? 0 : 1].add(q, LATENCY_BOUND_US);
    }
}

// One frame (a record that is not a repeat of the one before), mu held.
static void account(top_model_t& m, const vrx_latency_packet_t& r, float avg, int64_t now_ms)
{
    const frame_kind_e kind = frame_kind_of_code(r.frame_type);
    m.frames++;
    (kind == FRAME_KIND_I ? m.i_frames : kind == FRAME_KIND_P ? m.p_frames : m.other_frames)++;
    if (m.frames == 1) m.first_id = r.sample_id;
    m.last_frame_id = r.sample_id;
    const id_step_t step = track_id_step(m.ids, r.sample_id);

    stat_sample_t e;
    e.sample_id = r.sample_id;
    e.kind = kind;
    latency_logged_values(r, avg, e.v);
    bool has_vrx = false;
    int32_t vrx_q = 0;
    for (int ser = 0; ser < SER_COUNT; ser++) {
        const latency_series_t& sr = LATENCY_SERIES[ser];
        int32_t q;
        if ((sr.one_kind && kind != sr.kind) || !quantize(latency_member<float>(r, stat_column(sr.stat).offset), 3, q))
            continue;
        m.has_last_q[ser] = true;
        m.last_q[ser] = q;
        if (ser == SER_VRX) {
            has_vrx = true;
            vrx_q = q;
        }
    }
    m.stats.add(now_ms * NS_PER_MS, e, step);
    event_frame_t ef;
    ef.t_ms = now_ms;
    ef.wall_ms = now_ms + m.wall_offset_ms;
    ef.s = e;
    ef.missing = step.missing;
    ef.other_codec = frame_code_of_other_codec(r.frame_type, m.codec);
    const uint64_t stall = stall_before(m);
    m.events.frame(ef);
    stall_watch(m, stall);
    latency_metrics(m, r, kind);
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        if (std::isfinite(e.v[c]))
            m.since[c].add(e.v[c]);
        else
            m.since_nonfinite[c]++;
    }
    if (std::isfinite(e.v[STAT_VRX]) && kind != FRAME_KIND_OTHER)
        (kind == FRAME_KIND_I ? m.since_vrx_i : m.since_vrx_p).add(e.v[STAT_VRX]);
    m.since_stages.apply(e, +1);

    const int64_t slot = now_ms / CHART_SLOT_MS;
    chart_slot_t& c = m.chart[slot % CHART_SLOTS];
    if (c.slot != slot) c = chart_slot_t{slot};
    if (has_vrx) {
        c.max_vrx = c.n == 0 ? vrx_q : std::max(c.max_vrx, vrx_q);
        if (c.n < static_cast<uint32_t>(CHART_SAMPLES)) {
            c.sample[c.n] = vrx_q;
        } else {
            // Reservoir sampling: each of the n + 1 values kept alike.
            m.chart_rng = m.chart_rng * 1103515245u + 12345u;
            const uint32_t j = (m.chart_rng >> 8) % (c.n + 1);
            if (j < static_cast<uint32_t>(CHART_SAMPLES)) c.sample[j] = vrx_q;
        }
        c.n++;
        if (kind == FRAME_KIND_I) c.max_i_vrx = std::max(c.max_i_vrx, vrx_q);
    }
    c.iframe = c.iframe || kind == FRAME_KIND_I;
    c.rssi_sum += r.rssi_dbm;
    c.rssi_n++;
    if (std::isfinite(r.input_mbps)) {
        c.mbps_sum += r.input_mbps;
        c.mbps_n++;
    }
    m.have_last = true;
    m.last = r;
}

std::string record_events_path(const std::string& csv_path)
{
    return csv_path + ".events";
}

std::string record_claim(const std::string& dir, time_t wall, std::string& why)
{
    struct tm tm;
    gmtime_r(&wall, &tm);
    const std::string stem = fmt::format("{}/{:04}-{:02}-{:02}T{:02}-{:02}-{:02}Z", dir, tm.tm_year + 1900,
                                         tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    for (int k = 1; k <= RECORD_NAME_TRIES; k++) {
        const std::string csv = k == 1 ? stem + ".csv" : fmt::format("{}-{}.csv", stem, k);
        struct stat st;
        if (lstat(latency_times_path(csv).c_str(), &st) == 0 || lstat(record_events_path(csv).c_str(), &st) == 0)
            continue;
        const int fd = tarn_io::open_output(csv.c_str(), tarn_io::OUT_CREATE | tarn_io::OUT_NEW_ONLY, 0644, why);
        if (fd >= 0) {
            close(fd);
            return csv;
        }
        if (errno != EEXIST) return {};
    }
    why = fmt::format("{} names of {} taken", RECORD_NAME_TRIES, stem);
    return {};
}

namespace {

// The first rows of a connection: a new recording. Without one (the
// folder refuses) the rows are not saved until the next connection.
void record_start(top_model_t& m, int64_t now_ms)
{
    std::string why;
    const time_t wall = static_cast<time_t>((now_ms + m.wall_offset_ms) / 1000);
    std::string csv = record_claim(m.record_dir, wall, why);
    std::lock_guard<std::mutex> lock(m.mu);
    m.record_next = false;
    m.record_failing = csv.empty();
    if (csv.empty()) {
        fprintf(stderr, "ERROR: cannot start a recording in %s: %s\n", m.record_dir.c_str(), why.c_str());
        m.record_events.clear();
        return;
    }
    fprintf(stderr, "recording to %s\n", csv.c_str());
    m.record_csv = std::move(csv);
    m.record_events = record_events_path(m.record_csv);
    m.log = csv_log_t{};
    m.log.path = m.record_csv.c_str();
    m.times_path = latency_times_path(m.record_csv);
    m.times_failing = false;
    m.times_second = -1;
    m.rows_in_run = false;
}

}  // namespace

void top_feed(top_model_t& m, const char* data, int bytes, int64_t now_ms)
{
    static fmt::memory_buffer csv;  // the pipe thread's own
    const int n = validate_pipe_records(data, bytes, sizeof(vrx_latency_packet_t), 0, "VRX");
    if (n < 0) {
        std::lock_guard<std::mutex> lock(m.mu);
        m.bad_buffers++;
        if (data == nullptr || bytes < 0) return;
        const int whole = bytes / static_cast<int>(sizeof(vrx_latency_packet_t));
        m.bad_records += static_cast<uint64_t>(whole);
        const uint64_t stall = stall_before(m);
        m.events.bad_records(now_ms, now_ms + m.wall_offset_ms, static_cast<uint64_t>(std::max(whole, 1)));
        stall_watch(m, stall);
        if (bytes % sizeof(vrx_latency_packet_t) != 0) {
            m.partial_buffers++;
            return;
        }
        for (int i = 0; i < whole; i++) {
            uint32_t magic;
            memcpy(&magic, data + static_cast<size_t>(i) * sizeof(vrx_latency_packet_t), sizeof magic);
            m.bad_magic += magic != RECORD_MAGIC_NUMBER;
        }
        return;
    }

    csv.clear();
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.records += static_cast<uint64_t>(n);
        m.stats.expire(now_ms * NS_PER_MS);
        for (int i = 0; i < n; i++) {
            vrx_latency_packet_t r;
            memcpy(&r, data + static_cast<size_t>(i) * sizeof r, sizeof r);
            // The inspector shows and logs no record that repeats the one
            // before; neither is it a frame here.
            if (m.shown_any && r.sample_id == m.current_sample) {
                m.consecutive_repeats++;
                m.stats.add_repeat(now_ms * NS_PER_MS);
                continue;
            }
            const float avg = latency_row_average(r, m.avg_i, m.avg_p);
            m.current_sample = r.sample_id;
            m.shown_any = true;
            if (m.save) append_csv_line(csv, r, {avg, nalu_as_string(r.frame_type, m.codec)});
            account(m, r, avg, now_ms);
        }
    }
    if (m.save && csv.size() > 0 && !m.record_dir.empty() && m.record_next) record_start(m, now_ms);
    if (m.save && csv.size() > 0 && (m.record_dir.empty() || !m.record_failing) &&
        csv_append(m.log, csv.data(), csv.size())) {
        m.rows_in_run = true;
        // The arrival of the first row of a run and then of one row a second.
        if (!m.times_path.empty() && m.log.lines_at >= 0 && now_ms / 1000 != m.times_second) {
            times_append(m.times_path, m.times_failing, m.log.lines_at, now_ms + m.wall_offset_ms);
            m.times_second = now_ms / 1000;
        }
    }
}

void top_connected(top_model_t& m, int64_t now_ms, time_t wall)
{
    std::lock_guard<std::mutex> lock(m.mu);
    if (m.connects > 0 && m.ids.any) {
        // A new connection is a new run of the publisher: its sample ids
        // start a numbering of their own.
        m.base_missing += m.ids.missing;
        m.base_repeats += m.ids.repeats;
        m.base_out_of_order += m.ids.out_of_order;
        m.base_gaps += m.ids.gap_count();
        for (const id_range_t& g : m.ids.first_gaps(MAX_LISTED - std::min(MAX_LISTED, m.gaps.size())))
            m.gaps.emplace_back(static_cast<uint32_t>(g.first), static_cast<uint64_t>(g.last - g.first + 1));
        m.ids = id_tracker_t{};
    }
    if (!m.record_dir.empty()) m.record_next = true;
    if (m.save && m.new_run_per_connection && m.rows_in_run) {
        // A new run of the publisher: a run of its own in the log.
        m.log.header_written = false;
        m.rows_in_run = false;
        m.times_second = -1;
    }
    m.connects++;
    const uint64_t stall = stall_before(m);
    m.events.connected(now_ms, now_ms + m.wall_offset_ms);
    stall_watch(m, stall);
    m.state = LINK_CONNECTED;
    m.state_since_ms = now_ms;
    m.state_since_wall = wall;
}

void top_disconnected(top_model_t& m, int64_t now_ms, time_t wall)
{
    std::lock_guard<std::mutex> lock(m.mu);
    m.disconnects++;
    const uint64_t stall = stall_before(m);
    m.events.disconnected(now_ms, now_ms + m.wall_offset_ms);
    stall_watch(m, stall);
    m.state = LINK_DISCONNECTED;
    m.state_since_ms = now_ms;
    m.state_since_wall = wall;
}

void top_reset(top_model_t& m, int64_t now_ms)
{
    std::lock_guard<std::mutex> lock(m.mu);
    m.reset_ms = now_ms;
    m.records = m.frames = m.consecutive_repeats = 0;
    m.bad_buffers = m.bad_records = m.bad_magic = m.partial_buffers = 0;
    m.i_frames = m.p_frames = m.other_frames = 0;
    m.first_id = m.last_frame_id = 0;
    m.ids = id_tracker_t{};
    m.base_missing = m.base_repeats = m.base_out_of_order = m.base_gaps = 0;
    m.gaps.clear();
    m.have_last = false;
    for (bool& h : m.has_last_q) h = false;
    m.stats.clear();
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        m.since[c].clear();
        m.since_nonfinite[c] = 0;
    }
    m.since_vrx_i.clear();
    m.since_vrx_p.clear();
    m.since_stages = stage_sums_t{};
    for (chart_slot_t& c : m.chart) c = chart_slot_t{};
    m.events = link_events_t(m.events.thresholds());
    for (auto& stage : m.latency_hist)
        for (latency_histogram_t& h : stage) h = latency_histogram_t{};
    m.stall_hist = stall_histogram_t{};
}

void top_read_drops(top_model_t& m, const char* location, int64_t now_ms)
{
    // A small regular file the publisher's pipe library writes: at most a
    // line per subscriber; anything larger is not read.
    const std::string path = std::string(location) + "drops";
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    uint64_t bytes = 0;
    bool found = false;
    if (fd >= 0) {
        struct stat st;
        char buf[16384];
        ssize_t n = -1;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < static_cast<off_t>(sizeof buf))
            n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n > 0) {
            buf[n] = '\0';
            const long long me = getpid();
            for (char* line = buf; line != nullptr && *line != '\0';) {
                char* next = strchr(line, '\n');
                if (next != nullptr) *next++ = '\0';
                long long pid = 0;
                unsigned long long chunks = 0, b = 0;
                if (sscanf(line, "%lld %llu %llu", &pid, &chunks, &b) == 3 && pid == me) {
                    bytes = b;
                    found = true;
                }
                line = next;
            }
        }
    }
    std::lock_guard<std::mutex> lock(m.mu);
    if (!found) return;
    // A new connection counts from zero again.
    const uint64_t added = bytes >= m.drops_seen_bytes ? bytes - m.drops_seen_bytes : bytes;
    m.drops_seen_bytes = bytes;
    const uint64_t records = added / sizeof(vrx_latency_packet_t);
    if (records == 0) return;
    m.viewer_dropped += records;
    const uint64_t stall = stall_before(m);
    m.events.viewer_dropped(now_ms, now_ms + m.wall_offset_ms, records);
    stall_watch(m, stall);
}

void top_tick(top_model_t& m, int64_t now_ms)
{
    std::lock_guard<std::mutex> lock(m.mu);
    const uint64_t stall = stall_before(m);
    m.events.tick(now_ms, now_ms + m.wall_offset_ms);
    stall_watch(m, stall);
}

uint64_t top_missing(const top_model_t& m)
{
    return m.base_missing + m.ids.missing;
}
uint64_t top_repeats(const top_model_t& m)
{
    return m.base_repeats + m.ids.repeats + m.consecutive_repeats;
}
uint64_t top_out_of_order(const top_model_t& m)
{
    return m.base_out_of_order + m.ids.out_of_order;
}

run_summary_t top_summary(top_model_t& m)
{
    std::lock_guard<std::mutex> lock(m.mu);
    run_summary_t s;
    s.run = 1;
    s.has_header = true;
    s.frames = m.frames;
    s.first_id = m.first_id;
    s.last_id = m.last_frame_id;
    s.missing = top_missing(m);
    s.repeats = top_repeats(m);
    s.out_of_order = top_out_of_order(m);
    s.gap_count = m.base_gaps + m.ids.gap_count();
    s.gaps = m.gaps;
    for (const id_range_t& g : m.ids.first_gaps(MAX_LISTED - std::min(MAX_LISTED, s.gaps.size())))
        s.gaps.emplace_back(static_cast<uint32_t>(g.first), static_cast<uint64_t>(g.last - g.first + 1));
    s.i_frames = m.i_frames;
    s.p_frames = m.p_frames;
    s.other_frames = m.other_frames;

    for (int c = 0; c < STAT_COLUMN_COUNT; c++) s.columns[c] = m.since[c].stats(m.since_nonfinite[c]);
    s.vrx_i = m.since_vrx_i.stats();
    s.vrx_p = m.since_vrx_p.stats();
    const stage_shares_t shares = m.since_stages.shares();
    for (int k = 0; k < STAT_STAGE_COUNT; k++) s.share[k] = shares.share[k];
    s.share_rest = shares.rest;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        for (int v = 0; v < 2; v++)
            s.event_counts[k] += m.events.count(static_cast<event_kind_e>(k), static_cast<event_severity_e>(v));
    return s;
}

std::string top_summary_text(top_model_t& m, int64_t now_ms)
{
    const run_summary_t s = top_summary(m);
    // The log's line numbers and malformed lines mean nothing here; the
    // record checks take their place.
    summary_text_options text;
    text.log_lines = false;
    text.narrow = true;
    const std::string out = format_run_text(s, text);
    std::lock_guard<std::mutex> lock(m.mu);
    std::string head = fmt::format("tarn-vrx-top: {:.1f} s since start\n", (now_ms - m.reset_ms) / 1000.0);
    head += fmt::format("  records:         {} ({} repeating the record before)\n", m.records, m.consecutive_repeats);
    head += fmt::format("  failed checks:   {} buffers, {} records ({} wrong magic, {} partial buffers)\n",
                        m.bad_buffers, m.bad_records, m.bad_magic, m.partial_buffers);
    head += fmt::format("  connections:     {}, disconnections {}\n", m.connects, m.disconnects);
    if (m.viewer_dropped > 0)
        head += fmt::format("  viewer dropped:  {} records the pipe dropped for this view (counted as missing ids)\n",
                            m.viewer_dropped);
    return head + out;
}

venc_mode_t read_codec(const char* path, std::string& name)
{
    name = "H.264 (no settings)";
    // A missing file is usual before the receiver first ran: the screen
    // says so. json_read_file refuses anything but a regular file of a
    // sane size, with one line on stderr.
    struct stat st;
    if (stat(path, &st) != 0) return VENC_H264;
    cJSON* doc = json_read_file(path);
    if (doc == nullptr) return VENC_H264;
    char encoding[20];
    json_fetch_string_with_default(doc, "encoding", encoding, sizeof encoding, "h264");
    cJSON_Delete(doc);
    venc_mode_t codec = VENC_OTHER;
    codec_from_name(encoding, codec);
    name = codec == VENC_H264 ? "H.264" : codec == VENC_H265 ? "H.265" : "?";
    return codec;
}
