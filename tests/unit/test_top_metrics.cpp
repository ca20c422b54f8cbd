// The metrics of tarn-vrx-top: the exposition a scrape gets from a model fed
// known records (exact counter and gauge lines, cumulative histogram
// buckets whose last equals the count, sums in seconds, the pipe label
// escaped), the two formats, the Accept header and the --metrics address.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "top_metrics.h"
#include "top_model.h"

namespace {

struct rec_t {
    uint32_t id;
    int32_t type = 65;  // P
    float vrx = 5, decode = 2;
    int32_t rssi = -60;
    float fps = 120, mbps = 12.5f;
    uint32_t magic = RECORD_MAGIC_NUMBER;
};

void feed(top_model_t& m, std::initializer_list<rec_t> rs, int64_t t)
{
    std::string buf;
    for (const rec_t& x : rs) {
        vrx_latency_packet_t r{};
        r.magic_number = x.magic;
        r.sample_id = x.id;
        r.frame_type = x.type;
        r.vrx_latency_ms = x.vrx;
        r.decode_latency_ms = x.decode;
        r.rssi_dbm = x.rssi;
        r.fps = x.fps;
        r.input_mbps = x.mbps;
        buf.append(reinterpret_cast<const char*>(&r), sizeof r);
    }
    top_feed(m, buf.data(), static_cast<int>(buf.size()), t);
}

// The samples of an exposition: "name{labels}" to its value, and the lines
// in order.
struct parsed_t {
    std::map<std::string, std::string> value;
    std::vector<std::string> lines;
};
parsed_t parse(const std::string& text)
{
    parsed_t p;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        p.lines.push_back(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t sp = line.rfind(' ');
        p.value[line.substr(0, sp)] = line.substr(sp + 1);
    }
    return p;
}

double num(const parsed_t& p, const std::string& key)
{
    auto it = p.value.find(key);
    if (it == p.value.end()) {
        ADD_FAILURE() << "no sample " << key;
        return NAN;
    }
    return std::stod(it->second);
}

}  // namespace

TEST(TopMetrics, counters_and_gauges_are_the_models_figures)
{
    top_model_t m;
    top_connected(m, 0, 0);
    // Ids 1 to 6: 1 an I-frame, 2 repeated at once, 3 and 4 lost.
    feed(m, {{1, 101}, {2}, {2}, {5}, {6, 65, 7, 2, -71, 119.95054f, 12.125813f}}, 10);
    feed(m, {{7, 65, 5, 2, -60, 120, 1, 0}}, 20);  // a wrong magic number: refused
    m.viewer_dropped = 3;  // as the pipe's drops file said
    const std::string pipe = "/run/bpa/vrx_latency";
    const parsed_t p = parse(metrics_text(metrics_snapshot(m), pipe, false));
    const std::string l = "{pipe=\"/run/bpa/vrx_latency\"}";
    auto has = [&](const std::string& line) {
        EXPECT_NE(std::find(p.lines.begin(), p.lines.end(), line), p.lines.end()) << line;
    };
    has("# TYPE tarn_vrx_frames_total counter");
    has("tarn_vrx_frames_total" + l + " 4");
    has("tarn_vrx_frames_lost_total" + l + " 2");
    has("tarn_vrx_frames_repeated_total" + l + " 1");
    has("tarn_vrx_frames_out_of_order_total" + l + " 0");
    has("tarn_vrx_bad_records_total" + l + " 1");
    has("tarn_vrx_viewer_dropped_total" + l + " 3");
    has("tarn_vrx_connections_total" + l + " 1");
    has("# TYPE tarn_vrx_connected gauge");
    has("tarn_vrx_connected" + l + " 1");
    has("tarn_vrx_rssi_dbm" + l + " -71");
    has("tarn_vrx_fps" + l + " 119.95054");
    has("tarn_vrx_input_bits_per_second" + l + " 12125813");
    // Every kind and severity, the model's counts.
    uint64_t events = 0;
    for (int k = 0; k < EV_KIND_COUNT; k++)
        for (int v = 0; v < 2; v++) {
            const std::string key = "tarn_vrx_events_total{pipe=\"/run/bpa/vrx_latency\",kind=\"" +
                                    std::string(event_kind_name(static_cast<event_kind_e>(k))) + "\",severity=\"" +
                                    event_severity_name(static_cast<event_severity_e>(v)) + "\"}";
            const double n = num(p, key);
            EXPECT_EQ(n, m.events.count(static_cast<event_kind_e>(k), static_cast<event_severity_e>(v))) << key;
            events += static_cast<uint64_t>(n);
        }
    EXPECT_GE(num(p, "tarn_vrx_events_total{pipe=\"/run/bpa/vrx_latency\",kind=\"bad_records\",severity=\"warn\"}") +
                  num(p, "tarn_vrx_events_total{pipe=\"/run/bpa/vrx_latency\",kind=\"bad_records\",severity=\"crit\"}"),
              1);
    EXPECT_EQ(events, m.events.total());
    EXPECT_EQ(num(p, "tarn_vrx_degraded" + l), m.events.degraded() ? 1 : 0);

    top_disconnected(m, 30, 0);
    const parsed_t q = parse(metrics_text(metrics_snapshot(m), pipe, false));
    EXPECT_EQ(num(q, "tarn_vrx_connected" + l), 0);
    EXPECT_EQ(num(q, "tarn_vrx_degraded" + l), 1) << "the restart goes on";

    // A reset clears them as it clears the screen.
    top_reset(m, 40);
    const parsed_t r = parse(metrics_text(metrics_snapshot(m), pipe, false));
    EXPECT_EQ(num(r, "tarn_vrx_frames_total" + l), 0);
    EXPECT_EQ(num(r, "tarn_vrx_latency_seconds_count{pipe=\"/run/bpa/vrx_latency\",stage=\"vrx\",frame=\"p\"}"), 0);
    EXPECT_EQ(r.value.count("tarn_vrx_rssi_dbm" + l), 0u) << "no record, no signal level";
}

TEST(TopMetrics, latency_buckets_are_cumulative_with_count_and_sum)
{
    top_model_t m;
    top_connected(m, 0, 0);
    // VRX latencies of the P-frames, ms: on a bound (1.000 is le 0.001),
    // just above one (1.001), inside, above the last bound; one I-frame;
    // a frame of another type counts nowhere; NaN is left out.
    feed(m, {{1, 65, 0.5f}, {2, 65, 1.0f}, {3, 65, 1.001f}, {4, 65, 7}, {5, 65, 600}, {6, 101, 12}, {7, 7, 3},
             {8, 65, NAN}},
         10);
    const parsed_t p = parse(metrics_text(metrics_snapshot(m), "x", false));
    auto b = [&](const char* stage, const char* frame, const char* le) {
        return num(p, std::string("tarn_vrx_latency_seconds_bucket{pipe=\"x\",stage=\"") + stage + "\",frame=\"" + frame +
                          "\",le=\"" + le + "\"}");
    };
    EXPECT_EQ(b("vrx", "p", "0.001"), 2);
    EXPECT_EQ(b("vrx", "p", "0.002"), 3);
    EXPECT_EQ(b("vrx", "p", "0.006"), 3);
    EXPECT_EQ(b("vrx", "p", "0.008"), 4);
    EXPECT_EQ(b("vrx", "p", "0.5"), 4);
    EXPECT_EQ(b("vrx", "p", "+Inf"), 5);
    EXPECT_EQ(b("vrx", "i", "0.01"), 0);
    EXPECT_EQ(b("vrx", "i", "0.012"), 1);
    EXPECT_EQ(num(p, "tarn_vrx_latency_seconds_count{pipe=\"x\",stage=\"vrx\",frame=\"p\"}"), 5);
    EXPECT_NEAR(num(p, "tarn_vrx_latency_seconds_sum{pipe=\"x\",stage=\"vrx\",frame=\"p\"}"),
                (0.5 + 1.0 + 1.001 + 7 + 600) / 1000, 1e-12);
    // The decode stage's 2 ms of every I- and P-frame with a number.
    EXPECT_EQ(b("decode", "p", "0.001"), 0);
    EXPECT_EQ(b("decode", "p", "0.002"), 6);
    EXPECT_EQ(b("decode", "i", "+Inf"), 1);

    // For every histogram: buckets never decrease, le ascending, the last
    // (+Inf) equals _count.
    for (const char* stage : {"vrx", "vtx", "frame", "fec", "decode", "render"})
        for (const char* frame : {"i", "p"}) {
            const std::string prefix =
                std::string("tarn_vrx_latency_seconds_bucket{pipe=\"x\",stage=\"") + stage + "\",frame=\"" + frame + "\",le=\"";
            double last = -1, last_le = -1;
            int buckets = 0;
            for (const std::string& line : p.lines) {
                if (line.compare(0, prefix.size(), prefix) != 0) continue;
                const std::string le = line.substr(prefix.size(), line.find('"', prefix.size()) - prefix.size());
                const double v = std::stod(line.substr(line.rfind(' ') + 1));
                const double bound = le == "+Inf" ? INFINITY : std::stod(le);
                EXPECT_GT(bound, last_le) << line;
                EXPECT_GE(v, last) << line;
                last = v;
                last_le = bound;
                buckets++;
            }
            EXPECT_EQ(buckets, static_cast<int>(LATENCY_BOUNDS) + 1);
            EXPECT_EQ(last_le, INFINITY);
            EXPECT_EQ(last, num(p, std::string("tarn_vrx_latency_seconds_count{pipe=\"x\",stage=\"") + stage +
                                       "\",frame=\"" + frame + "\"}"));
        }
}

TEST(TopMetrics, a_stall_that_ended_has_its_length_in_the_histogram)
{
    top_model_t m;
    top_connected(m, 0, 0);
    uint32_t id = 1;
    int64_t t = 0;
    for (; t < 3000; t += 10) feed(m, {{id++, 65, 5, 2, -60, 100}}, t);
    // 700 ms without a frame, the clock ticking as the view's loop does.
    const int64_t last = t - 10;
    for (t = last + 50; t < last + 700; t += 50) top_tick(m, t);
    const parsed_t during = parse(metrics_text(metrics_snapshot(m), "x", false));
    EXPECT_EQ(num(during, "tarn_vrx_degraded{pipe=\"x\"}"), 1);
    EXPECT_EQ(num(during, "tarn_vrx_stall_seconds_count{pipe=\"x\"}"), 0) << "not over yet";
    feed(m, {{id++, 65, 5, 2, -60, 100}}, last + 700);
    const parsed_t p = parse(metrics_text(metrics_snapshot(m), "x", false));
    EXPECT_EQ(num(p, "tarn_vrx_stall_seconds_count{pipe=\"x\"}"), 1);
    EXPECT_NEAR(num(p, "tarn_vrx_stall_seconds_sum{pipe=\"x\"}"), 0.7, 1e-9);
    EXPECT_EQ(num(p, "tarn_vrx_stall_seconds_bucket{pipe=\"x\",le=\"0.5\"}"), 0);
    EXPECT_EQ(num(p, "tarn_vrx_stall_seconds_bucket{pipe=\"x\",le=\"1\"}"), 1);
    EXPECT_EQ(num(p, "tarn_vrx_stall_seconds_bucket{pipe=\"x\",le=\"+Inf\"}"), 1);
    EXPECT_EQ(num(p, "tarn_vrx_events_total{pipe=\"x\",kind=\"stall\",severity=\"warn\"}") +
                  num(p, "tarn_vrx_events_total{pipe=\"x\",kind=\"stall\",severity=\"crit\"}"),
              1);
}

TEST(TopMetrics, openmetrics_names_counter_families_without_total_and_ends_with_eof)
{
    top_model_t m;
    feed(m, {{1}}, 0);
    const metrics_snapshot_t s = metrics_snapshot(m);
    const std::string om = metrics_text(s, "p", true);
    const std::string text = metrics_text(s, "p", false);
    EXPECT_NE(om.find("# TYPE tarn_vrx_frames counter\n"), std::string::npos);
    EXPECT_NE(om.find("# TYPE tarn_vrx_events counter\n"), std::string::npos);
    EXPECT_NE(om.find("\ntarn_vrx_frames_total{pipe=\"p\"} 1\n"), std::string::npos);
    EXPECT_NE(om.find("# TYPE tarn_vrx_latency_seconds histogram\n"), std::string::npos);
    EXPECT_EQ(om.compare(om.size() - 6, 6, "# EOF\n"), 0);
    EXPECT_EQ(om.find("_total counter"), std::string::npos);
    EXPECT_NE(text.find("# TYPE tarn_vrx_frames_total counter\n"), std::string::npos);
    EXPECT_EQ(text.find("# EOF"), std::string::npos);
    // The samples are the same in both.
    parsed_t a = parse(om), b = parse(text);
    EXPECT_EQ(a.value, b.value);
}

TEST(TopMetrics, the_pipe_label_is_escaped)
{
    EXPECT_EQ(metrics_label_value("/run/bpa/vrx_latency"), "/run/bpa/vrx_latency");
    EXPECT_EQ(metrics_label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(metrics_label_value("t\tx\x7f"), "t?x?");
    EXPECT_EQ(metrics_label_value("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(metrics_label_value("a\xff" "b\xc3"), "a?b?");
    EXPECT_EQ(metrics_label_value("\xc0\xaf\xed\xa0\x80"), "?????") << "overlong and surrogate";
    top_model_t m;
    const std::string text = metrics_text(metrics_snapshot(m), "/tmp/a\"b\n", false);
    EXPECT_NE(text.find("tarn_vrx_frames_total{pipe=\"/tmp/a\\\"b\\n\"} 0\n"), std::string::npos);
    // No raw line feed inside a sample: every line is a comment or a sample.
    for (const std::string& line : parse(text).lines)
        EXPECT_TRUE(line.rfind("# ", 0) == 0 || line.rfind("tarn_vrx_", 0) == 0) << line;
}

TEST(TopMetrics, accept_header_and_address)
{
    EXPECT_TRUE(metrics_wants_openmetrics("application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                                          "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1"));
    EXPECT_TRUE(metrics_wants_openmetrics("text/plain, Application/OpenMetrics-Text ; q=0.2"));
    EXPECT_FALSE(metrics_wants_openmetrics("text/plain;version=0.0.4"));
    EXPECT_FALSE(metrics_wants_openmetrics("application/openmetrics-text;q=0"));
    EXPECT_FALSE(metrics_wants_openmetrics("application/openmetrics-textual"));
    EXPECT_FALSE(metrics_wants_openmetrics(nullptr));
    EXPECT_FALSE(metrics_wants_openmetrics(""));

    struct ok_t {
        const char* text;
        const char* host;
        int port;
    };
    for (const ok_t& c : {ok_t{"9100", "", 9100}, ok_t{"0.0.0.0:9877", "0.0.0.0", 9877}, ok_t{"10.1.2.3", "10.1.2.3", 9877},
                          ok_t{"[::1]:9000", "::1", 9000}, ok_t{"[::]", "::", 9877}, ok_t{"65535", "", 65535}}) {
        std::string host = "?", why;
        int port = 0;
        EXPECT_TRUE(parse_metrics_address(c.text, host, port, why)) << c.text << ": " << why;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    for (const char* bad : {"", "0", "65536", "1.2.3.4:", "1.2.3.4:0", "1.2.3.4:x", "host:80", "[::1", "[::1]x",
                            "[1.2.3.4]:80", "::1:80", "999999"}) {
        std::string host, why;
        int port = 0;
        EXPECT_FALSE(parse_metrics_address(bad, host, port, why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}
