// Models of a link for testing and calibrating the comparison: runs of
// frames whose latencies and losses are correlated over time as a real
// link's are, deterministic for a seed.
#ifndef TARN_COMPARE_MODELS_H
#define TARN_COMPARE_MODELS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "latency_compare.h"

// One frame of a model's run, in thousandths: VRX and VTX latency and the
// four stages; the VRX latency also as an I- or P-frame's.
struct model_frame_t {
    int32_t vrx, vtx, frame, fec, dec, ren;
};
inline void put_frame(std::vector<std::vector<int32_t>>& v, size_t i, bool iframe, const model_frame_t& f)
{
    v[SER_VRX][i] = f.vrx;
    v[iframe ? SER_VRX_I : SER_VRX_P][i] = f.vrx;
    v[SER_VTX][i] = f.vtx;
    v[SER_FRAME][i] = f.frame;
    v[SER_FEC][i] = f.fec;
    v[SER_DECODE][i] = f.dec;
    v[SER_RENDER][i] = f.ren;
}

// A link as the simulator models it, with bursts: from a good frame the next
// starts a burst with chance 1/240 (one every four seconds at 60 fps), a
// burst ends after each frame with chance 1/20; in a burst frame assembly and
// FEC take 1.8 times as long and one id in ten is lost. Now and then (0.4 %)
// a frame is late by 15 to 40 ms. shift is added to every VRX latency.
inline compare_run_t burst_run(unsigned seed, size_t frames, int32_t shift = 0, double fps = 60)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g(0, 1);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<std::vector<int32_t>> v(CMP_METRICS, std::vector<int32_t>(frames, NOT_A_VALUE));
    std::vector<uint32_t> ids;
    bool bad = false;
    uint32_t id = 1;
    auto ms = [](double x) { return static_cast<int32_t>(std::lround(std::max(0.05, x) * 1000)); };
    for (size_t i = 0; i < frames; i++) {
        bad = bad ? u(rng) >= 1.0 / 20 : u(rng) < 1.0 / 240;
        if (bad && u(rng) < 0.1) id++;
        const bool iframe = i % 30 == 0;
        const double slow = bad ? 1.8 : 1.0;
        const int32_t frame = ms((iframe ? 4.5 : 2.5) * slow + 0.4 * g(rng));
        const int32_t fec = ms((iframe ? 1.6 : 0.9) * slow + 0.2 * g(rng));
        const int32_t dec = ms((iframe ? 6.0 : 3.8) + 0.5 * g(rng));
        const int32_t ren = ms(1.6 + 0.3 * g(rng));
        int32_t vrx = frame + fec + dec + ren + ms(0.4 + 0.1 * g(rng));
        if (u(rng) < 0.004) vrx += ms(15 + 25 * u(rng));
        vrx += shift;
        put_frame(v, i, iframe, {vrx, ms((iframe ? 11.0 : 8.5) + 0.8 * g(rng)), frame, fec, dec, ren});
        ids.push_back(id++);
    }
    compare_run_t r;
    r.median_fps = fps;
    make_compare_run(r, v, ids);
    return r;
}

// A second, different correlation: every stage an AR(1) process (each frame
// keeps 0.98 of the last one's deviation: correlated over about 50 frames)
// around a level that drifts slowly (a sine of 0.6 ms over 90 s), and ids
// lost in a two-state chain (a bad state entered once in 600 frames, left
// with chance 1/8, losing 40 % of ids there). shift is added to every VRX
// latency.
inline compare_run_t ar1_run(unsigned seed, size_t frames, int32_t shift = 0)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g(0, 1);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<std::vector<int32_t>> v(CMP_METRICS, std::vector<int32_t>(frames, NOT_A_VALUE));
    std::vector<uint32_t> ids;
    double dev[5] = {};
    const double phase = 6.283185307179586 * u(rng);
    bool bad = false;
    uint32_t id = 1;
    auto ms = [](double x) { return static_cast<int32_t>(std::lround(std::max(0.05, x) * 1000)); };
    for (size_t i = 0; i < frames; i++) {
        for (double& d : dev) d = 0.98 * d + 0.2 * g(rng);
        const double drift = 0.6 * std::sin(phase + 6.283185307179586 * static_cast<double>(i) / 5400);
        bad = bad ? u(rng) >= 1.0 / 8 : u(rng) < 1.0 / 600;
        while (bad && u(rng) < 0.4) id++;
        const bool iframe = i % 30 == 0;
        const int32_t frame = ms((iframe ? 4.5 : 2.5) + dev[0] + drift / 2);
        const int32_t fec = ms((iframe ? 1.6 : 0.9) + 0.5 * dev[1]);
        const int32_t dec = ms((iframe ? 6.0 : 3.8) + dev[2] + drift / 2);
        const int32_t ren = ms(1.6 + 0.3 * dev[3]);
        int32_t vrx = frame + fec + dec + ren + ms(0.4 + 0.1 * g(rng));
        vrx += shift;
        put_frame(v, i, iframe, {vrx, ms((iframe ? 11.0 : 8.5) + dev[4]), frame, fec, dec, ren});
        ids.push_back(id++);
    }
    compare_run_t r;
    r.median_fps = 60;
    make_compare_run(r, v, ids);
    return r;
}

// Adds shift to the VRX latency of frames [from, to) of r (a stretch of
// slow frames); the I- and P-frame figures follow it.
inline void shift_frames(compare_run_t& r, int32_t shift, size_t from, size_t to)
{
    std::vector<int32_t>& v = r.values[SER_VRX];
    for (size_t i = from; i < std::min(to, v.size()); i++)
        if (v[i] != NOT_A_VALUE) v[i] += shift;
}

#endif
