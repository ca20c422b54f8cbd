// The statistics of tarn-vrx-top against brute force: nearest-rank
// percentiles over sliding windows, id accounting, record checks, the
// rounding the CSV log uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "top_model.h"
#include "window_stats.h"

namespace {

int32_t exact_rank(std::vector<int32_t> v, uint64_t num, uint64_t den)
{
    std::sort(v.begin(), v.end());
    const uint64_t n = v.size();
    uint64_t r = (num * n + den - 1) / den;
    r = std::max<uint64_t>(1, std::min(r, n));
    return v[r - 1];
}

}  // namespace

TEST(KeyHistogram, RanksMatchSortedValuesInAndOutsideTheDenseRange)
{
    std::mt19937 rng(7);
    key_histogram h(-100);
    std::vector<int32_t> held;
    // Mostly dense keys, some below lo and some far above the dense range.
    auto draw = [&]() -> int32_t {
        const int k = static_cast<int>(rng() % 10);
        if (k == 0) return -100 - static_cast<int32_t>(rng() % 1000);
        if (k == 1) return key_histogram::DENSE + static_cast<int32_t>(rng() % 5000000);
        return static_cast<int32_t>(rng() % 40000);
    };
    for (int step = 0; step < 20000; step++) {
        if (!held.empty() && rng() % 3 == 0) {
            const size_t i = rng() % held.size();
            h.remove(held[i]);
            held[i] = held.back();
            held.pop_back();
        } else {
            held.push_back(draw());
            h.add(held.back());
        }
        if (step % 997 == 0 && !held.empty()) {
            ASSERT_EQ(h.count(), held.size());
            std::vector<int32_t> sorted = held;
            std::sort(sorted.begin(), sorted.end());
            for (uint64_t r : {uint64_t{1}, uint64_t{2}, sorted.size() / 2, sorted.size() - 1, uint64_t(sorted.size())})
                if (r >= 1 && r <= sorted.size()) {
                    EXPECT_EQ(h.at_rank(r), sorted[r - 1]) << "rank " << r;
                }
            int64_t sum = 0;
            for (int32_t k : held) sum += k;
            EXPECT_EQ(h.sum(), sum);
        }
    }
    h.clear();
    EXPECT_EQ(h.count(), 0u);
    h.add(5);
    EXPECT_EQ(h.at_rank(1), 5);
}

// Every window against the samples that arrived within its span, at
// irregular times, with absent values, both frame kinds and id events.
TEST(WindowStats, EveryWindowEqualsExactNearestRankOverItsSamples)
{
    std::mt19937 rng(11);
    std::uniform_int_distribution<int32_t> value(0, 60000);
    window_stats ws;
    std::vector<top_sample_t> all;
    int64_t now = 5000;
    for (int step = 0; step < 30000; step++) {
        now += rng() % 8 == 0 ? static_cast<int64_t>(rng() % 3000) : static_cast<int64_t>(rng() % 5);
        top_sample_t s;
        s.t_ms = now;
        s.kind = static_cast<uint8_t>(rng() % 3);
        for (int k = 0; k < 6; k++) {
            s.has[k] = rng() % 50 != 0;
            s.q[k] = value(rng);
        }
        s.missing_delta = static_cast<int32_t>(rng() % 7) - 1;
        s.repeat = rng() % 20 == 0;
        s.out_of_order = rng() % 30 == 0;
        s.skipped = rng() % 40 == 0;
        ws.expire(now);
        ws.add(s);
        all.push_back(s);
        if (step % 1499 != 0) continue;
        const int64_t at = now + static_cast<int64_t>(rng() % 1500);
        ws.expire(at);
        for (int w = 0; w < window_stats::WINDOWS; w++) {
            const int64_t span = window_stats::SPAN_MS[w];
            std::vector<int32_t> ser[SER_COUNT];
            window_figures_t want;
            for (const top_sample_t& x : all) {
                if (span != 0 && at - x.t_ms >= span) continue;
                if (x.skipped) {
                    want.repeats++;
                    continue;
                }
                want.frames++;
                want.i_frames += x.kind == 0;
                want.p_frames += x.kind == 1;
                want.repeats += x.repeat;
                want.out_of_order += x.out_of_order;
                want.missing += x.missing_delta;
                const int map[6] = {SER_VRX, SER_VTX, SER_FRAME, SER_FEC, SER_DECODE, SER_RENDER};
                for (int k = 0; k < 6; k++)
                    if (x.has[k]) ser[map[k]].push_back(x.q[k]);
                if (x.has[0] && x.kind < 2) ser[x.kind == 0 ? SER_VRX_I : SER_VRX_P].push_back(x.q[0]);
                if (x.has[0] && x.has[2] && x.has[3] && x.has[4] && x.has[5]) {
                    want.share_vrx += x.q[0];
                    for (int k = 0; k < STAGE_COUNT; k++) want.share_stage[k] += x.q[2 + k];
                }
            }
            const window_figures_t got = ws.figures(w);
            SCOPED_TRACE("window " + std::to_string(w) + " step " + std::to_string(step));
            EXPECT_EQ(got.frames, want.frames);
            EXPECT_EQ(got.i_frames, want.i_frames);
            EXPECT_EQ(got.p_frames, want.p_frames);
            EXPECT_EQ(got.repeats, want.repeats);
            EXPECT_EQ(got.out_of_order, want.out_of_order);
            EXPECT_EQ(got.missing, want.missing);
            EXPECT_EQ(got.share_vrx, want.share_vrx);
            for (int k = 0; k < STAGE_COUNT; k++) EXPECT_EQ(got.share_stage[k], want.share_stage[k]);
            for (int s = 0; s < SER_COUNT; s++) {
                ASSERT_EQ(got.series[s].n, ser[s].size()) << "series " << s;
                if (ser[s].empty()) continue;
                EXPECT_EQ(got.series[s].min, exact_rank(ser[s], 0, 100));
                EXPECT_EQ(got.series[s].p50, exact_rank(ser[s], 50, 100));
                EXPECT_EQ(got.series[s].p95, exact_rank(ser[s], 95, 100));
                EXPECT_EQ(got.series[s].p99, exact_rank(ser[s], 99, 100));
                EXPECT_EQ(got.series[s].max, exact_rank(ser[s], 100, 100));
            }
        }
    }
    // Nothing stays in the timed windows once a minute has passed; the
    // memory goes with it.
    ws.expire(now + 60000);
    EXPECT_EQ(ws.figures(2).frames, 0u);
    EXPECT_EQ(ws.held(), 0u);
    const auto skipped = static_cast<uint64_t>(std::count_if(all.begin(), all.end(), [](const top_sample_t& x) { return x.skipped; }));
    EXPECT_EQ(ws.figures(3).frames + skipped, all.size());
    ws.clear();
    EXPECT_EQ(ws.figures(3).frames, 0u);
}

TEST(WindowStats, WindowsSlideAcrossTheWrapOfTheMillisecondClock)
{
    window_stats ws;
    const int64_t base = (int64_t{1} << 32) - 500;
    for (int i = 0; i < 1000; i++) {
        top_sample_t s;
        s.t_ms = base + i;
        s.kind = 1;
        s.has[0] = true;
        s.q[0] = i;
        ws.expire(s.t_ms);
        ws.add(s);
    }
    ws.expire(base + 1999);  // the 1 s window holds t > base + 999: nothing
    EXPECT_EQ(ws.figures(0).frames, 0u);
    EXPECT_EQ(ws.figures(1).frames, 1000u);
    ws.expire(base + 1500);  // time never goes back in use; same result
    EXPECT_EQ(ws.figures(1).series[SER_VRX].p50, 499);
}

TEST(TopModel, QuantizedValuesAreTheLogsDecimals)
{
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; i++) {
        uint32_t bits = rng();
        float v;
        memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v) || std::fabs(v) > 1e6f) v = static_cast<float>(static_cast<int32_t>(rng() % 2000000) - 1000000) / 997.0f;
        if (i < 8) v = std::vector<float>{0.0005f, 1.0005f, 2.5f, -0.0004f, 20.2505f, 0.1235f, 999.9995f, -3.0f}[i];
        vrx_latency_packet_t r{};
        r.magic_number = RECORD_MAGIC_NUMBER;
        r.vrx_latency_ms = v;
        fmt::memory_buffer csv;
        append_csv_line(csv, r, 0, "x");
        const std::string line(csv.data(), csv.size());
        // Fourth field: the VRX latency as the log prints it.
        size_t a = 0;
        for (int k = 0; k < 3; k++) a = line.find(',', a) + 1;
        const std::string field = line.substr(a, line.find(',', a) - a);
        int32_t q = 0;
        ASSERT_TRUE(quantize(v, 3, q));
        const int64_t mag = std::llabs(static_cast<long long>(q));
        const std::string mine = fmt::format("{}{}.{:03}", std::signbit(v) ? "-" : "", mag / 1000, mag % 1000);
        EXPECT_EQ(mine, field) << "value " << v;
    }
    int32_t q;
    EXPECT_FALSE(quantize(NAN, 3, q));
    EXPECT_FALSE(quantize(INFINITY, 3, q));
    EXPECT_FALSE(quantize(3e9f, 3, q));
}

namespace {

std::string records(std::initializer_list<uint32_t> ids, int32_t type = 65)
{
    std::string out;
    for (uint32_t id : ids) {
        vrx_latency_packet_t r{};
        r.magic_number = RECORD_MAGIC_NUMBER;
        r.sample_id = id;
        r.vrx_latency_ms = static_cast<float>(id);
        r.frame_type = type;
        out.append(reinterpret_cast<const char*>(&r), sizeof r);
    }
    return out;
}

void feed(top_model_t& m, const std::string& buf, int64_t t)
{
    std::string copy = buf;
    top_feed(m, copy.data(), static_cast<int>(copy.size()), t);
}

}  // namespace

TEST(TopModel, ChecksCountsRepeatsAndRestartsOfThePublisher)
{
    testing::internal::CaptureStderr();
    top_model_t m;
    top_connected(m, 0, 0);
    feed(m, records({1, 2, 2, 4, 3, 2}), 10);  // 2 again at once (skipped), 3 late, 2 again later
    std::string bad = records({5, 6});
    bad[60] = 0;  // second record's magic
    feed(m, bad, 20);
    feed(m, std::string(61, '\0'), 30);
    feed(m, records({7}, 101), 40);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR got magic number"), std::string::npos);
    EXPECT_NE(err.find("read partial packet"), std::string::npos);

    std::lock_guard<std::mutex> lock(m.mu);
    EXPECT_EQ(m.records, 7u);
    EXPECT_EQ(m.frames, 6u);
    EXPECT_EQ(m.consecutive_repeats, 1u);
    EXPECT_EQ(top_repeats(m), 2u);
    EXPECT_EQ(top_out_of_order(m), 1u);
    EXPECT_EQ(top_missing(m), 2u);  // 5 and 6: their buffer was dropped
    EXPECT_EQ(m.bad_buffers, 2u);
    EXPECT_EQ(m.bad_records, 3u);
    EXPECT_EQ(m.bad_magic, 1u);
    EXPECT_EQ(m.partial_buffers, 1u);
    EXPECT_EQ(m.i_frames, 1u);
    const window_figures_t f = m.stats.figures(window_stats::WINDOWS - 1);
    EXPECT_EQ(f.missing, 2);
    EXPECT_EQ(f.repeats, 2u);
    EXPECT_EQ(f.series[SER_VRX].max, 7000);
    EXPECT_EQ(f.series[SER_VRX_I].n, 1u);
    m.mu.unlock();

    // The publisher comes back numbering from 1: a new run, nothing counted twice.
    top_disconnected(m, 50, 0);
    top_connected(m, 60, 0);
    feed(m, records({1, 2, 3}), 70);
    m.mu.lock();
    EXPECT_EQ(m.frames, 9u);
    EXPECT_EQ(top_repeats(m), 2u);
    EXPECT_EQ(top_missing(m), 2u);
    EXPECT_EQ(m.connects, 2u);
    EXPECT_EQ(m.disconnects, 1u);
    m.mu.unlock();
    const run_summary_t s = top_summary(m);
    EXPECT_EQ(s.frames, 9u);
    EXPECT_EQ(s.gap_count, 1u);
    ASSERT_EQ(s.gaps.size(), 1u);
    EXPECT_EQ(s.gaps[0].first, 5u);
    EXPECT_EQ(s.gaps[0].second, 2u);
    EXPECT_DOUBLE_EQ(s.columns[STAT_VRX].max, 7.0);

    top_reset(m, 100);
    m.mu.lock();
    EXPECT_EQ(m.frames, 0u);
    EXPECT_EQ(m.stats.figures(3).series[SER_VRX].n, 0u);
    m.mu.unlock();
    // The log's repeat rule carries on after a reset: 3 again is skipped.
    feed(m, records({3, 4}), 110);
    m.mu.lock();
    EXPECT_EQ(m.frames, 1u);
    m.mu.unlock();
}
