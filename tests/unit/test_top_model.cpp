// The model of tarn-vrx-top: id accounting, record checks, the rounding the
// CSV log uses, and the windows it feeds. The windows themselves are the
// statistics engine's, tested against brute force with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "latency_format.h"
#include "top_model.h"

// The log's rounding against printf's own: the CSV field and the model's
// quantized value both read as printf("%.3f") prints the float.
TEST(TopModel, quantized_values_are_the_logs_decimals)
{
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; i++) {
        uint32_t bits = rng();
        float v;
        memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v) || std::fabs(v) > 1e6f)
            v = static_cast<float>(static_cast<int32_t>(rng() % 2000000) - 1000000) / 997.0f;
        if (i < 8) v = std::vector<float>{0.0005f, 1.0005f, 2.5f, -0.0004f, 20.2505f, 0.1235f, 999.9995f, -3.0f}[i];
        vrx_latency_packet_t r{};
        r.magic_number = RECORD_MAGIC_NUMBER;
        r.vrx_latency_ms = v;
        fmt::memory_buffer csv;
        const std::string type = "x";
        append_csv_line(csv, r, {0, type});
        const std::string line(csv.data(), csv.size());
        // Fourth field: the VRX latency as the log prints it.
        size_t a = 0;
        for (int k = 0; k < 3; k++) a = line.find(',', a) + 1;
        const std::string field = line.substr(a, line.find(',', a) - a);
        int32_t q = 0;
        ASSERT_TRUE(quantize(v, 3, q));
        const int64_t mag = std::llabs(static_cast<long long>(q));
        const std::string mine = fmt::format("{}{}.{:03}", std::signbit(v) ? "-" : "", mag / 1000, mag % 1000);
        char printed[64];
        snprintf(printed, sizeof printed, "%.3f", static_cast<double>(v));
        EXPECT_EQ(field, printed) << "value " << v;
        EXPECT_EQ(mine, printed) << "value " << v;
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

TEST(TopModel, checks_counts_repeats_and_restarts_of_the_publisher)
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
    const window_figures_t f = top_figures(m, TOP_WINDOWS - 1, 0);
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
    EXPECT_EQ(top_figures(m, 3, 0).series[SER_VRX].n, 0u);
    m.mu.unlock();
    // The log's repeat rule carries on after a reset: 3 again is skipped.
    feed(m, records({3, 4}), 110);
    m.mu.lock();
    EXPECT_EQ(m.frames, 1u);
    m.mu.unlock();
}
