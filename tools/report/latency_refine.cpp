// Exact percentiles of bucketed columns by reading a run again (latency_refine.h).
#include "latency_refine.h"

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

const value_histogram_t& series_histogram(const latency_stats_t& st, int series)
{
    if (series == SERIES_VRX_I) return st.vrx_of(FRAME_KIND_I);
    if (series == SERIES_VRX_P) return st.vrx_of(FRAME_KIND_P);
    return st.column(series);
}

double series_value(const stat_sample_t& s, int series)
{
    if (series == SERIES_VRX_I)
        return s.kind == FRAME_KIND_I ? s.v[STAT_VRX] : std::numeric_limits<double>::quiet_NaN();
    if (series == SERIES_VRX_P)
        return s.kind == FRAME_KIND_P ? s.v[STAT_VRX] : std::numeric_limits<double>::quiet_NaN();
    return s.v[series];
}

namespace {

constexpr uint64_t NUMS[3] = {50, 95, 99};

// The values of one series whose held_order_bits lie in [lo, hi], counted
// during the next reading, and the percentiles (by index) whose rank lies
// among them: rank[i] within these values.
struct probe_t {
    int series;
    uint64_t lo, hi;
    uint64_t expect;                               // values the first counting found there
    std::vector<std::pair<int, uint64_t>> wanted;  // percentile index, rank among the probe's values
    std::unique_ptr<value_histogram_t> values;
};

// Adds a wanted rank to the probe of the same series and bucket, or a new one.
void want(std::vector<probe_t>& probes, int series, const value_histogram_t::rank_bucket_t& b, int index, uint64_t rank)
{
    const uint64_t lo = b.lo, hi = b.hi;
    for (probe_t& p : probes)
        if (p.series == series && p.lo == lo && p.hi == hi) {
            p.wanted.emplace_back(index, rank);
            return;
        }
    probes.push_back({series, lo, hi, b.count, {{index, rank}}, std::make_unique<value_histogram_t>(REFINE_DISTINCT)});
}

}  // namespace

int refine_percentiles(const latency_stats_t& st, const run_rereader& reread, exact_percentiles_t& out, int* readings)
{
    if (readings) *readings = 0;
    std::vector<probe_t> probes;
    for (int s = 0; s < RUN_SERIES; s++) {
        const value_histogram_t& h = series_histogram(st, s);
        if (h.exact() || h.count() == 0) continue;
        out.known[s] = true;
        for (int i = 0; i < 3; i++) {
            const uint64_t r = nearest_rank_index(h.count(), NUMS[i], 100);
            const value_histogram_t::rank_bucket_t b = h.rank_bucket(r);
            if (b.lo == b.hi)
                out.p[s][i] = from_order_bits(b.lo);
            else
                want(probes, s, b, i, r - b.below);
        }
    }
    for (int pass = 0; !probes.empty(); pass++) {
        if (pass == REFINE_MAX_READINGS) {
            for (const probe_t& p : probes) out.known[p.series] = false;
            break;
        }
        const int err = reread([&](const stat_sample_t& smp) {
            for (probe_t& p : probes) {
                const double v = series_value(smp, p.series);
                if (!std::isfinite(v)) continue;
                const uint64_t u = held_order_bits(v);
                if (u >= p.lo && u <= p.hi) p.values->add(v);
            }
        });
        if (readings) *readings = pass + 1;
        if (err != 0) {
            for (const probe_t& p : probes) out.known[p.series] = false;
            return err;
        }
        std::vector<probe_t> next;
        for (probe_t& p : probes) {
            for (const auto& [i, rank] : p.wanted) {
                const value_histogram_t::rank_bucket_t b = p.values->rank_bucket(rank);
                if (p.values->count() != p.expect) {
                    // Not the rows counted before: the file changed.
                    out.known[p.series] = false;
                } else if (b.lo == b.hi) {
                    out.p[p.series][i] = from_order_bits(b.lo);
                } else {
                    want(next, p.series, b, i, rank - b.below);
                }
            }
            p.values.reset();
        }
        probes = std::move(next);
    }
    return 0;
}
