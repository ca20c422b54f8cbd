// The SVG plot of a run: latency per frame, the receiver stages stacked, and
// a histogram of the receiver latency. Plain SVG 1.1 that any renderer draws.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <iterator>
#include <limits>
#include <tuple>

#include <fmt/format.h>

#include "latency_report.h"

// A tick step of 1, 2 or 5 times a power of ten giving about n ticks.
double nice_step(double range, int n)
{
    if (!(range > 0) || !std::isfinite(range)) return 1;
    const double raw = range / n;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / p;
    return (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * p;
}

std::string tick_label(double v, double step)
{
    if (step >= 1 || v == 0) return fmt::format("{:.0f}", v);
    const int d = std::min(6, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    return fmt::format("{:.{}f}", v, d);
}

namespace {

constexpr double WIDTH = 1000, HEIGHT = 1060;
constexpr double PLOT_X = 80, PLOT_W = 880, PLOT_H = 230;
constexpr double PANEL_Y[3] = {110, 440, 770};  // top of each plot area
constexpr int HIST_BINS = 50;

const char* const STAGE_COLOURS[4] = {"#4e79a7", "#f28e2b", "#59a14f", "#b07aa1"};
const char* const STAGE_NAMES[4] = {"frame", "FEC", "decode", "render"};
constexpr const char* VRX_COLOUR = "#1f5fbf";
constexpr const char* VTX_COLOUR = "#e8730c";
constexpr const char* IFRAME_COLOUR = "#d62728";
constexpr const char* BAND_COLOUR = "#9ec1ef";

// Length of the well-formed UTF-8 sequence at s[i] of a character XML 1.0
// may carry (no surrogates, nothing above U+10FFFF, not U+FFFE or U+FFFF),
// or 0.
size_t utf8_char_length(const std::string& s, size_t i)
{
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t len;
    uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; k++) {
        if ((b(i + k) & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3f);
    }
    const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) || cp == 0xfffe || cp == 0xffff) return 0;
    return len;
}

// Text for an XML attribute or element: markup characters escaped, control
// characters shown as blanks, and bytes that are not well-formed UTF-8 (a
// file name may hold any byte) as U+FFFD, the replacement character.
std::string xml_escape(const std::string& s)
{
    std::string o;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const size_t len = utf8_char_length(s, i);
            if (len == 0) {
                o += "\xEF\xBF\xBD";
                i++;
            } else {
                o.append(s, i, len);
                i += len;
            }
            continue;
        }
        switch (c) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        default:
            // Control characters are not allowed in XML 1.0 text.
            if (c < 0x20)
                o += ' ';
            else
                o += static_cast<char>(c);
        }
        i++;
    }
    return o;
}

struct svg_out {
    fmt::memory_buffer b;
    template <typename... A>
    void put(fmt::format_string<A...> f, A&&... a)
    {
        fmt::format_to(std::back_inserter(b), f, std::forward<A>(a)...);
    }
    void text(double x, double y, const std::string& t, const char* anchor = "start", int size = 12,
              const char* extra = "")
    {
        put("<text x=\"{:.1f}\" y=\"{:.1f}\" font-size=\"{}\" text-anchor=\"{}\"{}>{}</text>\n", x, y, size, anchor,
            extra, xml_escape(t));
    }
};

// Grid, axes, tick labels and axis titles of one plot area.
void axes(svg_out& o, const char* id, double top, double x0, double x1, double xstep, double ymax, double ystep,
          const std::string& xtitle, const std::string& ytitle, bool id_labels)
{
    o.put("<rect id=\"{}\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"#ffffff\" "
          "stroke=\"none\"/>\n",
          id, PLOT_X, top, PLOT_W, PLOT_H);
    const double bottom = top + PLOT_H;
    for (double y = 0; y <= ymax * (1 + 1e-9); y += ystep) {
        const double py = bottom - y / ymax * PLOT_H;
        o.put("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"#e2e2e2\"/>\n", PLOT_X, py,
              PLOT_X + PLOT_W, py);
        o.text(PLOT_X - 6, py + 4, tick_label(y, ystep), "end", 11);
    }
    const double span = x1 - x0;
    for (double x = std::ceil(x0 / xstep) * xstep; x <= x1 + span * 1e-9; x += xstep) {
        const double px = PLOT_X + (span > 0 ? (x - x0) / span : 0.5) * PLOT_W;
        o.put("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"#e2e2e2\"/>\n", px, top, px,
              bottom);
        o.put("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"#333\"/>\n", px, bottom, px,
              bottom + 4);
        // Sample ids are shown as the receiver numbers them, wrapped to 32 bits.
        const std::string label =
            id_labels ? fmt::format("{}", static_cast<uint32_t>(static_cast<int64_t>(x))) : tick_label(x, xstep);
        o.text(px, bottom + 17, label, "middle", 11);
    }
    o.put("<path d=\"M{:.1f} {:.1f}V{:.1f}H{:.1f}\" fill=\"none\" stroke=\"#333\"/>\n", PLOT_X, top, bottom,
          PLOT_X + PLOT_W);
    o.text(PLOT_X + PLOT_W / 2, bottom + 36, xtitle, "middle", 12);
    o.text(0, 0, ytitle, "middle", 12,
           fmt::format(" transform=\"translate({:.1f} {:.1f}) rotate(-90)\"", PLOT_X - 52, top + PLOT_H / 2).c_str());
}

// Legend entries in one line above a plot area: swatch kind 'l' line,
// 'd' dot, 'b' box.
struct legend_item {
    char kind;
    const char* colour;
    std::string label;
};
void legend(svg_out& o, double top, const std::vector<legend_item>& items)
{
    double x = PLOT_X;
    const double y = top - 10;
    for (const legend_item& it : items) {
        if (it.kind == 'l')
            o.put("<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"{}\" stroke-width=\"2\"/>\n",
                  x, y - 4, x + 18, y - 4, it.colour);
        else if (it.kind == 'd')
            o.put("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"3\" fill=\"{}\"/>\n", x + 9, y - 4, it.colour);
        else
            o.put("<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"14\" height=\"10\" fill=\"{}\"/>\n", x + 2, y - 9,
                  it.colour);
        o.text(x + 24, y, it.label, "start", 12);
        // DejaVu Sans at 12 px averages about 6.8 px a character.
        x += 24 + 6.8 * static_cast<double>(it.label.size()) + 22;
    }
}

void panel_title(svg_out& o, double top, const std::string& t)
{
    o.text(PLOT_X - 60, top - 34, t, "start", 15, " font-weight=\"bold\"");
}

std::string fmt_ms(double v)
{
    return std::isnan(v) ? std::string("-") : fmt::format("{:.2f}", v);
}

// Where the panels over the sample ids draw: the bins, their x positions
// and the axis they share.
struct id_axis {
    const run_plot_t& plot;
    const std::vector<plot_bin_t>& bins;
    int nbins;
    bool binned;
    double bin_w, x0, x1, xstep;
    std::string xtitle;
    explicit id_axis(const run_plot_t& p)
        : plot(p), bins(p.bins()), nbins(p.nbins()), binned(p.binned()), bin_w(PLOT_W / p.nbins()),
          x0(static_cast<double>(p.lo()) - 0.5), x1(static_cast<double>(p.hi()) + 0.5),
          xstep(std::max(1.0, nice_step(x1 - x0, 8)))
    {
        const double range = static_cast<double>(p.hi() - p.lo()) + 1;
        xtitle = binned ? fmt::format("sample id (each point: the mean of a bin of {:.1f} ids)", range / nbins)
                        : std::string("sample id");
    }
    double bin_x(int b) const { return PLOT_X + (b + 0.5) * bin_w; }
    const plot_bin_t& bin(int b) const { return bins[static_cast<size_t>(b)]; }
};

// y of v in a plot area of top whose axis ends at ymax.
struct y_scale {
    double top, ymax;
    double operator()(double v) const { return top + PLOT_H - std::min(v, ymax) / ymax * PLOT_H; }
};

// An axis maximum of whole ticks above ymax, and its tick step.
std::pair<double, double> y_axis(double ymax)
{
    const double ystep = nice_step(ymax > 0 ? ymax : 1, 5);
    return {std::max(ystep, std::ceil(ymax / ystep) * ystep), ystep};
}

void document_head(svg_out& o, const run_summary_t& s, const std::string& title)
{
    o.put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    o.put("<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"{0:.0f}\" height=\"{1:.0f}\" "
          "viewBox=\"0 0 {0:.0f} {1:.0f}\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\">\n",
          WIDTH, HEIGHT);
    o.put("<rect x=\"0\" y=\"0\" width=\"{:.0f}\" height=\"{:.0f}\" fill=\"#f4f4f4\"/>\n", WIDTH, HEIGHT);
    o.text(20, 28, fmt::format("{}, run {}", title, s.run), "start", 17, " font-weight=\"bold\"");
    o.text(20, 50,
           fmt::format("{} frames ({} I, {} P, {} other), sample ids {} to {}, {} missing, {} repeated; "
                       "VRX latency p50 {} ms, p95 {} ms, p99 {} ms",
                       s.frames, s.i_frames, s.p_frames, s.other_frames, s.first_id, s.last_id, s.missing, s.repeats,
                       fmt_ms(s.columns[STAT_VRX].p50), fmt_ms(s.columns[STAT_VRX].p95),
                       fmt_ms(s.columns[STAT_VRX].p99)),
           "start", 12);
}

// Panel 1: latency per frame. Lines through the filled bins; an empty bin
// (missing ids) breaks them, and a bin with no filled neighbour shows as a
// dot. Binned, a band from the bin's minimum to its maximum.
// The x of an unwrapped sample id on the id axis.
double id_x(const id_axis& ax, double id)
{
    const double span = ax.x1 - ax.x0;
    return PLOT_X + (span > 0 ? (id - ax.x0) / span : 0.5) * PLOT_W;
}

// A sample id of the run as the plot's axis unwraps it (near its lowest id).
double unwrap_near(const id_axis& ax, uint32_t id)
{
    return static_cast<double>(ax.plot.lo() + static_cast<int32_t>(id - static_cast<uint32_t>(ax.plot.lo())));
}

// The events' spans shaded across a plot area (warn yellow, crit red),
// their kinds written at the top; and the axis's time in seconds from the
// run's start above it (from the frame rate).
void event_shading(svg_out& o, const id_axis& ax, const run_summary_t& s, double top, bool labels)
{
    double labelled_to = 0;  // a kind is written only where the last one ended
    for (const link_event_t& e : s.events) {
        const double a = std::max(PLOT_X, id_x(ax, unwrap_near(ax, e.first_id) - 0.5));
        const double b = std::min(PLOT_X + PLOT_W, id_x(ax, unwrap_near(ax, e.last_id) + 0.5));
        if (b < PLOT_X || a > PLOT_X + PLOT_W || b < a) continue;
        o.put("<rect class=\"event\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"{}\" "
              "fill-opacity=\"0.18\"><title>{}</title></rect>\n",
              a, top, std::max(1.0, b - a), PLOT_H, e.severity == SEV_CRIT ? "#d62728" : "#e6b000",
              xml_escape(event_text(e, s.events_t0_ms)));
        if (labels && a >= labelled_to) {
            o.text(a + 2, top + 22, event_kind_name(e.kind), "start", 9, " fill=\"#555\"");
            labelled_to = a + 6 + 5.5 * static_cast<double>(strlen(event_kind_name(e.kind)));
        }
    }
    if (labels && s.frame_period_ms > 0) {
        const double secs = (ax.x1 - ax.x0) * s.frame_period_ms / 1000;
        const double step = std::max(1.0, nice_step(secs, 8));
        for (double t = 0; t <= secs; t += step) {
            const double px = id_x(ax, unwrap_near(ax, s.first_id) + t * 1000 / s.frame_period_ms);
            if (px > PLOT_X + PLOT_W) break;
            o.text(px, top + 10, fmt::format("{:g} s", t), "middle", 9, " fill=\"#777\"");
        }
    }
}

void latency_panel(svg_out& o, const id_axis& ax, const run_summary_t& s)
{
    const double top = PANEL_Y[0];
    double ymax = 0;
    for (const plot_bin_t& b : ax.bins) {
        if (b.vrx_n) ymax = std::max(ymax, ax.binned ? b.vrx_max : b.vrx / b.vrx_n);
        if (b.vtx_n) ymax = std::max(ymax, b.vtx / b.vtx_n);
    }
    double ystep;
    std::tie(ymax, ystep) = y_axis(ymax);
    panel_title(o, top, "Latency per frame");
    std::vector<legend_item> items = {{'l', VRX_COLOUR, "VRX Latency (receiver)"},
                                      {'l', VTX_COLOUR, "VTX Latency (transmitter)"},
                                      {'d', IFRAME_COLOUR, "I-frame (VRX Latency)"}};
    if (ax.binned) items.push_back({'b', BAND_COLOUR, "VRX min to max in the bin"});
    legend(o, top, items);
    axes(o, "plot-latency", top, ax.x0, ax.x1, ax.xstep, ymax, ystep, ax.xtitle, "latency (ms)", true);
    event_shading(o, ax, s, top, true);
    const y_scale py{top, ymax};
    const int nbins = ax.nbins;
    const double bin_w = ax.bin_w;
    if (ax.binned) {
        // One band polygon per run of filled bins.
        for (int b = 0; b < nbins;) {
            if (!ax.bin(b).vrx_n) {
                b++;
                continue;
            }
            int e = b;
            while (e < nbins && ax.bin(e).vrx_n) e++;
            o.put("<polygon fill=\"{}\" stroke=\"none\" points=\"", BAND_COLOUR);
            for (int k = b; k < e; k++)
                o.put("{:.1f},{:.1f} {:.1f},{:.1f} ", PLOT_X + k * bin_w, py(ax.bin(k).vrx_max),
                      PLOT_X + (k + 1) * bin_w, py(ax.bin(k).vrx_max));
            for (int k = e - 1; k >= b; k--)
                o.put("{:.1f},{:.1f} {:.1f},{:.1f} ", PLOT_X + (k + 1) * bin_w, py(ax.bin(k).vrx_min),
                      PLOT_X + k * bin_w, py(ax.bin(k).vrx_min));
            o.put("\"/>\n");
            b = e;
        }
    }
    // Binned, a bin holding less than half the frames its ids would give
    // (it borders a gap) is left out of the lines: its mean would be a few
    // frames' (an I-frame's alone), a spike the link never had.
    const double per_bin = ax.binned ? (ax.x1 - ax.x0) / nbins : 1;
    auto full = [&](const plot_bin_t& x) { return !ax.binned || static_cast<double>(x.n) * 2 >= per_bin; };
    auto series = [&](const char* colour, auto value, auto has_any) {
        auto has = [&](const plot_bin_t& x) { return has_any(x) && full(x); };
        o.put("<path fill=\"none\" stroke=\"{}\" stroke-width=\"1.3\" stroke-linejoin=\"round\" d=\"", colour);
        std::vector<int> lone;
        bool pen = false;
        for (int b = 0; b < nbins; b++) {
            const plot_bin_t& x = ax.bin(b);
            if (!has(x)) {
                pen = false;
                continue;
            }
            const bool next = b + 1 < nbins && has(ax.bin(b + 1));
            if (!pen && !next) {
                lone.push_back(b);
                continue;
            }
            o.put("{}{:.1f} {:.1f}", pen ? "L" : "M", ax.bin_x(b), py(value(x)));
            pen = true;
        }
        o.put("\"/>\n");
        for (int b : lone)
            o.put("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"1.8\" fill=\"{}\"/>\n", ax.bin_x(b), py(value(ax.bin(b))),
                  colour);
    };
    series(
        VTX_COLOUR, [](const plot_bin_t& b) { return b.vtx / b.vtx_n; },
        [](const plot_bin_t& b) { return b.vtx_n > 0; });
    series(
        VRX_COLOUR, [](const plot_bin_t& b) { return b.vrx / b.vrx_n; },
        [](const plot_bin_t& b) { return b.vrx_n > 0; });
    o.put("<g fill=\"{}\">\n", IFRAME_COLOUR);
    for (int b = 0; b < nbins; b++) {
        const plot_bin_t& x = ax.bin(b);
        if (x.i_n) o.put("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2.2\"/>\n", ax.bin_x(b), py(x.i_vrx / x.i_n));
    }
    o.put("</g>\n");
}

// Panel 2: the four receiver stages stacked, as steps over the bins.
void stages_panel(svg_out& o, const id_axis& ax, const run_summary_t& s)
{
    const double top = PANEL_Y[1];
    double ymax = 0;
    for (const plot_bin_t& b : ax.bins)
        if (b.stage_n) ymax = std::max(ymax, (b.stage[0] + b.stage[1] + b.stage[2] + b.stage[3]) / b.stage_n);
    double ystep;
    std::tie(ymax, ystep) = y_axis(ymax);
    panel_title(o, top, "Receiver stages, stacked");
    std::vector<legend_item> items;
    for (int k = 0; k < 4; k++)
        items.push_back({'b', STAGE_COLOURS[k],
                         fmt::format("{} ({})", STAGE_NAMES[k],
                                     std::isnan(s.share[k]) ? std::string("-")
                                                            : fmt::format("{:.1f} % of VRX", 100 * s.share[k]))});
    legend(o, top, items);
    axes(o, "plot-stages", top, ax.x0, ax.x1, ax.xstep, ymax, ystep, ax.xtitle, "latency (ms)", true);
    event_shading(o, ax, s, top, false);
    const y_scale py{top, ymax};
    auto level = [&](int b, int upto) {
        const plot_bin_t& x = ax.bin(b);
        double v = 0;
        for (int k = 0; k < upto; k++) v += x.stage[k];
        return py(v / x.stage_n);
    };
    for (int k = 0; k < 4; k++) {
        o.put("<path fill=\"{}\" stroke=\"none\" d=\"", STAGE_COLOURS[k]);
        for (int b = 0; b < ax.nbins;) {
            if (!ax.bin(b).stage_n) {
                b++;
                continue;
            }
            int e = b;
            while (e < ax.nbins && ax.bin(e).stage_n) e++;
            o.put("M{:.1f} {:.1f}", PLOT_X + b * ax.bin_w, level(b, k + 1));
            for (int j = b; j < e; j++)
                o.put("H{:.1f}V{:.1f}", PLOT_X + (j + 1) * ax.bin_w, j + 1 < e ? level(j + 1, k + 1) : level(j, k));
            for (int j = e - 1; j >= b; j--)
                o.put("H{:.1f}V{:.1f}", PLOT_X + j * ax.bin_w, j > b ? level(j - 1, k) : level(j, k));
            o.put("Z");
            b = e;
        }
        o.put("\"/>\n");
    }
}

// Panel 3: histogram of the receiver latency, cut at its 99.9th percentile
// so one outlier does not squash the rest into one bar. Drawn from the
// run's exact histogram of the values.
void histogram_panel(svg_out& o, const value_histogram_t& vrx, const run_summary_t& s)
{
    const double top = PANEL_Y[2];
    // The values as the floats the log's texts read to, as the other figures.
    std::vector<std::pair<double, uint64_t>> v = vrx.sorted();
    for (auto& e : v) e.first = static_cast<double>(static_cast<float>(e.first));
    double hlo = 0, hhi = 1;
    if (!v.empty()) {
        hlo = v.front().first;
        const uint64_t rank = nearest_rank_index(vrx.count(), 999, 1000);
        uint64_t below = 0;
        for (const auto& [x, n] : v) {
            below += n;
            if (below >= rank) {
                hhi = x;
                break;
            }
        }
        if (!(hhi > hlo)) hhi = hlo + 1;
    }
    std::vector<uint64_t> counts(HIST_BINS, 0);
    uint64_t above = 0;
    for (const auto& [x, n] : v) {
        if (x > hhi) {
            above += n;
            continue;
        }
        const int b = std::clamp(static_cast<int>((x - hlo) / (hhi - hlo) * HIST_BINS), 0, HIST_BINS - 1);
        counts[static_cast<size_t>(b)] += n;
    }
    double ymax = static_cast<double>(*std::max_element(counts.begin(), counts.end()));
    ymax = std::max(ymax, static_cast<double>(counts.back() + above));
    const double ystep = std::max(1.0, nice_step(ymax > 0 ? ymax : 1, 5));
    ymax = std::max(ystep, std::ceil(ymax / ystep) * ystep);
    panel_title(o, top, "Histogram of VRX Latency");
    const column_stats_t& c = s.columns[STAT_VRX];
    std::vector<legend_item> items = {{'b', VRX_COLOUR, "frames"},
                                      {'l', "#2ca02c", "p50 " + fmt_ms(c.p50) + " ms"},
                                      {'l', "#ff7f0e", "p95 " + fmt_ms(c.p95) + " ms"},
                                      {'l', IFRAME_COLOUR, "p99 " + fmt_ms(c.p99) + " ms"}};
    if (above)
        items.push_back({'b', "#7f7f7f", fmt::format("{} frame{} above {:.2f} ms", above, above == 1 ? "" : "s", hhi)});
    legend(o, top, items);
    const double hstep = nice_step(hhi - hlo, 8);
    axes(o, "plot-histogram", top, hlo, hhi, hstep, ymax, ystep, "VRX Latency (ms)", "frames", false);
    const double w = PLOT_W / HIST_BINS;
    o.put("<g fill=\"{}\">\n", VRX_COLOUR);
    for (int b = 0; b < HIST_BINS; b++) {
        if (!counts[size_t(b)]) continue;
        const double h = static_cast<double>(counts[size_t(b)]) / ymax * PLOT_H;
        o.put("<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\"/>\n", PLOT_X + b * w + 0.5,
              top + PLOT_H - h, w - 1, h);
    }
    o.put("</g>\n");
    if (above) {
        // The frames beyond the cut, stacked on the last bar in grey.
        const double base = static_cast<double>(counts.back()) / ymax * PLOT_H;
        const double h = static_cast<double>(above) / ymax * PLOT_H;
        o.put("<rect x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{:.1f}\" fill=\"#7f7f7f\"/>\n",
              PLOT_X + (HIST_BINS - 1) * w + 0.5, top + PLOT_H - base - h, w - 1, std::max(h, 2.0));
    }
    const std::pair<double, const char*> marks[3] = {{c.p50, "#2ca02c"}, {c.p95, "#ff7f0e"}, {c.p99, IFRAME_COLOUR}};
    const char* names[3] = {"p50", "p95", "p99"};
    for (int k = 0; k < 3; k++) {
        if (std::isnan(marks[k].first)) continue;
        const double px = PLOT_X + std::clamp((marks[k].first - hlo) / (hhi - hlo), 0.0, 1.0) * PLOT_W;
        o.put("<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\" stroke=\"{3}\" "
              "stroke-width=\"2\" stroke-dasharray=\"6 3\"/>\n",
              px, top, top + PLOT_H, marks[k].second);
        o.text(px + 3, top + 14 + 14 * k, names[k], "start", 11, fmt::format(" fill=\"{}\"", marks[k].second).c_str());
    }
}

}  // namespace

run_plot_t::run_plot_t(int64_t lo, int64_t hi)
    : lo_(lo), hi_(std::max(lo, hi)),
      nbins_(static_cast<int>(std::min<double>(static_cast<double>(hi_ - lo_) + 1, MAX_PLOT_BINS))),
      bins_(static_cast<size_t>(std::max(nbins_, 1)))
{
}

plot_row_t plot_row(const latency_row_t& r)
{
    plot_row_t p{r.sample_id, r.vrx_latency_ms, r.vtx_latency_ms, {}, r.kind};
    for (int k = 0; k < STAT_STAGE_COUNT; k++)
        p.stage[k] = latency_member<float>(r, stat_column(STAT_STAGES[k]).offset);
    return p;
}

void run_plot_t::add(const plot_row_t& r)
{
    // The run's own numbering, as id_tracker_t unwraps it.
    const int64_t id = any_ ? prev_ + static_cast<int32_t>(r.sample_id - prev_id_) : r.sample_id;
    any_ = true;
    prev_id_ = r.sample_id;
    prev_ = id;
    if (id < lo_ || id > hi_) return;
    // In integers: with as many bins as ids each id must get its own bin.
    // 64 bits hold the product unless the run spans more than 2^54 ids.
    const auto at = static_cast<uint64_t>(id - lo_), ids = static_cast<uint64_t>(hi_ - lo_) + 1;
    const uint64_t k =
        ids <= (uint64_t{1} << 54)
            ? at * static_cast<unsigned>(nbins_) / ids
            : static_cast<uint64_t>(static_cast<unsigned __int128>(at) * static_cast<unsigned>(nbins_) / ids);
    plot_bin_t& b = bins_[static_cast<size_t>(std::min(static_cast<int>(k), nbins_ - 1))];
    b.n++;
    if (std::isfinite(r.vrx)) {
        const double v = r.vrx;
        b.vrx_min = b.vrx_n ? std::min(b.vrx_min, v) : v;
        b.vrx_max = b.vrx_n ? std::max(b.vrx_max, v) : v;
        b.vrx += v;
        b.vrx_n++;
        if (r.kind == FRAME_KIND_I) {
            b.i_vrx += v;
            b.i_n++;
        }
    }
    if (std::isfinite(r.vtx)) {
        b.vtx += r.vtx;
        b.vtx_n++;
    }
    if (std::all_of(r.stage, r.stage + 4, [](float x) { return std::isfinite(x) && x >= 0; })) {
        for (int k = 0; k < 4; k++) b.stage[k] += r.stage[k];
        b.stage_n++;
    }
}

std::string render_run_svg(const run_data_t& d, const run_plot_t& plot, const run_summary_t& s,
                           const std::string& title)
{
    svg_out o;
    document_head(o, s, title);
    const id_axis ax(plot);
    latency_panel(o, ax, s);
    stages_panel(o, ax, s);
    histogram_panel(o, d.stats.column(STAT_VRX), s);
    o.put("</svg>\n");
    return fmt::to_string(o.b);
}
