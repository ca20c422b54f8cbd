// The SVG plot of a comparison: the empirical distribution functions of the
// VRX latency of both runs on one axis (all frames, and the slowest tenth
// enlarged), with each run's p50, p95 and p99 marked.
#include <algorithm>
#include <cmath>
#include <iterator>

#include <fmt/format.h>

#include "latency_compare.h"
#include "latency_report.h"

namespace {

constexpr double WIDTH = 1000, HEIGHT = 820;
constexpr double PLOT_X = 80, PLOT_W = 880, PLOT_H = 260;
constexpr double PANEL_Y[2] = {150, 500};
constexpr const char* COLOUR[2] = {"#1f5fbf", "#e8730c"};
constexpr const char* RUN_NAME[2] = {"A", "B"};

// Text for XML: markup characters as entities, control characters and bytes
// that are not UTF-8 as '?', so any file name gives a well-formed document.
std::string xml_text(const std::string& s)
{
    std::string o;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        switch (c) {
        case '&':
            o += "&amp;";
            i++;
            continue;
        case '<':
            o += "&lt;";
            i++;
            continue;
        case '>':
            o += "&gt;";
            i++;
            continue;
        case '"':
            o += "&quot;";
            i++;
            continue;
        case '\'':
            o += "&apos;";
            i++;
            continue;
        default: break;
        }
        if (c < 0x20 || c == 0x7f) {
            o += '?';
            i++;
            continue;
        }
        if (c < 0x80) {
            o += static_cast<char>(c);
            i++;
            continue;
        }
        // A whole, shortest-form UTF-8 sequence of a character XML allows.
        int len = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        uint32_t cp = len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
        bool ok = len > 0 && i + static_cast<size_t>(len) <= s.size();
        for (int k = 1; ok && k < len; k++) {
            const auto d = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            ok = (d & 0xc0) == 0x80;
            cp = cp << 6 | (d & 0x3f);
        }
        ok = ok && !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10ffff)) &&
             !(cp >= 0xd800 && cp <= 0xdfff) && cp != 0xfffe && cp != 0xffff;
        if (!ok) {
            o += '?';
            i++;
            continue;
        }
        o.append(s, i, static_cast<size_t>(len));
        i += static_cast<size_t>(len);
    }
    return o;
}

struct panel_t {
    double top;
    double x0, x1;  // ms
    double y0, y1;  // fraction of frames
    double px(double ms) const { return PLOT_X + (ms - x0) / (x1 - x0) * PLOT_W; }
    double py(double f) const { return top + PLOT_H - (f - y0) / (y1 - y0) * PLOT_H; }
};

void axes(fmt::memory_buffer& o, const panel_t& p, const std::string& title, double ystep)
{
    auto put = [&](auto&&... a) { fmt::format_to(std::back_inserter(o), a...); };
    put("<text x=\"{}\" y=\"{:.1f}\" font-size=\"15\" font-weight=\"bold\">{}</text>\n", PLOT_X, p.top - 14,
        xml_text(title));
    put("<rect x=\"{}\" y=\"{:.1f}\" width=\"{}\" height=\"{}\" fill=\"#ffffff\" stroke=\"#888888\"/>\n", PLOT_X, p.top,
        PLOT_W, PLOT_H);
    const double xs = nice_step(p.x1 - p.x0, 10);
    for (double v = std::ceil(p.x0 / xs) * xs; v <= p.x1 + xs * 1e-9; v += xs) {
        const double x = p.px(v);
        put("<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"#e4e4e4\"/>\n", x, p.top,
            p.top + PLOT_H);
        put("<text x=\"{:.1f}\" y=\"{:.1f}\" font-size=\"12\" text-anchor=\"middle\">{}</text>\n", x,
            p.top + PLOT_H + 16, tick_label(v, xs));
    }
    for (double f = p.y0; f <= p.y1 + 1e-9; f += ystep) {
        const double y = p.py(f);
        put("<line x1=\"{0}\" y1=\"{1:.1f}\" x2=\"{2}\" y2=\"{1:.1f}\" stroke=\"#e4e4e4\"/>\n", PLOT_X, y,
            PLOT_X + PLOT_W);
        put("<text x=\"{:.1f}\" y=\"{:.1f}\" font-size=\"12\" text-anchor=\"end\">{}</text>\n", PLOT_X - 6, y + 4,
            tick_label(f, ystep / 10));
    }
    put("<text x=\"{:.1f}\" y=\"{:.1f}\" font-size=\"12\" text-anchor=\"middle\">VRX latency (ms)</text>\n",
        PLOT_X + PLOT_W / 2, p.top + PLOT_H + 34);
    put("<text x=\"20\" y=\"{0:.1f}\" font-size=\"12\" text-anchor=\"middle\" transform=\"rotate(-90 20 {0:.1f})\">"
        "share of frames at or below</text>\n",
        p.top + PLOT_H / 2);
}

// The share of values <= t, for sorted values.
double cdf(const std::vector<int32_t>& v, double t_ms)
{
    if (v.empty()) return 0;
    const double t = std::floor(t_ms * 1000 + 1e-6);
    const auto it = std::upper_bound(v.begin(), v.end(), t, [](double a, int32_t b) { return a < b; });
    return static_cast<double>(it - v.begin()) / static_cast<double>(v.size());
}

// A staircase through the distribution function at every pixel column.
void curve(fmt::memory_buffer& o, const panel_t& p, const std::vector<int32_t>& v, const char* colour)
{
    if (v.empty()) return;
    const int cols = static_cast<int>(PLOT_W);
    auto clamp_y = [&](double f) { return p.py(std::min(p.y1, std::max(p.y0, f))); };
    fmt::format_to(std::back_inserter(o), "<path fill=\"none\" stroke=\"{}\" stroke-width=\"2\" d=\"M{:.1f} {:.1f}",
                   colour, PLOT_X, clamp_y(cdf(v, p.x0)));
    for (int i = 1; i <= cols; i++) {
        const double ms = p.x0 + (p.x1 - p.x0) * i / cols;
        fmt::format_to(std::back_inserter(o), " H{:.1f} V{:.1f}", PLOT_X + i, clamp_y(cdf(v, ms)));
    }
    fmt::format_to(std::back_inserter(o), "\"/>\n");
}

void markers(fmt::memory_buffer& o, const panel_t& p, const compare_figure_t (&fig)[ST_COUNT], int w)
{
    const char* const names[3] = {"p50", "p95", "p99"};
    const double frac[3] = {0.50, 0.95, 0.99};
    for (int q = 0; q < 3; q++) {
        const int64_t t = w == 0 ? fig[q].a : fig[q].b;
        if (t == NO_VALUE) continue;
        const double ms = static_cast<double>(t) / 1000;
        if (ms < p.x0 || ms > p.x1 || frac[q] < p.y0) continue;
        const double x = p.px(ms), y = p.py(frac[q]);
        fmt::format_to(std::back_inserter(o),
                       "<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"{3}\" "
                       "stroke-dasharray=\"4 3\"/>\n"
                       "<circle cx=\"{0:.1f}\" cy=\"{4:.1f}\" r=\"4\" fill=\"{3}\"/>\n"
                       "<text x=\"{5:.1f}\" y=\"{6:.1f}\" font-size=\"11\" fill=\"{3}\">{7} {8}</text>\n",
                       x, p.top + PLOT_H, p.top, COLOUR[w], y, x + 3, p.top + 13 + 13 * (3 * w + q), names[q],
                       thousandths_text(t));
    }
}

}  // namespace

std::string render_compare_svg(const compare_run_t& a, const compare_run_t& b, const compare_result_t& c)
{
    std::vector<int32_t> v[2];
    const compare_run_t* runs[2] = {&a, &b};
    for (int w = 0; w < 2; w++) {
        for (int32_t x : runs[w]->values[SER_VRX])
            if (x != NOT_A_VALUE) v[w].push_back(x);
        std::sort(v[w].begin(), v[w].end());
    }
    // Both panels end at the higher p99.9, so one far outlier does not
    // squash the rest; the second starts at the lower p90.
    double lo = 0, hi = 1, tail = 0;
    bool first = true;
    for (int w = 0; w < 2; w++) {
        if (v[w].empty()) continue;
        const double l = v[w].front() / 1000.0, h = nearest_rank_sorted(v[w], 999, 1000) / 1000.0,
                     t = nearest_rank_sorted(v[w], 90, 100) / 1000.0;
        lo = first ? l : std::min(lo, l);
        hi = first ? h : std::max(hi, h);
        tail = first ? t : std::min(tail, t);
        first = false;
    }
    if (!(hi > lo)) hi = lo + 1;
    if (!(hi > tail)) tail = lo;
    const double pad = (hi - lo) * 0.02;
    const panel_t panels[2] = {{PANEL_Y[0], lo - pad, hi + pad, 0.0, 1.0},
                               {PANEL_Y[1], tail - (hi - tail) * 0.02, hi + (hi - tail) * 0.02, 0.9, 1.0}};

    fmt::memory_buffer o;
    auto put = [&](auto&&... x) { fmt::format_to(std::back_inserter(o), x...); };
    put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"{0}\" height=\"{1}\" "
        "viewBox=\"0 0 {0} {1}\" font-family=\"DejaVu Sans, sans-serif\">\n"
        "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n",
        WIDTH, HEIGHT);
    put("<text x=\"{}\" y=\"34\" font-size=\"19\" font-weight=\"bold\">VRX latency of run A and run B</text>\n",
        PLOT_X);
    for (int w = 0; w < 2; w++) {
        const compare_run_t& r = *runs[w];
        const double y = 62 + 24 * w;
        put("<line x1=\"{0}\" y1=\"{1:.1f}\" x2=\"{2}\" y2=\"{1:.1f}\" stroke=\"{3}\" stroke-width=\"3\"/>\n", PLOT_X,
            y - 4, PLOT_X + 26, COLOUR[w]);
        const compare_figure_t(&f)[ST_COUNT] = c.fig[SER_VRX];
        auto pick = [&](int s) { return thousandths_text(w == 0 ? f[s].a : f[s].b); };
        put("<text x=\"{}\" y=\"{:.1f}\" font-size=\"13\">{}: {}, run {} ({} frames): p50 {}, p95 {}, p99 {} ms"
            "</text>\n",
            PLOT_X + 34, y, RUN_NAME[w], xml_text(r.log), r.run, v[w].size(), pick(ST_P50), pick(ST_P95), pick(ST_P99));
    }
    const compare_figure_t& d95 = c.fig[SER_VRX][ST_P95];
    if (d95.low != NO_VALUE)
        put("<text x=\"{}\" y=\"{}\" font-size=\"13\">p95 B - A: {} ms, 95 % interval {} .. {} ms: {}</text>\n", PLOT_X,
            118, thousandths_text(d95.diff, true), thousandths_text(d95.low, true), thousandths_text(d95.high, true),
            d95.real ? "a real change" : "no real change");

    const char* titles[2] = {"Share of frames at or below each latency (x axis ends at the higher p99.9)",
                             "The slowest tenth enlarged (from 0.90)"};
    for (int k = 0; k < 2; k++) {
        const panel_t& p = panels[k];
        axes(o, p, titles[k], k == 0 ? 0.1 : 0.01);
        for (int w = 0; w < 2; w++) curve(o, p, v[w], COLOUR[w]);
        for (int w = 0; w < 2; w++) markers(o, p, c.fig[SER_VRX], w);
    }
    put("</svg>\n");
    return fmt::to_string(o);
}
