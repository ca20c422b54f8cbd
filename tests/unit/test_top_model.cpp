// The model of tarn-vrx-top: id accounting, record checks, the rounding the
// CSV log uses, and the windows it feeds. The windows themselves are the
// statistics engine's, tested against brute force with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// Recordings in a folder: named by the UTC time of day, the next suffix
// while the log or its .times or .events is there, nothing written over,
// and a bounded number of names tried.
TEST(TopModel, recordings_take_a_new_name_and_never_write_over_one)
{
    char tmpl[] = "/tmp/tarn-record.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const time_t wall = 1796895665;  // 2026-12-10 09:41:05 UTC
    std::string why;
    const std::string first = record_claim(dir, wall, why);
    EXPECT_EQ(first, dir + "/2026-12-10T09-41-05Z.csv") << why;
    {
        FILE* f = fopen(first.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("kept\n", f);
        fclose(f);
    }
    EXPECT_EQ(record_claim(dir, wall, why), dir + "/2026-12-10T09-41-05Z-2.csv");
    // The times or events file of a name is as good as the log.
    for (const char* name : {"/2026-12-10T09-41-05Z-3.csv.times", "/2026-12-10T09-41-05Z-4.csv.events"}) {
        FILE* g = fopen((dir + name).c_str(), "w");
        ASSERT_NE(g, nullptr);
        fclose(g);
    }
    EXPECT_EQ(record_claim(dir, wall, why), dir + "/2026-12-10T09-41-05Z-5.csv");
    EXPECT_EQ(record_events_path(first), first + ".events");
    char text[16] = {};
    FILE* f = fopen(first.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fread(text, 1, sizeof text - 1, f), 5u);
    fclose(f);
    EXPECT_STREQ(text, "kept\n");
    for (int k = 6; k <= RECORD_NAME_TRIES; k++) record_claim(dir, wall, why);
    EXPECT_EQ(record_claim(dir, wall, why), "");
    EXPECT_NE(why.find("100 names"), std::string::npos) << why;
    EXPECT_EQ(record_claim(dir + "/missing", wall, why), "");
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}
