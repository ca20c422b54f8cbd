// The view's figures as Prometheus metrics: a copy of the model's counters,
// gauges and fixed-bucket histograms taken under its lock, and the text a
// scrape gets, formatted after the lock is let go. The HTTP side is in
// metrics_server.h.
#ifndef TARN_TOP_METRICS_H
#define TARN_TOP_METRICS_H

#include <cstdint>
#include <string>

#include "top_model.h"

// The port tarn-vrx-top serves its metrics on when --metrics names only an
// address (the convention of these tools: the receiver's view on 9877).
constexpr int METRICS_DEFAULT_PORT = 9877;

struct metrics_snapshot_t {
    uint64_t frames = 0, lost = 0, repeated = 0, out_of_order = 0, bad_records = 0, connections = 0;
    uint64_t viewer_dropped = 0;
    uint64_t events[EV_KIND_COUNT][2] = {};
    bool connected = false, degraded = false;
    bool have_last = false;  // the gauges of the last record
    double rssi_dbm = 0, fps = 0, input_bps = 0;
    latency_histogram_t latency[METRIC_STAGES][2];
    stall_histogram_t stall;
};

// The figures of m as of now. Takes m.mu, only to copy.
metrics_snapshot_t metrics_snapshot(top_model_t& m);

// The exposition of s, every series labelled pipe="<pipe>": the Prometheus
// text format (0.0.4), or OpenMetrics 1.0 (counter families named without
// _total, "# EOF" at the end).
std::string metrics_text(const metrics_snapshot_t& s, const std::string& pipe, bool openmetrics);

// Whether an Accept header asks for OpenMetrics (a media range
// application/openmetrics-text without q=0); nullptr: no.
bool metrics_wants_openmetrics(const char* accept);

// Content-Type of the two formats.
extern const char METRICS_TEXT_TYPE[];
extern const char METRICS_OPENMETRICS_TYPE[];

// A label value as the exposition formats write it between quotes:
// backslash, double quote and line feed escaped; other control bytes and
// bytes that are not UTF-8 become '?'.
std::string metrics_label_value(const std::string& v);

// "[ADDR:]PORT", "ADDR" (port METRICS_DEFAULT_PORT) or "[IPV6]:PORT" into
// host (empty: 127.0.0.1) and port. False with why for anything else.
bool parse_metrics_address(const std::string& text, std::string& host, int& port, std::string& why);

#endif
