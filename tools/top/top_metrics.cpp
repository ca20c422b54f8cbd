#include "top_metrics.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <cstring>

#include <fmt/format.h>

const char METRICS_TEXT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";
const char METRICS_OPENMETRICS_TYPE[] = "application/openmetrics-text; version=1.0.0; charset=utf-8";

namespace {

const char* const STAGE_LABEL[METRIC_STAGES] = {"vrx", "vtx", "frame", "fec", "decode", "render"};
const char* const FRAME_LABEL[2] = {"i", "p"};

// A sample value: integers as such, the rest as the shortest text that reads
// back the same; NaN and the infinities as the formats spell them.
std::string number(double v)
{
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    return fmt::format("{}", v);
}

struct writer_t {
    fmt::memory_buffer out;
    std::string pipe;  // escaped
    bool om = false;

    // The family's HELP and TYPE lines; counters' family names lose their
    // _total in OpenMetrics.
    void head(const char* name, const char* type, const char* help)
    {
        std::string family = name;
        if (om && strcmp(type, "counter") == 0 && family.size() > 6 && family.compare(family.size() - 6, 6, "_total") == 0)
            family.resize(family.size() - 6);
        fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", family, help, family, type);
    }
    void sample(const char* name, const std::string& labels, const std::string& value)
    {
        fmt::format_to(std::back_inserter(out), "{}{{pipe=\"{}\"{}}} {}\n", name, pipe, labels, value);
    }
    void counter(const char* name, const char* help, uint64_t v)
    {
        head(name, "counter", help);
        sample(name, "", std::to_string(v));
    }
    void gauge(const char* name, const char* help, bool known, double v)
    {
        head(name, "gauge", help);
        if (known) sample(name, "", number(v));
    }
    // One histogram of a family: cumulative buckets, then the count and
    // the sum, bounds and sum divided by scale (to the base unit).
    template <size_t N>
    void histogram(const char* name, const std::string& labels, const fixed_histogram_t<N>& h,
                   const int64_t (&bounds)[N], double scale)
    {
        const std::string bucket = std::string(name) + "_bucket";
        uint64_t cum = 0;
        for (size_t i = 0; i < N; i++) {
            cum += h.bucket[i];
            sample(bucket.c_str(), labels + fmt::format(",le=\"{}\"", number(bounds[i] / scale)), std::to_string(cum));
        }
        cum += h.bucket[N];
        sample(bucket.c_str(), labels + ",le=\"+Inf\"", std::to_string(cum));
        sample((std::string(name) + "_count").c_str(), labels, std::to_string(h.count));
        sample((std::string(name) + "_sum").c_str(), labels, number(static_cast<double>(h.sum) / scale));
    }
};

// The length of the UTF-8 sequence at s[i] (1 to 4), 0 when it is not one.
size_t utf8_length(const std::string& s, size_t i)
{
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n;
    uint32_t cp;
    if (c < 0x80) return 1;
    if ((c & 0xe0) == 0xc0) { n = 2; cp = c & 0x1f; }
    else if ((c & 0xf0) == 0xe0) { n = 3; cp = c & 0x0f; }
    else if ((c & 0xf8) == 0xf0) { n = 4; cp = c & 0x07; }
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        if ((b(i + k) & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3f);
    }
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return n;
}

}  // namespace

metrics_snapshot_t metrics_snapshot(top_model_t& m)
{
    std::lock_guard<std::mutex> lock(m.mu);
    metrics_snapshot_t s;
    s.frames = m.frames;
    s.lost = top_missing(m);
    s.repeated = top_repeats(m);
    s.out_of_order = top_out_of_order(m);
    s.bad_records = m.bad_records;
    s.connections = m.connects;
    s.viewer_dropped = m.viewer_dropped;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        for (int v = 0; v < 2; v++)
            s.events[k][v] = m.events.count(static_cast<event_kind_e>(k), static_cast<event_severity_e>(v));
    s.connected = m.state == LINK_CONNECTED;
    s.degraded = m.events.degraded();
    s.have_last = m.have_last;
    if (m.have_last) {
        s.rssi_dbm = m.last.rssi_dbm;
        // As the float reads back (119.95054, not 119.9505386352539); the
        // input rate to the bit.
        s.fps = strtod(fmt::format("{}", m.last.fps).c_str(), nullptr);
        s.input_bps = std::round(static_cast<double>(m.last.input_mbps) * 1e6);
    }
    for (int st = 0; st < METRIC_STAGES; st++)
        for (int f = 0; f < 2; f++) s.latency[st][f] = m.latency_hist[st][f];
    s.stall = m.stall_hist;
    return s;
}

std::string metrics_text(const metrics_snapshot_t& s, const std::string& pipe, bool openmetrics)
{
    writer_t w;
    w.pipe = metrics_label_value(pipe);
    w.om = openmetrics;
    w.counter("tarn_vrx_frames_total", "Frames received (records that do not repeat the one before).", s.frames);
    w.counter("tarn_vrx_frames_lost_total", "Frames whose sample ids never arrived.", s.lost);
    w.counter("tarn_vrx_frames_repeated_total", "Records repeating a sample id seen before.", s.repeated);
    w.counter("tarn_vrx_frames_out_of_order_total", "Frames that arrived after a later sample id.", s.out_of_order);
    w.counter("tarn_vrx_bad_records_total", "Records refused by the checks.", s.bad_records);
    w.counter("tarn_vrx_viewer_dropped_total", "Records the pipe dropped for this viewer.", s.viewer_dropped);
    w.counter("tarn_vrx_connections_total", "Connections to the latency pipe.", s.connections);
    w.head("tarn_vrx_events_total", "counter", "Link events started, by kind and the severity they started with.");
    for (int k = 0; k < EV_KIND_COUNT; k++)
        for (int v = 0; v < 2; v++)
            w.sample("tarn_vrx_events_total",
                     fmt::format(",kind=\"{}\",severity=\"{}\"", event_kind_name(static_cast<event_kind_e>(k)),
                                 event_severity_name(static_cast<event_severity_e>(v))),
                     std::to_string(s.events[k][v]));
    w.gauge("tarn_vrx_connected", "1 while the latency pipe is connected.", true, s.connected ? 1 : 0);
    w.gauge("tarn_vrx_degraded", "1 while a link event is going on.", true, s.degraded ? 1 : 0);
    w.gauge("tarn_vrx_rssi_dbm", "Signal level of the last record.", s.have_last, s.rssi_dbm);
    w.gauge("tarn_vrx_fps", "Frame rate the receiver reported in the last record.", s.have_last, s.fps);
    w.gauge("tarn_vrx_input_bits_per_second", "Input rate the receiver reported in the last record.", s.have_last,
            s.input_bps);
    w.head("tarn_vrx_latency_seconds", "histogram", "Latency of every I- and P-frame by stage.");
    for (int st = 0; st < METRIC_STAGES; st++)
        for (int f = 0; f < 2; f++)
            w.histogram("tarn_vrx_latency_seconds", fmt::format(",stage=\"{}\",frame=\"{}\"", STAGE_LABEL[st], FRAME_LABEL[f]),
                        s.latency[st][f], LATENCY_BOUND_US, 1e6);
    w.head("tarn_vrx_stall_seconds", "histogram", "Length of every stall that ended.");
    w.histogram("tarn_vrx_stall_seconds", "", s.stall, STALL_BOUND_MS, 1e3);
    if (openmetrics) fmt::format_to(std::back_inserter(w.out), "# EOF\n");
    return fmt::to_string(w.out);
}

bool metrics_wants_openmetrics(const char* accept)
{
    if (accept == nullptr) return false;
    const std::string a = accept;
    size_t at = 0;
    while (at <= a.size()) {
        size_t end = a.find(',', at);
        if (end == std::string::npos) end = a.size();
        const std::string range = a.substr(at, end - at);
        at = end + 1;
        // type/subtype, then ;name=value parameters.
        size_t semi = range.find(';');
        auto trim = [](std::string t) {
            const size_t b = t.find_first_not_of(" \t");
            if (b == std::string::npos) return std::string();
            return t.substr(b, t.find_last_not_of(" \t") - b + 1);
        };
        if (strcasecmp(trim(range.substr(0, semi)).c_str(), "application/openmetrics-text") != 0) continue;
        bool refused = false;
        while (semi != std::string::npos) {
            const size_t next = range.find(';', semi + 1);
            const std::string param = trim(range.substr(semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1));
            if (param.size() > 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=')
                refused = strtod(param.c_str() + 2, nullptr) <= 0;
            semi = next;
        }
        if (!refused) return true;
    }
    return false;
}

std::string metrics_label_value(const std::string& v)
{
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size();) {
        const char c = v[i];
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) out += '?';
        else {
            const size_t n = utf8_length(v, i);
            if (n == 0) {
                out += '?';
                i++;
            } else {
                out.append(v, i, n);
                i += n;
            }
            continue;
        }
        i++;
    }
    return out;
}

bool parse_metrics_address(const std::string& text, std::string& host, int& port, std::string& why)
{
    auto digits = [](const std::string& t) {
        return !t.empty() && t.size() <= 5 && t.find_first_not_of("0123456789") == std::string::npos;
    };
    std::string h, p;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            why = "'" + text + "' has no closing ]";
            return false;
        }
        h = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                why = "'" + text + "' is not [ADDRESS]:PORT";
                return false;
            }
            p = text.substr(close + 2);
        }
        in6_addr a6;
        if (inet_pton(AF_INET6, h.c_str(), &a6) != 1) {
            why = "'" + h + "' is no IPv6 address";
            return false;
        }
    } else if (digits(text)) {
        p = text;
    } else {
        const size_t colon = text.rfind(':');
        h = colon == std::string::npos ? text : text.substr(0, colon);
        if (colon != std::string::npos) p = text.substr(colon + 1);
        in_addr a4;
        if (inet_pton(AF_INET, h.c_str(), &a4) != 1) {
            why = "'" + h + "' is no IPv4 address (an IPv6 one goes in brackets)";
            return false;
        }
    }
    if (p.empty() && text.find(':') == std::string::npos) {
        port = METRICS_DEFAULT_PORT;
    } else if (p.empty() && !text.empty() && text[0] == '[' && text.back() == ']') {
        port = METRICS_DEFAULT_PORT;
    } else {
        if (!digits(p) || atoi(p.c_str()) < 1 || atoi(p.c_str()) > 65535) {
            why = "'" + p + "' is no port (1 to 65535)";
            return false;
        }
        port = atoi(p.c_str());
    }
    host = h;
    return true;
}
