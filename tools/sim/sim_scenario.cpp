// Scenario files of tarn-vrx-sim: the parser, the timeline that applies the
// steps frame by frame, and the ground truth it writes.
#include "sim_scenario.h"

#include "link_events.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <cjson/cJSON.h>
#include <fmt/format.h>

#include "brisk_pipe.h"
#include "fd_io.h"

namespace {

const char* const KIND_NAMES[SCN_KIND_COUNT] = {"rate",  "frame",  "fec",   "decode",  "render",
                                                "vtx",   "iframe", "rssi",  "loss",    "burst",
                                                "stall", "bad",    "codec", "restart", "end"};

bool is_stage(scenario_kind_e k)
{
    return k == SCN_FRAME || k == SCN_FEC || k == SCN_DECODE || k == SCN_RENDER || k == SCN_VTX || k == SCN_IFRAME;
}

bool can_ramp(scenario_kind_e k)
{
    return k == SCN_RATE || is_stage(k) || k == SCN_RSSI;
}

// A plain decimal number at the start of s (optional sign when signed_ok);
// rest is what follows it.
bool leading_number(std::string_view s, bool signed_ok, double& v, std::string_view& rest)
{
    size_t i = 0;
    if (signed_ok && i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
    size_t digits = 0, dots = 0;
    for (; i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.'); i++) (s[i] == '.' ? dots : digits)++;
    if (digits == 0 || dots > 1 || i > 40) return false;
    const std::string num(s.substr(0, i));
    v = strtod(num.c_str(), nullptr);
    rest = s.substr(i);
    return std::isfinite(v);
}

// "250ms", "1.5s", "2min"; a bare "0".
bool parse_time(std::string_view s, double& secs)
{
    double v;
    std::string_view unit;
    if (!leading_number(s, false, v, unit)) return false;
    if (unit == "ms")
        secs = v / 1000;
    else if (unit == "s")
        secs = v;
    else if (unit == "min")
        secs = v * 60;
    else if (unit.empty() && v == 0)
        secs = 0;
    else
        return false;
    return secs <= SCENARIO_MAX_TIME;
}

// A number with one of the given units (or none when bare_ok).
bool parse_quantity(std::string_view s, bool signed_ok, std::initializer_list<std::pair<const char*, double>> units,
                    bool bare_ok, double& out)
{
    double v;
    std::string_view unit;
    if (!leading_number(s, signed_ok, v, unit)) return false;
    if (unit.empty()) {
        out = v;
        return bare_ok;
    }
    for (const auto& u : units)
        if (unit == u.first) {
            out = v * u.second;
            return true;
        }
    return false;
}

std::string fmt_time(double secs)
{
    return fmt::format("{:g}s", secs);
}

struct parse_state {
    const std::string& name;
    int line = 0;
    std::string& err;
    bool fail(const std::string& what)
    {
        err = fmt::format("{}:{}: {}", name, line, what);
        return false;
    }
};

// The value words of one step (after the kind) into step.
bool parse_value(parse_state& ps, scenario_step_t& st, const std::vector<std::string_view>& words)
{
    std::vector<std::string_view> w = words;
    const char* kind = KIND_NAMES[st.kind];
    if (!w.empty() && w.back() == "ramp") {
        if (!can_ramp(st.kind))
            return ps.fail(fmt::format("{} cannot ramp (ramp goes with rate, frame, fec, decode, render, vtx, "
                                       "iframe and rssi)",
                                       kind));
        if (st.dur == 0) return ps.fail(fmt::format("a ramp needs a duration, not '-'"));
        st.ramp = true;
        w.pop_back();
    }
    const size_t want = st.kind == SCN_STALL || st.kind == SCN_END ? 0 : st.kind == SCN_BURST ? 2 : 1;
    if (w.size() < want)
        return ps.fail(want == 2 ? fmt::format("burst needs a length and a period (burst 10 1s)")
                                 : fmt::format("{} needs a value", kind));
    if (w.size() > want) return ps.fail(fmt::format("unexpected '{}' after {}", w[want], kind));
    const std::string v0 = want > 0 ? std::string(w[0]) : std::string();
    switch (st.kind) {
    case SCN_RATE:
        if (!parse_quantity(w[0], false, {{"fps", 1}}, true, st.value) || !(st.value > 0) ||
            st.value > SCENARIO_MAX_RATE)
            return ps.fail(
                fmt::format("bad rate '{}' (frames per second, above 0, at most {:g})", v0, SCENARIO_MAX_RATE));
        break;
    case SCN_FRAME:
    case SCN_FEC:
    case SCN_DECODE:
    case SCN_RENDER:
    case SCN_VTX:
    case SCN_IFRAME:
        if (!parse_quantity(w[0], true, {{"ms", 1}, {"s", 1000}}, false, st.value) || std::abs(st.value) > 10000)
            return ps.fail(
                fmt::format("bad latency '{}' for {} (like +6ms or -1.5ms, at most 10s either way)", v0, kind));
        break;
    case SCN_RSSI:
        if (!parse_quantity(w[0], true, {{"dBm", 1}}, true, st.value) || st.value < -150 || st.value > 0)
            return ps.fail(fmt::format("bad signal level '{}' (dBm, -150 to 0, like -78dBm)", v0));
        break;
    case SCN_LOSS:
    case SCN_BAD:
        if (!parse_quantity(w[0], false, {{"%", 0.01}}, false, st.value) || st.value > 1)
            return ps.fail(fmt::format("bad share '{}' for {} (a percentage, 0% to 100%)", v0, kind));
        break;
    case SCN_BURST:
        if (!parse_quantity(w[0], false, {}, true, st.value) || st.value < 1 || st.value > 1e6 ||
            st.value != std::floor(st.value))
            return ps.fail(fmt::format("bad burst length '{}' (frames lost in a row, 1 to 1000000)", v0));
        if (!parse_time(w[1], st.period) || st.period < 0.001)
            return ps.fail(fmt::format("bad burst period '{}' (a time, at least 1ms)", std::string(w[1])));
        break;
    case SCN_CODEC:
        if (!codec_from_name(v0.c_str(), st.codec) || st.codec == VENC_OTHER)
            return ps.fail(fmt::format("unknown codec '{}' (h264 or h265)", v0));
        st.value = st.codec;
        break;
    case SCN_RESTART:
        if (!parse_time(w[0], st.value) || st.value <= 0)
            return ps.fail(fmt::format("bad restart pause '{}' (a time above 0, like 2s)", v0));
        break;
    default: break;
    }
    return true;
}

}  // namespace

const char* scenario_kind_name(scenario_kind_e kind)
{
    return kind >= 0 && kind < SCN_KIND_COUNT ? KIND_NAMES[kind] : "?";
}

bool parse_scenario(FILE* f, const std::string& name, scenario_t& out, std::string& err)
{
    parse_state ps{name, 0, err};
    out.steps.clear();
    std::string buf;
    buf.reserve(SCENARIO_MAX_LINE);
    int end_line = 0;
    for (;;) {
        // One line, read byte by byte so that no line can take more than
        // the bound, NUL bytes included.
        buf.clear();
        int c = getc(f);
        if (c == EOF) break;
        ps.line++;
        if (ps.line > static_cast<int>(SCENARIO_MAX_LINES))
            return ps.fail(fmt::format("more than {} lines", SCENARIO_MAX_LINES));
        for (; c != EOF && c != '\n'; c = getc(f)) {
            if (buf.size() >= SCENARIO_MAX_LINE)
                return ps.fail(fmt::format("line longer than {} bytes", SCENARIO_MAX_LINE));
            buf.push_back(static_cast<char>(c));
        }
        if (buf.find('\0') != std::string::npos) return ps.fail("a NUL byte in the line");
        std::string_view text(buf);
        if (size_t hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
        std::vector<std::string_view> words;
        for (size_t i = 0; i < text.size();) {
            while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) i++;
            size_t j = i;
            while (j < text.size() && !isspace(static_cast<unsigned char>(text[j]))) j++;
            if (j > i) words.push_back(text.substr(i, j - i));
            i = j;
        }
        if (words.empty()) continue;
        if (words.size() < 3) return ps.fail("a step is: AT FOR WHAT [HOW MUCH] (like: 10s 20s decode +6ms)");
        if (out.steps.size() >= SCENARIO_MAX_STEPS)
            return ps.fail(fmt::format("more than {} steps", SCENARIO_MAX_STEPS));

        scenario_step_t st;
        st.line = ps.line;
        const std::string w0(words[0]), w1(words[1]), w2(words[2]);  // for messages
        if (!parse_time(words[0], st.at)) return ps.fail(fmt::format("bad time '{}' (like 250ms, 10s, 2min)", w0));
        if (words[1] != "-" && (!parse_time(words[1], st.dur) || st.dur <= 0))
            return ps.fail(fmt::format("bad duration '{}' (a time above 0, or - for from here on)", w1));
        int k = 0;
        while (k < SCN_KIND_COUNT && words[2] != KIND_NAMES[k]) k++;
        if (k == SCN_KIND_COUNT)
            return ps.fail(fmt::format("unknown step '{}' (rate, frame, fec, decode, render, vtx, iframe, rssi, loss, "
                                       "burst, stall, bad, codec, restart or end)",
                                       w2));
        st.kind = static_cast<scenario_kind_e>(k);
        if ((st.kind == SCN_STALL) && st.dur == 0) return ps.fail("a stall needs a duration, not '-'");
        if ((st.kind == SCN_RESTART || st.kind == SCN_END) && st.dur != 0)
            return ps.fail(fmt::format("{} takes '-' as its duration", w2));
        if (!parse_value(ps, st, {words.begin() + 3, words.end()})) return false;

        if (st.kind == SCN_END) {
            if (end_line != 0) return ps.fail(fmt::format("a second end (line {})", end_line));
            end_line = ps.line;
        }
        out.steps.push_back(st);
    }
    if (ferror(f)) return ps.fail(fmt::format("cannot read: {}", strerror(errno)));

    // Steps may be written in any order; they apply in time order, those of
    // the same moment in file order.
    std::stable_sort(out.steps.begin(), out.steps.end(),
                     [](const scenario_step_t& a, const scenario_step_t& b) { return a.at < b.at; });
    // Per kind: the last step with a duration (its window) and the last from
    // here on step, for the overlap checks. Stalls and restart pauses share one
    // group: the receiver cannot be silent and restarting at once.
    int last_timed[SCN_KIND_COUNT];
    int last_perm[SCN_KIND_COUNT];
    std::fill(last_timed, last_timed + SCN_KIND_COUNT, -1);
    std::fill(last_perm, last_perm + SCN_KIND_COUNT, -1);
    const scenario_step_t* end = nullptr;
    for (const scenario_step_t& st : out.steps)
        if (st.kind == SCN_END) end = &st;
    for (size_t i = 0; i < out.steps.size(); i++) {
        const scenario_step_t& st = out.steps[i];
        const char* kind = KIND_NAMES[st.kind];
        ps.line = st.line;
        if (end != nullptr && st.at > end->at)
            return ps.fail(fmt::format("{} at {} comes after the end at {} (line {})", kind, fmt_time(st.at),
                                       fmt_time(end->at), end->line));
        const int g = st.kind == SCN_RESTART ? SCN_STALL : st.kind;
        const double win = st.kind == SCN_RESTART ? st.value : st.dur;
        if (int prev = last_timed[g]; prev >= 0) {
            const scenario_step_t& p = out.steps[static_cast<size_t>(prev)];
            const double pend = p.at + (p.kind == SCN_RESTART ? p.value : p.dur);
            if (pend > st.at + 1e-9)  // times in ms are not exact in binary
                return ps.fail(fmt::format("{} at {} overlaps the {} of line {} ({} to {})", kind, fmt_time(st.at),
                                           KIND_NAMES[p.kind], p.line, fmt_time(p.at), fmt_time(pend)));
        }
        if (win == 0 && st.kind != SCN_END) {
            if (int prev = last_perm[g]; prev >= 0 && out.steps[static_cast<size_t>(prev)].at == st.at)
                return ps.fail(fmt::format("two {} steps at {} (line {})", kind, fmt_time(st.at),
                                           out.steps[static_cast<size_t>(prev)].line));
            last_perm[g] = static_cast<int>(i);
        } else if (win > 0) {
            last_timed[g] = static_cast<int>(i);
        }
    }
    return true;
}

vrx_latency_packet_t synth_record(uint32_t id, long long gop_index, long long n, int gop, venc_mode_t codec, float fps,
                                  std::mt19937& rng)
{
    std::normal_distribution<float> jitter(0.0f, 1.0f);
    auto around = [&](float mean, float spread) { return std::max(0.05f, mean + spread * jitter(rng)); };
    const bool iframe = gop_index % gop == 0;

    vrx_latency_packet_t r{};
    r.magic_number = RECORD_MAGIC_NUMBER;
    r.sample_id = id;
    r.input_mbps = around(iframe ? 18.0f : 12.0f, 1.5f);
    r.frame_latency_ms = around(iframe ? 4.5f : 2.5f, 0.4f);
    r.fec_latency_ms = around(iframe ? 1.6f : 0.9f, 0.2f);
    r.decode_latency_ms = around(iframe ? 6.0f : 3.8f, 0.5f);
    r.render_latency_ms = around(1.6f, 0.3f);
    r.vrx_latency_ms =
        r.frame_latency_ms + r.fec_latency_ms + r.decode_latency_ms + r.render_latency_ms + around(0.4f, 0.1f);
    r.vtx_latency_ms = around(iframe ? 11.0f : 8.5f, 0.8f);
    r.pcap_delta_ms = around(1000.0f / fps, 0.6f);
    r.frame_type = codec == VENC_H264 ? (iframe ? 101 : 65) : (iframe ? 19 : 1);
    r.fragments =
        iframe ? 24 + static_cast<int>(std::abs(jitter(rng)) * 6) : 6 + static_cast<int>(std::abs(jitter(rng)) * 3);
    r.rssi_dbm = -48 + static_cast<int>(std::lround(3.0f * jitter(rng)));
    r.fps = fps + 0.05f * jitter(rng);
    r.vbat_vdc = 16.8f - static_cast<float>(n) * 1e-5f;
    return r;
}

int scenario_open_pipe(const std::string& pipe)
{
    int ret = pipe_server_create(0, pipe.c_str(), 0);
    if (ret < 0) return ret;
    if (cJSON* info = pipe_server_get_info_json_ptr(0)) {
        cJSON_AddStringToObject(info, "data_format", "vrx_latency_packet_t");
        cJSON_AddNumberToObject(info, "record_size", sizeof(vrx_latency_packet_t));
        pipe_server_update_info(0);
    }
    return ret;
}

namespace {

constexpr double BASE_RSSI = -48;

// What the truth line of one step will say.
struct step_truth_t {
    bool started = false, done = false;
    struct timespec start_wall {};
    int connection = 0, connection_end = 0;
    bool touched = false;
    uint32_t first_id = 0, last_id = 0;
    long long frames = 0, lost = 0, bad = 0, iframes = 0, bursts = 0;
    double reached = 0;
    uint32_t closed_after = 0;
    std::vector<std::pair<uint32_t, uint32_t>> ids;  // lost or bad ids, as ranges
    bool ids_complete = true;

    void add_id(uint32_t id)
    {
        if (!ids.empty() && ids.back().second + 1 == id) {
            ids.back().second = id;
        } else if (ids.size() < SCENARIO_MAX_RANGES) {
            ids.emplace_back(id, id);
        } else {
            ids_complete = false;
        }
    }
};

struct channel_t {
    double base = 0;
    int perm = -1;    // the from-here-on step in force
    int timed = -1;   // the step with a duration in force
    double from = 0;  // value when the timed step began, for a ramp
};

struct event_t {
    double t;
    int step;
    bool end;
};

std::string iso_time(const struct timespec& ts)
{
    return iso_time_ms(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

struct timespec now_real()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

double now_mono()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct scenario_run {
    const scenario_t& scn;
    const scenario_params_t& p;
    scenario_sink_t& sink;
    std::vector<step_truth_t> truth;
    std::vector<event_t> events;
    size_t next_event = 0;
    channel_t ch[SCN_KIND_COUNT];
    std::mt19937 rng;       // the synthetic values' jitter: one set per frame
    std::mt19937 fate_rng;  // random loss and bad records
    double t = 0;           // scenario time of the next frame
    // Frame times as the start of a stretch of constant rate plus k periods,
    // so that a step at 1.3s meets the frame of 1.3s exactly.
    double seg_t0 = 0, seg_rate = 0;
    long long seg_k = 0;
    uint32_t id;
    int connection = 1;
    long long n = 0, gop_index = 0, sent = 0;
    std::vector<vrx_latency_packet_t> batch;
    double burst_origin = 0;  // when the bursts of the burst step in force began
    long long burst_k = 0;    // the next burst begins at burst_origin + burst_k periods
    long long burst_left = 0;
    bool stop = false;
    bool truth_failed = false;  // reported once; the run goes on
    int result = 0;

    scenario_run(const scenario_t& s, const scenario_params_t& params, scenario_sink_t& out)
        : scn(s), p(params), sink(out), truth(s.steps.size()), rng(params.seed), fate_rng(params.seed ^ 0x9e3779b9u),
          id(params.start_id)
    {
        ch[SCN_RATE].base = p.rate;
        ch[SCN_RSSI].base = BASE_RSSI;
        ch[SCN_CODEC].base = p.codec;
        for (size_t i = 0; i < s.steps.size(); i++) {
            const scenario_step_t& st = s.steps[i];
            events.push_back({st.at, static_cast<int>(i), false});
            if (st.dur > 0) events.push_back({st.at + st.dur, static_cast<int>(i), true});
        }
        // Ends before starts at the same moment: a step may begin where
        // another of its kind ends.
        std::stable_sort(events.begin(), events.end(), [](const event_t& a, const event_t& b) {
            return a.t < b.t || (a.t == b.t && a.end && !b.end);
        });
        batch.reserve(static_cast<size_t>(p.batch));
    }

    double value_at(int kind, double when) const
    {
        const channel_t& c = ch[kind];
        if (c.timed < 0) return c.base;
        const scenario_step_t& s = scn.steps[static_cast<size_t>(c.timed)];
        if (!s.ramp) return s.value;
        const double f = std::clamp((when - s.at) / s.dur, 0.0, 1.0);
        return c.from + (s.value - c.from) * f;
    }

    int burst_step() const { return ch[SCN_BURST].timed >= 0 ? ch[SCN_BURST].timed : ch[SCN_BURST].perm; }

    bool pace_to(double when) { return sink.wait_until(when); }

    void flush()
    {
        if (batch.empty()) return;
        sink.write(batch.data(), batch.size());
        batch.clear();
    }

    void begin(int k, const struct timespec& when)
    {
        step_truth_t& tr = truth[static_cast<size_t>(k)];
        tr.started = true;
        tr.start_wall = when;
        tr.connection = connection;
    }

    void finish(int k, const struct timespec& when)
    {
        step_truth_t& tr = truth[static_cast<size_t>(k)];
        if (!tr.started || tr.done) return;
        tr.done = true;
        tr.connection_end = connection;
        if (p.truth_fd >= 0 && !truth_failed) write_truth(k, when);
        // Steps of one kind never overlap, so only the few in force hold
        // id ranges at any time.
        std::vector<std::pair<uint32_t, uint32_t>>().swap(tr.ids);
    }

    void write_truth(int k, const struct timespec& end)
    {
        const scenario_step_t& s = scn.steps[static_cast<size_t>(k)];
        const step_truth_t& tr = truth[static_cast<size_t>(k)];
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "kind", KIND_NAMES[s.kind]);
        cJSON_AddNumberToObject(o, "line", s.line);
        cJSON_AddStringToObject(o, "start", iso_time(tr.start_wall).c_str());
        cJSON_AddStringToObject(o, "end", iso_time(end).c_str());
        if (tr.touched) {
            cJSON_AddNumberToObject(o, "first_id", tr.first_id);
            cJSON_AddNumberToObject(o, "last_id", tr.last_id);
        } else {
            cJSON_AddNullToObject(o, "first_id");
            cJSON_AddNullToObject(o, "last_id");
        }
        cJSON_AddNumberToObject(o, "connection", tr.connection);
        if (tr.connection_end != tr.connection) cJSON_AddNumberToObject(o, "connection_end", tr.connection_end);
        cJSON_AddNumberToObject(o, "frames", static_cast<double>(tr.frames));
        if (s.ramp) cJSON_AddTrueToObject(o, "ramp");
        auto add_ids = [&](const char* key) {
            cJSON* a = cJSON_AddArrayToObject(o, key);
            for (const auto& r : tr.ids) {
                const double pair[2] = {static_cast<double>(r.first), static_cast<double>(r.second)};
                cJSON_AddItemToArray(a, cJSON_CreateDoubleArray(pair, 2));
            }
            cJSON_AddBoolToObject(o, "ids_complete", tr.ids_complete);
        };
        switch (s.kind) {
        case SCN_RATE: cJSON_AddNumberToObject(o, "fps", tr.reached); break;
        case SCN_IFRAME: cJSON_AddNumberToObject(o, "iframes", static_cast<double>(tr.iframes)); [[fallthrough]];
        case SCN_FRAME:
        case SCN_FEC:
        case SCN_DECODE:
        case SCN_RENDER:
        case SCN_VTX: cJSON_AddNumberToObject(o, "offset_ms", tr.reached); break;
        case SCN_RSSI: cJSON_AddNumberToObject(o, "dbm", tr.reached); break;
        case SCN_BURST: cJSON_AddNumberToObject(o, "bursts", static_cast<double>(tr.bursts)); [[fallthrough]];
        case SCN_LOSS:
        case SCN_STALL:
            cJSON_AddNumberToObject(o, "lost", static_cast<double>(tr.lost));
            add_ids("lost_ids");
            break;
        case SCN_BAD:
            cJSON_AddNumberToObject(o, "bad", static_cast<double>(tr.bad));
            add_ids("bad_ids");
            break;
        case SCN_CODEC: cJSON_AddStringToObject(o, "codec", codec_name(s.codec)); break;
        case SCN_RESTART:
            cJSON_AddNumberToObject(o, "pause_s", s.value);
            cJSON_AddNumberToObject(o, "closed_after_id", tr.closed_after);
            cJSON_AddNumberToObject(o, "previous_connection", tr.connection - 1);
            break;
        default: break;
        }
        char* text = cJSON_PrintUnformatted(o);
        cJSON_Delete(o);
        if (text == nullptr) return;
        std::string line = text;
        cJSON_free(text);
        line += '\n';
        if (tarn_io::write_all(p.truth_fd, line.data(), line.size()) != line.size()) {
            fprintf(stderr, "tarn-vrx-sim: cannot write the truth file: %s\n", strerror(errno));
            truth_failed = true;
        }
    }

    // The receiver stops, closes the pipe, and opens it again after the pause.
    void restart(int k, const struct timespec& when)
    {
        const scenario_step_t& s = scn.steps[static_cast<size_t>(k)];
        begin(k, when);
        step_truth_t& tr = truth[static_cast<size_t>(k)];
        tr.closed_after = id - 1;
        sink.close();
        const double reopen = s.at + s.value;
        if (!pace_to(reopen)) {
            stop = true;
            return;
        }
        if (!sink.reopen(reopen)) {
            fprintf(stderr, "tarn-vrx-sim: cannot publish on %s again after the restart of line %d\n", p.pipe.c_str(),
                    s.line);
            result = -1;
            stop = true;
            return;
        }
        connection++;
        t = reopen;
        seg_rate = 0;
        id = p.start_id;
        gop_index = 0;
        tr.touched = true;
        tr.first_id = tr.last_id = id;
        tr.connection = connection;
        finish(k, sink.now());
    }

    void apply(const event_t& ev)
    {
        const scenario_step_t& s = scn.steps[static_cast<size_t>(ev.step)];
        flush();
        if (!pace_to(ev.t)) {
            stop = true;
            return;
        }
        const struct timespec when = sink.now();
        channel_t& c = ch[s.kind];
        const int burst_before = burst_step();
        switch (s.kind) {
        case SCN_RESTART: restart(ev.step, when); return;
        case SCN_END:
            begin(ev.step, when);
            stop = true;
            return;
        default: break;
        }
        if (ev.end) {
            c.timed = -1;
            finish(ev.step, when);
        } else if (s.dur > 0) {
            c.from = value_at(s.kind, ev.t);
            c.timed = ev.step;
            begin(ev.step, when);
        } else {
            if (c.perm >= 0) finish(c.perm, when);
            c.perm = ev.step;
            c.base = s.value;
            begin(ev.step, when);
        }
        if (s.kind == SCN_BURST && burst_step() != burst_before) {
            burst_origin = ev.t;
            burst_k = 0;
            burst_left = 0;
        }
    }

    void touch(int k, bool published)
    {
        if (k < 0) return;
        step_truth_t& tr = truth[static_cast<size_t>(k)];
        if (!tr.touched) tr.first_id = id;
        tr.touched = true;
        tr.last_id = id;
        if (published) tr.frames++;
    }

    void run()
    {
        sink.start();
        while (!stop && main_running && (p.count == 0 || sent < p.count)) {
            while (!stop && next_event < events.size() && events[next_event].t <= t + 1e-9) apply(events[next_event++]);
            if (stop) break;

            const double rate = value_at(SCN_RATE, t);
            if (rate != seg_rate) {
                seg_t0 = t;
                seg_rate = rate;
                seg_k = 0;
            }
            const auto codec = static_cast<venc_mode_t>(static_cast<int>(value_at(SCN_CODEC, t)));
            const bool iframe = gop_index % p.gop == 0;
            vrx_latency_packet_t r = synth_record(id, gop_index, n, p.gop, codec, static_cast<float>(rate), rng);
            float* stage[] = {&r.frame_latency_ms, &r.fec_latency_ms, &r.decode_latency_ms, &r.render_latency_ms};
            const scenario_kind_e stage_kind[] = {SCN_FRAME, SCN_FEC, SCN_DECODE, SCN_RENDER};
            for (int i = 0; i < 4; i++) {
                double off = value_at(stage_kind[i], t);
                if (i == 0 && iframe) off += value_at(SCN_IFRAME, t);
                if (off == 0) continue;
                const float was = *stage[i];
                *stage[i] = std::max(0.05f, was + static_cast<float>(off));
                r.vrx_latency_ms += *stage[i] - was;
            }
            if (double off = value_at(SCN_VTX, t); off != 0)
                r.vtx_latency_ms = std::max(0.05f, r.vtx_latency_ms + static_cast<float>(off));
            const double level = value_at(SCN_RSSI, t);
            r.rssi_dbm += static_cast<int>(std::lround(level - BASE_RSSI));

            // The frame's fate: a stall, a burst, random loss, a bad record.
            int lost_by = -1, bad_by = -1;
            if (ch[SCN_STALL].timed >= 0) lost_by = ch[SCN_STALL].timed;
            if (int b = burst_step(); b >= 0) {
                const scenario_step_t& bs = scn.steps[static_cast<size_t>(b)];
                if (t + 1e-9 >= burst_origin + static_cast<double>(burst_k) * bs.period) {
                    burst_left = static_cast<long long>(bs.value);
                    truth[static_cast<size_t>(b)].bursts++;
                    burst_k = static_cast<long long>(std::floor((t + 1e-9 - burst_origin) / bs.period)) + 1;
                }
                if (burst_left > 0) {
                    burst_left--;
                    if (lost_by < 0) lost_by = b;
                }
            }
            const auto draw = [&] { return static_cast<double>(fate_rng() >> 8) * (1.0 / 16777216.0); };
            if (double share = value_at(SCN_LOSS, t); share > 0 && lost_by < 0 && draw() < share)
                lost_by = ch[SCN_LOSS].timed >= 0 ? ch[SCN_LOSS].timed : ch[SCN_LOSS].perm;
            if (double share = value_at(SCN_BAD, t); share > 0 && lost_by < 0 && draw() < share) {
                bad_by = ch[SCN_BAD].timed >= 0 ? ch[SCN_BAD].timed : ch[SCN_BAD].perm;
                r.magic_number = 0;
            }
            const bool published = lost_by < 0;

            for (int k = 0; k < SCN_KIND_COUNT; k++) {
                if (k == SCN_RESTART || k == SCN_END) continue;
                touch(ch[k].perm, published);
                touch(ch[k].timed, published);
                const int active = ch[k].timed >= 0 ? ch[k].timed : ch[k].perm;
                if (active < 0) continue;
                step_truth_t& tr = truth[static_cast<size_t>(active)];
                switch (k) {
                case SCN_RATE: tr.reached = rate; break;
                case SCN_IFRAME:
                    if (iframe) {
                        tr.iframes++;
                        tr.reached = value_at(k, t);
                    }
                    break;
                case SCN_RSSI: tr.reached = level; break;
                default:
                    if (is_stage(static_cast<scenario_kind_e>(k))) tr.reached = value_at(k, t);
                    break;
                }
            }
            if (lost_by >= 0) {
                truth[static_cast<size_t>(lost_by)].lost++;
                truth[static_cast<size_t>(lost_by)].add_id(id);
            } else {
                if (bad_by >= 0) {
                    truth[static_cast<size_t>(bad_by)].bad++;
                    truth[static_cast<size_t>(bad_by)].add_id(id);
                }
                batch.push_back(r);
                sent++;
                if (static_cast<int>(batch.size()) >= p.batch || (p.count != 0 && sent >= p.count)) {
                    if (!pace_to(t)) break;
                    flush();
                }
            }
            id++;
            n++;
            gop_index++;
            seg_k++;
            t = seg_t0 + static_cast<double>(seg_k) / rate;
        }
        flush();
        const struct timespec when = sink.now();
        for (size_t k = 0; k < truth.size(); k++) finish(static_cast<int>(k), when);
    }
};

}  // namespace

namespace {

// The pipe on channel 0, in real time.
struct pipe_sink_t : scenario_sink_t {
    const scenario_params_t& p;
    double anchor = 0;  // monotonic seconds of scenario time 0
    explicit pipe_sink_t(const scenario_params_t& params) : p(params) {}
    void start() override { anchor = now_mono(); }
    bool wait_until(double when) override
    {
        const double target = anchor + when;
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(target);
        ts.tv_nsec = static_cast<long>((target - static_cast<double>(ts.tv_sec)) * 1e9);
        if (ts.tv_nsec >= 1000000000) ts.tv_nsec = 999999999;
        while (main_running && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
        return main_running != 0;
    }
    void write(const vrx_latency_packet_t* r, size_t n) override
    {
        pipe_server_write(0, r, static_cast<int>(n * sizeof(vrx_latency_packet_t)));
    }
    void close() override { pipe_server_close(0); }
    bool reopen(double when) override
    {
        if (scenario_open_pipe(p.pipe) < 0) return false;
        while (main_running && pipe_server_get_num_clients(0) < p.wait_clients) usleep(5000);
        // Waiting for subscribers shifts the rest of the timeline.
        anchor = std::max(anchor, now_mono() - when);
        return true;
    }
    struct timespec now() override { return now_real(); }
};

}  // namespace

int run_scenario(const scenario_t& scn, const scenario_params_t& p, scenario_sink_t& sink)
{
    scenario_run run(scn, p, sink);
    run.run();
    return run.result;
}

int publish_scenario(const scenario_t& scn, const scenario_params_t& p)
{
    pipe_sink_t sink(p);
    return run_scenario(scn, p, sink);
}
