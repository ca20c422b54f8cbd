// Statistics of a run of the inspector's log and their text and JSON forms.
#include "latency_report.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include <fmt/format.h>

const column_info_t REPORT_COLUMNS[COL_COUNT] = {
    {"Input MBPS", "input_mbps", "Mbit/s", 2},
    {"VTX Latency", "vtx_latency_ms", "ms", 3},
    {"VRX Latency", "vrx_latency_ms", "ms", 3},
    {"Average Latency", "average_latency_ms", "ms", 3},
    {"Frame Latency", "frame_latency_ms", "ms", 3},
    {"FEC Latency", "fec_latency_ms", "ms", 3},
    {"Decode Latency", "decode_latency_ms", "ms", 3},
    {"Render Latency", "render_latency_ms", "ms", 3},
    {"PCAP Delta", "pcap_delta_ms", "ms", 3},
    {"FPS", "fps", "frames/s", 3},
    {"RSSI", "rssi_dbm", "dBm", 0},
    {"Fragments", "fragments", "count", 0},
};

double nearest_rank(std::vector<double>& v, uint64_t num, uint64_t den)
{
    if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
    const auto k = static_cast<std::ptrdiff_t>(nearest_rank_index(v.size(), num, den) - 1);
    std::nth_element(v.begin(), v.begin() + k, v.end());
    return v[static_cast<size_t>(k)];
}

namespace {

// The log holds every value with at most 3 decimals; a float read from it is
// the nearest float to that decimal, so rounding to thousandths gives the
// decimal back (as the double nearest to it). Values too large for
// thousandths to matter are kept.
double log_value(double x)
{
    return std::fabs(x) < 1e12 ? std::round(x * 1000) / 1000 : x;
}

}  // namespace

template <typename T>
column_stats_t column_stats(std::vector<T>& v, uint64_t nonfinite)
{
    column_stats_t s;
    s.n = v.size();
    s.nonfinite = nonfinite;
    if (v.empty()) {
        s.min = s.mean = s.p50 = s.p95 = s.p99 = s.max = std::numeric_limits<double>::quiet_NaN();
        return s;
    }
    double sum = 0;
    T lo = v[0], hi = v[0];
    for (T x : v) {
        sum += log_value(x);
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    s.min = lo;
    s.max = hi;
    s.mean = sum / static_cast<double>(v.size());
    // Each nth_element leaves the larger values above its rank, so the next,
    // higher percentile only needs to search the part above.
    const uint64_t n = v.size();
    const auto k50 = static_cast<std::ptrdiff_t>(nearest_rank_index(n, 50, 100) - 1);
    const auto k95 = static_cast<std::ptrdiff_t>(nearest_rank_index(n, 95, 100) - 1);
    const auto k99 = static_cast<std::ptrdiff_t>(nearest_rank_index(n, 99, 100) - 1);
    std::nth_element(v.begin(), v.begin() + k50, v.end());
    s.p50 = v[static_cast<size_t>(k50)];
    std::nth_element(v.begin() + k50, v.begin() + k95, v.end());
    s.p95 = v[static_cast<size_t>(k95)];
    std::nth_element(v.begin() + k95, v.begin() + k99, v.end());
    s.p99 = v[static_cast<size_t>(k99)];
    return s;
}
template column_stats_t column_stats(std::vector<float>&, uint64_t);
template column_stats_t column_stats(std::vector<double>&, uint64_t);

void run_start(run_data_t& d, int run, size_t line, bool header)
{
    d = run_data_t{};
    d.run = run;
    d.has_header = header;
    d.first_line = d.last_line = line;
}

void run_add_row(run_data_t& d, size_t line, const latency_row_t& row)
{
    d.last_line = line;
    d.rows.push_back(row);
    d.ids.push_back(track_id(d.tracker, row.sample_id));
}

void run_add_malformed(run_data_t& d, size_t line, const char* reason)
{
    d.last_line = line;
    d.malformed++;
    if (d.malformed_lines.size() < MAX_LISTED) d.malformed_lines.emplace_back(line, reason);
}

run_summary_t summarize_run(const run_data_t& d)
{
    run_summary_t s;
    s.run = d.run;
    s.has_header = d.has_header;
    s.first_line = d.first_line;
    s.last_line = d.last_line;
    s.frames = d.rows.size();
    if (!d.rows.empty()) {
        s.first_id = d.rows.front().sample_id;
        s.last_id = d.rows.back().sample_id;
    }
    s.missing = d.tracker.missing;
    s.repeats = d.tracker.repeats;
    s.out_of_order = d.tracker.out_of_order;
    s.gap_count = d.tracker.gaps.size();
    for (const id_range_t& g : d.tracker.first_gaps(MAX_LISTED)) {
        s.gaps.emplace_back(static_cast<uint32_t>(g.first), static_cast<uint64_t>(g.last - g.first + 1));
    }
    s.malformed = d.malformed;
    s.malformed_lines = d.malformed_lines;

    // One pass over the rows fills every column; the float columns are
    // kept as floats (half the memory traffic), the two integer columns as
    // doubles, which hold any 32-bit value exactly.
    const size_t n = d.rows.size();
    std::vector<float> cols[COL_COUNT];
    std::vector<double> ints[2];
    std::vector<float> vrx_i, vrx_p;
    uint64_t bad[COL_COUNT] = {};
    for (int c = 0; c < COL_RSSI; c++) cols[c].reserve(n);
    ints[0].reserve(n);
    ints[1].reserve(n);
    for (const latency_row_t& r : d.rows) {
        const float f[COL_RSSI] = {r.input_mbps, r.vtx_latency_ms, r.vrx_latency_ms, r.avg_latency_ms,
                                   r.frame_latency_ms, r.fec_latency_ms, r.decode_latency_ms,
                                   r.render_latency_ms, r.pcap_delta_ms, r.fps};
        for (int c = 0; c < COL_RSSI; c++) {
            if (std::isfinite(f[c]))
                cols[c].push_back(f[c]);
            else
                bad[c]++;
        }
        ints[0].push_back(r.rssi_dbm);
        ints[1].push_back(r.fragments);
        if (std::isfinite(r.vrx_latency_ms)) {
            if (r.kind == FRAME_KIND_I) vrx_i.push_back(r.vrx_latency_ms);
            else if (r.kind == FRAME_KIND_P) vrx_p.push_back(r.vrx_latency_ms);
        }
    }
    for (int c = 0; c < COL_RSSI; c++) {
        s.columns[c] = column_stats(cols[c], bad[c]);
        std::vector<float>().swap(cols[c]);
    }
    s.columns[COL_RSSI] = column_stats(ints[0], 0);
    s.columns[COL_FRAGMENTS] = column_stats(ints[1], 0);
    s.vrx_i = column_stats(vrx_i, 0);
    s.vrx_p = column_stats(vrx_p, 0);

    double sums[5] = {0, 0, 0, 0, 0};
    for (const latency_row_t& r : d.rows) {
        switch (r.kind) {
        case FRAME_KIND_I: s.i_frames++; break;
        case FRAME_KIND_P: s.p_frames++; break;
        default: s.other_frames++; break;
        }
        const float parts[5] = {r.frame_latency_ms, r.fec_latency_ms, r.decode_latency_ms,
                                r.render_latency_ms, r.vrx_latency_ms};
        if (!std::all_of(parts, parts + 5, [](float x) { return std::isfinite(x); })) continue;
        for (int i = 0; i < 5; i++) sums[i] += parts[i];
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double used = 0;
    for (int i = 0; i < 4; i++) {
        s.share[i] = sums[4] != 0 ? sums[i] / sums[4] : nan;
        used += s.share[i];
    }
    s.share_rest = sums[4] != 0 ? 1.0 - used : nan;
    return s;
}

namespace {

std::string num(double v, int decimals)
{
    if (std::isnan(v)) return "-";
    return fmt::format("{:.{}f}", v, decimals);
}

void stats_line(fmt::memory_buffer& out, const char* title, const char* unit, int decimals,
                const column_stats_t& c)
{
    fmt::format_to(std::back_inserter(out), "  {:<18} {:<9} {:>8} {:>10} {:>10} {:>10} {:>10} {:>10} {:>10}",
                   title, unit, c.n, num(c.min, decimals), num(c.mean, std::max(decimals, 1)),
                   num(c.p50, decimals), num(c.p95, decimals), num(c.p99, decimals),
                   num(c.max, decimals));
    if (c.nonfinite) fmt::format_to(std::back_inserter(out), "  ({} non-finite left out)", c.nonfinite);
    out.push_back('\n');
}

std::string id_span(uint32_t first, uint64_t count)
{
    if (count == 1) return fmt::format("{}", first);
    const auto last = static_cast<uint32_t>(first + (count - 1));
    return fmt::format("{}-{}", first, last);
}

constexpr size_t TEXT_LISTED = 20;

}  // namespace

std::string format_run_text(const run_summary_t& s)
{
    fmt::memory_buffer out;
    auto put = [&](auto&&... a) { fmt::format_to(std::back_inserter(out), a...); };
    put("run {}: lines {}-{}{}\n", s.run, s.first_line, s.last_line,
        s.has_header ? "" : " (no header line: rows before the first header)");
    put("  frames:          {}\n", s.frames);
    if (s.frames > 0)
        put("  sample ids:      first {}, last {}\n", s.first_id, s.last_id);
    put("  missing ids:     {} in {} gap{}\n", s.missing, s.gap_count, s.gap_count == 1 ? "" : "s");
    if (s.gap_count > 0) {
        put("    gaps:");
        for (size_t i = 0; i < s.gaps.size() && i < TEXT_LISTED; i++)
            put(" {} ({})", id_span(s.gaps[i].first, s.gaps[i].second), s.gaps[i].second);
        if (s.gap_count > TEXT_LISTED) put(" ... and {} more", s.gap_count - TEXT_LISTED);
        put("\n");
    }
    put("  repeats:         {}\n", s.repeats);
    put("  out of order:    {}\n", s.out_of_order);
    put("  frame types:     {} I-frames, {} P-frames, {} other\n", s.i_frames, s.p_frames, s.other_frames);
    put("  malformed lines: {}\n", s.malformed);
    for (size_t i = 0; i < s.malformed_lines.size() && i < TEXT_LISTED; i++)
        put("    line {}: {}\n", s.malformed_lines[i].first, s.malformed_lines[i].second);
    if (s.malformed > TEXT_LISTED) put("    ... and {} more\n", s.malformed - TEXT_LISTED);
    put("\n  {:<18} {:<9} {:>8} {:>10} {:>10} {:>10} {:>10} {:>10} {:>10}\n", "column", "unit", "n",
        "min", "mean", "p50", "p95", "p99", "max");
    for (int c = 0; c < COL_COUNT; c++) {
        const column_info_t& ci = REPORT_COLUMNS[c];
        stats_line(out, ci.title, ci.unit, ci.decimals, s.columns[c]);
        if (c == COL_VRX) {
            stats_line(out, "  I-frames", "ms", 3, s.vrx_i);
            stats_line(out, "  P-frames", "ms", 3, s.vrx_p);
        }
    }
    auto pct = [](double v) { return std::isnan(v) ? std::string("-") : fmt::format("{:.1f} %", 100 * v); };
    put("\n  share of VRX Latency: frame {}, FEC {}, decode {}, render {}, rest {}\n", pct(s.share[0]),
        pct(s.share[1]), pct(s.share[2]), pct(s.share[3]), pct(s.share_rest));
    return fmt::to_string(out);
}

namespace {

// Rounded to the given decimals so the JSON shows the log's 20.254, not the
// float's 20.254000473022461 or 20.253999.
cJSON* json_number(double v, int decimals = 6)
{
    if (!std::isfinite(v)) return cJSON_CreateNull();
    if (std::fabs(v) >= 1e12) return cJSON_CreateNumber(v);
    const double scale = std::pow(10.0, decimals);
    return cJSON_CreateNumber(std::round(v * scale) / scale);
}

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
    for (int c = 0; c < COL_COUNT; c++)
        cJSON_AddItemToObject(cols, REPORT_COLUMNS[c].key, stats_json(s.columns[c], REPORT_COLUMNS[c].unit));
    cJSON_AddItemToObject(o, "vrx_latency_ms_i_frames", stats_json(s.vrx_i, "ms"));
    cJSON_AddItemToObject(o, "vrx_latency_ms_p_frames", stats_json(s.vrx_p, "ms"));
    cJSON* share = cJSON_AddObjectToObject(o, "share_of_vrx_latency");
    const char* stages[4] = {"frame", "fec", "decode", "render"};
    for (int i = 0; i < 4; i++) cJSON_AddItemToObject(share, stages[i], json_number(s.share[i]));
    cJSON_AddItemToObject(share, "rest", json_number(s.share_rest));
    return o;
}
