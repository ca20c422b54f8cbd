// The run summary as text (latency_summary.h).
#include "latency_summary.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include <fmt/format.h>

namespace {

std::string num(double v, int decimals)
{
    if (std::isnan(v)) return "-";
    return fmt::format("{:.{}f}", v, decimals);
}

void stats_line(fmt::memory_buffer& out, const char* title, const char* unit, int decimals, const column_stats_t& c,
                bool narrow)
{
    if (narrow)
        fmt::format_to(std::back_inserter(out), "  {:<15}{:>9}{:>9}{:>9}{:>9}{:>9}{:>9}{:>9}", title, c.n,
                       num(c.min, decimals), num(c.mean, std::max(decimals, 1)), num(c.p50, decimals),
                       num(c.p95, decimals), num(c.p99, decimals), num(c.max, decimals));
    else
        fmt::format_to(std::back_inserter(out), "  {:<18} {:<9} {:>8} {:>10} {:>10} {:>10} {:>10} {:>10} {:>10}",
                       title, unit, c.n, num(c.min, decimals), num(c.mean, std::max(decimals, 1)),
                       num(c.p50, decimals), num(c.p95, decimals), num(c.p99, decimals), num(c.max, decimals));
    if (c.nonfinite) fmt::format_to(std::back_inserter(out), "  ({} non-finite left out)", c.nonfinite);
    // Too many distinct values to count each, and input read only once: the
    // percentiles are the middle of the range their rank lies in.
    if (c.pct_error > 0)
        fmt::format_to(std::back_inserter(out), "  (p50, p95, p99 approximate: within +/-{:.6g})", c.pct_error);
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

std::string format_run_text(const run_summary_t& s, const summary_text_options& options)
{
    fmt::memory_buffer out;
    auto put = [&](auto&&... a) { fmt::format_to(std::back_inserter(out), a...); };
    if (options.log_lines)
        put("run {}: lines {}-{}{}\n", s.run, s.first_line, s.last_line,
            s.has_header ? "" : " (no header line: rows before the first header)");
    put("  frames:          {}\n", s.frames);
    if (s.frames > 0) put("  sample ids:      first {}, last {}\n", s.first_id, s.last_id);
    put("  missing ids:     {} in {} gap{}\n", s.missing, s.gap_count, s.gap_count == 1 ? "" : "s");
    if (s.gap_count > 0) {
        // Narrow: wrapped at 80 columns.
        std::string line = "    gaps:";
        auto item = [&](const std::string& text) {
            if (options.narrow && line.size() + text.size() > 80) {
                put("{}\n", line);
                line = "         ";
            }
            line += text;
        };
        for (size_t i = 0; i < s.gaps.size() && i < TEXT_LISTED; i++)
            if (s.times_from_ids && s.frame_period_ms > 0)
                item(fmt::format(" {} ({}, {:.2f} s)", id_span(s.gaps[i].first, s.gaps[i].second), s.gaps[i].second,
                                 static_cast<double>(s.gaps[i].second + 1) * s.frame_period_ms / 1000));
            else
                item(fmt::format(" {} ({})", id_span(s.gaps[i].first, s.gaps[i].second), s.gaps[i].second));
        if (s.gap_count > TEXT_LISTED) item(fmt::format(" ... and {} more", s.gap_count - TEXT_LISTED));
        put("{}\n", line);
    }
    put("  repeats:         {}\n", s.repeats);
    put("  out of order:    {}\n", s.out_of_order);
    put("  frame types:     {} I-frames, {} P-frames, {} other\n", s.i_frames, s.p_frames, s.other_frames);
    if (options.log_lines) {
        put("  malformed lines: {}\n", s.malformed);
        for (size_t i = 0; i < s.malformed_lines.size() && i < TEXT_LISTED; i++)
            put("    line {}: {}\n", s.malformed_lines[i].first, s.malformed_lines[i].second);
        if (s.malformed > TEXT_LISTED) put("    ... and {} more\n", s.malformed - TEXT_LISTED);
    }
    const bool nw = options.narrow;
    if (nw)
        put("\n  {:<15}{:>9}{:>9}{:>9}{:>9}{:>9}{:>9}{:>9}\n", "column", "n", "min", "mean", "p50", "p95", "p99", "max");
    else
        put("\n  {:<18} {:<9} {:>8} {:>10} {:>10} {:>10} {:>10} {:>10} {:>10}\n", "column", "unit", "n", "min",
            "mean", "p50", "p95", "p99", "max");
    const latency_column_t& vrx = stat_column(STAT_VRX);
    for (int c = 0; c < STAT_COLUMN_COUNT; c++) {
        const latency_column_t& ci = stat_column(c);
        stats_line(out, ci.csv_title, ci.unit, ci.report_decimals, s.columns[c], nw);
        if (c == STAT_VRX) {
            stats_line(out, latency_series_title(SER_VRX_I), vrx.unit, vrx.report_decimals, s.vrx_i, nw);
            stats_line(out, latency_series_title(SER_VRX_P), vrx.unit, vrx.report_decimals, s.vrx_p, nw);
        }
    }
    if (s.times_from_ids && s.frames > 1) {
        auto fps = [](double v) { return std::isfinite(v) ? fmt::format("{:.1f}", v) : std::string("-"); };
        put("  frame pacing:    longest gap {:.3f} s (after id {}), gaps over 100 ms: {}, over 500 ms: {}\n",
            s.longest_gap_ms / 1000, s.longest_gap_after, s.stalls_100ms, s.stalls_500ms);
        put("                   1 % low {} fps, 0.1 % low {} fps (ids); reported fps p1 {}, p0.1 {}\n",
            fps(s.low_1pct_fps), fps(s.low_01pct_fps), fps(s.fps_p1), fps(s.fps_p01));
        auto dbm = [](double v) { return std::isfinite(v) ? fmt::format("{:.0f}", v) : std::string("-"); };
        put("  signal:          RSSI p5 {} dBm, p1 {} dBm, min {} dBm\n", dbm(s.rssi_p5), dbm(s.rssi_p1),
            dbm(s.columns[STAT_RSSI].min));
    }
    if (s.other_codec_frames > 0)
        put("  warning:         {} frames carry frame-type codes of the other codec than the settings name "
            "({} I-frames, {} P-frames, {} other counted): the I/P figures may be wrong\n",
            s.other_codec_frames, s.i_frames, s.p_frames, s.other_frames);
    uint64_t total = 0;
    for (uint64_t c : s.event_counts) total += c;
    if (total > 0) {
        put("  events:          {}", total);
        const char* sep = " (";
        for (int k = 0; k < EV_KIND_COUNT; k++) {
            if (s.event_counts[k] == 0) continue;
            put("{}{} {}", sep, event_kind_name(static_cast<event_kind_e>(k)), s.event_counts[k]);
            sep = ", ";
        }
        put("){}\n", !s.times_from_ids   ? ""
                      : s.start_wall >= 0 ? "; times in s from the run's start and of day"
                                          : "; times in s from the run's start, from its ids and frame rate");
        for (size_t i = 0; i < s.events.size() && i < TEXT_LISTED * 5; i++)
            put("    {}\n", event_text(s.events[i], s.events_t0_ms));
        if (total > TEXT_LISTED * 5) put("    ... and {} more\n", total - TEXT_LISTED * 5);
    } else {
        put("  events:          none\n");
    }
    auto pct = [](double v) { return std::isnan(v) ? std::string("-") : fmt::format("{:.1f} %", 100 * v); };
    put(nw ? "\n  VRX share: frame {}, FEC {}, decode {}, render {}, rest {}\n"
           : "\n  share of VRX Latency: frame {}, FEC {}, decode {}, render {}, rest {}\n", pct(s.share[0]), pct(s.share[1]),
        pct(s.share[2]), pct(s.share[3]), pct(s.share_rest));
    return fmt::to_string(out);
}
