// How often the comparison calls a change where there is none, and how
// often it finds one that is there: pairs of runs of one link (2 to 5
// minutes at 60 fps each) under two correlation models, the burst model and
// an AR(1) model with a slow drift, compared as tarn-latency-report
// --compare does (2000 resamples, blocks estimated per run). Prints, per
// figure, the share of same-link pairs called a real change (a false alarm;
// 5 % is what a 95 % interval promises), the share of pairs whose headline
// names a change, and the power to find B slower by 0.5, 1, 2 ms on every
// frame and by 5 ms on a tenth of the frames.
//   bench_compare_calibration [PAIRS [POWER-PAIRS [SEED]]]   (default 200, 100 and 0)
// SEED moves the same-link pairs' seeds to others (SEED + their default ones),
// for a second sample of pairs; 0 POWER-PAIRS leaves the power out.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <fmt/format.h>

#include "compare_models.h"
#include "latency_compare.h"

namespace {

enum model_e { BURSTS, AR1 };
const char* const MODEL_NAMES[] = {"bursts", "AR(1) + drift"};

compare_run_t make_run(model_e model, unsigned seed, size_t frames, int32_t shift)
{
    return model == BURSTS ? burst_run(seed, frames, shift) : ar1_run(seed, frames, shift);
}

size_t run_frames(unsigned seed)
{
    std::mt19937 rng(seed * 7919u + 17);
    return 7200 + rng() % 10801;  // 2 to 5 minutes at 60 fps
}

constexpr int STAGES[4] = {SER_FRAME, SER_FEC, SER_VTX, SER_RENDER};

// The figures counted: VRX p50/p95/p99/mean, frame, FEC, VTX and render p50
// and p95, lost frames.
struct tally_t {
    int vrx[ST_COUNT] = {}, frame = 0, fec = 0, vtx = 0, render = 0, lost = 0, any_vrx = 0, headline = 0, pairs = 0;
    // The stages' p50 and p95 each on its own: [stage][0 p50, 1 p95].
    int stage_fig[4][2] = {};
    void add(const compare_result_t& c)
    {
        bool any = false;
        for (int s = 0; s < ST_COUNT; s++) {
            vrx[s] += c.fig[SER_VRX][s].real;
            any = any || c.fig[SER_VRX][s].real;
        }
        any_vrx += any;
        auto either = [&](int m) { return c.fig[m][ST_P50].real || c.fig[m][ST_P95].real; };
        frame += either(SER_FRAME);
        fec += either(SER_FEC);
        vtx += either(SER_VTX);
        render += either(SER_RENDER);
        for (int k = 0; k < 4; k++) {
            stage_fig[k][0] += c.fig[STAGES[k]][ST_P50].real;
            stage_fig[k][1] += c.fig[STAGES[k]][ST_P95].real;
        }
        lost += c.lost.real;
        headline += c.fig[SER_VRX][ST_P50].headline || c.fig[SER_VRX][ST_P95].headline ||
                    c.fig[SER_VRX][ST_P99].headline || c.fig[SER_VRX][ST_MEAN].headline || c.lost.headline;
        pairs++;
    }
    std::string pct(int k) const { return fmt::format("{:.1f} %", 100.0 * k / pairs); }
};

}  // namespace

int main(int argc, char* argv[])
{
    const int pairs = argc > 1 ? atoi(argv[1]) : 200;
    const int power_pairs = argc > 2 ? atoi(argv[2]) : 100;
    const unsigned seed_offset = argc > 3 ? static_cast<unsigned>(strtoul(argv[3], nullptr, 10)) : 0;
    compare_options_t o;
    fmt::print("same-link pairs: {} per model (seeds from {}); 2000 resamples; blocks estimated per run\n\n", pairs,
               seed_offset + 100000);
    fmt::print("| model | VRX p50 | VRX p95 | VRX p99 | VRX mean | any VRX | frame | FEC | VTX | render | lost "
               "frames | headline |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    tally_t tallies[2];
    for (model_e model : {BURSTS, AR1}) {
        tally_t& t = tallies[model];
        for (int i = 0; i < pairs; i++) {
            const unsigned seed = seed_offset + 100000 * (model + 1) + 2 * static_cast<unsigned>(i);
            const compare_run_t a = make_run(model, seed, run_frames(seed), 0);
            const compare_run_t b = make_run(model, seed + 1, run_frames(seed + 1), 0);
            o.seed = static_cast<uint64_t>(i) + 1;
            t.add(compare_runs(a, b, o));
        }
        fmt::print("| {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |\n", MODEL_NAMES[model],
                   t.pct(t.vrx[0]), t.pct(t.vrx[1]), t.pct(t.vrx[2]), t.pct(t.vrx[3]), t.pct(t.any_vrx),
                   t.pct(t.frame), t.pct(t.fec), t.pct(t.vtx), t.pct(t.render), t.pct(t.lost), t.pct(t.headline));
        fflush(stdout);
    }
    fmt::print("\n(frame, FEC, VTX, render: p50 or p95 called a real change)\n\n");
    fmt::print("the stages' figures one by one, same pairs:\n\n| model | frame p50 | frame p95 | FEC p50 | FEC p95 | "
               "VTX p50 | VTX p95 | render p50 | render p95 |\n|---|---|---|---|---|---|---|---|---|\n");
    for (model_e model : {BURSTS, AR1}) {
        const tally_t& t = tallies[model];
        fmt::print("| {} |", MODEL_NAMES[model]);
        for (const auto& f : t.stage_fig) fmt::print(" {} | {} |", t.pct(f[0]), t.pct(f[1]));
        fmt::print("\n");
    }
    fmt::print("\n");
    if (power_pairs <= 0) return 0;

    fmt::print("power: share of {} pairs where B slower is found (VRX p50 / p95 / mean a real change; the "
               "headline names it)\n\n",
               power_pairs);
    fmt::print("| model | B slower by | VRX p50 | VRX p95 | VRX mean | headline |\n|---|---|---|---|---|---|\n");
    o.metrics = 1u << SER_VRX;
    for (model_e model : {BURSTS, AR1}) {
        for (int kind = 0; kind < 4; kind++) {
            const int32_t shift[] = {500, 1000, 2000, 5000};
            int p50 = 0, p95 = 0, mean = 0, headline = 0;
            for (int i = 0; i < power_pairs; i++) {
                const unsigned seed = 500000 + 100000 * model + 2 * static_cast<unsigned>(i);
                const size_t na = run_frames(seed), nb = run_frames(seed + 1);
                const compare_run_t a = make_run(model, seed, na, 0);
                compare_run_t b = make_run(model, seed + 1, nb, kind < 3 ? shift[kind] : 0);
                if (kind == 3) shift_frames(b, shift[kind], nb * 9 / 20, nb * 11 / 20);
                o.seed = static_cast<uint64_t>(i) + 1;
                const compare_result_t c = compare_runs(a, b, o);
                p50 += c.fig[SER_VRX][ST_P50].real && c.fig[SER_VRX][ST_P50].diff > 0;
                p95 += c.fig[SER_VRX][ST_P95].real && c.fig[SER_VRX][ST_P95].diff > 0;
                mean += c.fig[SER_VRX][ST_MEAN].real && c.fig[SER_VRX][ST_MEAN].diff > 0;
                headline += compare_headline(c).rfind("B is slower", 0) == 0;
            }
            auto pct = [&](int k) { return fmt::format("{:.0f} %", 100.0 * k / power_pairs); };
            fmt::print("| {} | {} | {} | {} | {} | {} |\n", MODEL_NAMES[model],
                       kind < 3 ? fmt::format("{} ms, every frame", shift[kind] / 1000.0) : "5 ms, a tenth of the frames",
                       pct(p50), pct(p95), pct(mean), pct(headline));
            fflush(stdout);
        }
    }
    return 0;
}
