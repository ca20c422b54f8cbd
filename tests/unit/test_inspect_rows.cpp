// The inspector's rows and CSV lines, checked against a model that prints
// them with C++ streams the way the table is defined, for ordinary and
// extreme values.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "inspect_vrx.h"
#include "temp_folder.h"

namespace {

struct model {
    std::deque<float> i_win, p_win;
    bool shown = false;
    uint32_t last = 0;
    std::ostringstream csv;
    model() { csv << std::fixed; }

    std::string feed(const std::vector<vrx_latency_packet_t>& recs, venc_mode_t mode, bool newline)
    {
        std::string out;
        for (const auto& r : recs) {
            if (shown && r.sample_id == last) continue;
            out += newline ? "\n" : "\r\e[2K";
            float avg = r.vrx_latency_ms;
            if (r.frame_type == 101 || r.frame_type == 19)
                avg = calc_avg_latency(r.vrx_latency_ms, i_win);
            else if (r.frame_type == 1 || r.frame_type == 65)
                avg = calc_avg_latency(r.vrx_latency_ms, p_win);
            last = r.sample_id;
            shown = true;
            const std::string type = nalu_as_string(r.frame_type, mode);
            std::ostringstream s;
            s << "|" << std::setw(8) << r.sample_id << " |" << std::fixed << std::setprecision(1) << std::setw(7)
              << r.input_mbps << "    |" << std::setprecision(3) << std::setw(7) << r.vtx_latency_ms << "  |"
              << std::setw(7) << r.vrx_latency_ms << "  |" << std::setw(9) << avg << "    |" << std::setw(8)
              << r.frame_latency_ms << "   |" << std::setw(7) << r.fec_latency_ms << "  |" << std::setw(9)
              << r.decode_latency_ms << "   |" << std::setw(9) << r.render_latency_ms << "   |" << std::setw(8)
              << r.pcap_delta_ms << "   |" << std::setprecision(1) << std::setw(5) << r.fps << " |" << std::setw(7)
              << r.rssi_dbm << "    |" << std::setw(5) << r.fragments << "  |" << std::setw(11) << type << " |"
              << std::setw(7) << r.vbat_vdc << "    |";
            out += s.str();
            csv << r.sample_id << "," << std::setprecision(1) << r.input_mbps << "," << std::setprecision(3)
                << r.vtx_latency_ms << "," << r.vrx_latency_ms << "," << avg << "," << r.frame_latency_ms << ","
                << r.fec_latency_ms << "," << r.decode_latency_ms << "," << r.render_latency_ms << ","
                << r.pcap_delta_ms << "," << r.fps << "," << r.rssi_dbm << "," << r.fragments << "," << type << "\n";
        }
        return out;
    }
};

vrx_latency_packet_t record(uint32_t id, int type, float vrx)
{
    vrx_latency_packet_t r{};
    r.magic_number = RECORD_MAGIC_NUMBER;
    r.sample_id = id;
    r.frame_type = type;
    r.vrx_latency_ms = vrx;
    return r;
}

std::string run_cb(const std::vector<vrx_latency_packet_t>& recs, size_t misalign = 0)
{
    std::vector<char> buf(recs.size() * 60 + misalign + 1);
    if (!recs.empty()) memcpy(buf.data() + misalign, recs.data(), recs.size() * 60);
    testing::internal::CaptureStdout();
    _helper_cb(0, buf.data() + misalign, static_cast<int>(recs.size() * 60), nullptr);
    return testing::internal::GetCapturedStdout();
}

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

float random_float(std::mt19937& rng)
{
    static const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     0.0f,
                                     -0.0f,
                                     0.0005f,
                                     -0.0005f,
                                     0.05f,
                                     0.25f,
                                     1234.5678f,
                                     1e30f,
                                     -1e30f,
                                     3.4e38f,
                                     1e-40f,
                                     99999.95f,
                                     0.0625f};
    switch (rng() % 5) {
    case 0: return specials[rng() % (sizeof specials / sizeof *specials)];
    case 4: {
        // Binary fractions land exactly on rounding ties: 0.0625 at three decimals.
        const float v = std::ldexp(static_cast<float>(rng() % 200000), -static_cast<int>(rng() % 14));
        return rng() % 2 ? -v : v;
    }
    case 1: {
        uint32_t bits = static_cast<uint32_t>(rng());
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    default: return std::uniform_real_distribution<float>(-50.0f, 2000.0f)(rng);
    }
}

// Every test starts from the inspector as at start; the CSV log, when a
// test saves, goes to its own folder.
class InspectRows : public TempFolderTest {
protected:
    std::string log;
    void SetUp() override
    {
        TempFolderTest::SetUp();
        inspector_reset();
        log = path("log.csv");
        csv_path = log.c_str();
    }
    void TearDown() override
    {
        save_to_file = false;
        en_newline = 0;
        current_encoding_scheme = VENC_H264;
        TempFolderTest::TearDown();
    }
};

}  // namespace

TEST_F(InspectRows, worked_example_gives_the_documented_row_and_csv_line)
{
    save_to_file = true;

    vrx_latency_packet_t r = record(1234, 101, 20.25f);
    r.input_mbps = 12.34f;
    r.vtx_latency_ms = 10.5f;
    r.frame_latency_ms = 3.2f;
    r.fec_latency_ms = 1.1f;
    r.decode_latency_ms = 5.5f;
    r.render_latency_ms = 2.0f;
    r.pcap_delta_ms = 0.75f;
    r.fragments = 12;
    r.rssi_dbm = -45;
    r.fps = 59.94f;
    r.vbat_vdc = 16.8f;
    const std::string row =
        "|    1234 |   12.3    | 10.500  | 20.250  |   20.250    |   3.200   |  1.100  |    5.500   "
        "|    2.000   |   0.750   | 59.9 |    -45    |   12  |   H264 (I) |   16.8    |";
    EXPECT_EQ(row.size(), 169u);
    EXPECT_EQ(run_cb({r}, 3), "\r\e[2K" + row);
    EXPECT_EQ(slurp(log), "Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,FEC "
                          "Latency,Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type\n"
                          "1234,12.3,10.500,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,12,H264 (I)\n");
}

TEST_F(InspectRows, first_sample_zero_is_shown_and_repeats_are_skipped)
{
    EXPECT_NE(run_cb({record(0, 65, 1.0f)}), "");
    // 0 again is a repeat now; 5, 5 shows once; A B A shows three rows.
    const std::string out = run_cb(
        {record(0, 65, 1.0f), record(5, 65, 2.0f), record(5, 65, 3.0f), record(6, 65, 4.0f), record(5, 65, 5.0f)});
    size_t rows = 0;
    for (size_t p = 0; (p = out.find("\r\e[2K", p)) != std::string::npos; p++) rows++;
    EXPECT_EQ(rows, 3u);
    EXPECT_EQ(out.find("|       0 |"), std::string::npos);
}

TEST_F(InspectRows, windows_keep_i_and_p_frames_apart_and_other_types_use_their_own_latency)
{
    std::vector<vrx_latency_packet_t> recs;
    for (uint32_t i = 1; i <= 9; i++) recs.push_back(record(i, 65, 10.0f));
    recs.push_back(record(10, 101, 40.0f));  // first I-frame: its own latency
    recs.push_back(record(11, 103, 7.0f));   // SPS: own latency, windows untouched
    recs.push_back(record(12, 65, 20.0f));   // P window: nine 10s and a 20
    recs.push_back(record(13, 19, 20.0f));   // 19 counts as an I-frame too: (40 + 20) / 2
    const std::string out = run_cb(recs);
    EXPECT_NE(out.find("|      10 |    0.0    |  0.000  | 40.000  |   40.000    |"), std::string::npos);
    EXPECT_NE(out.find("|      11 |    0.0    |  0.000  |  7.000  |    7.000    |"), std::string::npos);
    EXPECT_NE(out.find("|      12 |    0.0    |  0.000  | 20.000  |   11.000    |"), std::string::npos);
    EXPECT_NE(out.find("|      13 |    0.0    |  0.000  | 20.000  |   30.000    |"), std::string::npos);
    EXPECT_NE(out.find("H264 (?) 19 |"), std::string::npos);
}

TEST_F(InspectRows, rows_match_stream_formatting_for_any_values)
{
    save_to_file = true;

    std::mt19937 rng(42);
    model m;
    const int types[] = {101, 65, 19, 1, 103, 104, 77, -3, 0x25, 2147483647, -2147483647 - 1};
    for (int buffer = 0; buffer < 3000; buffer++) {
        const venc_mode_t mode = static_cast<venc_mode_t>(rng() % 3);
        current_encoding_scheme = mode;
        en_newline = static_cast<int>(rng() % 2);
        std::vector<vrx_latency_packet_t> recs(rng() % 6);
        for (auto& r : recs) {
            r.magic_number = RECORD_MAGIC_NUMBER;
            r.sample_id = rng() % 3 == 0 ? m.last : static_cast<uint32_t>(rng());
            float* f = &r.input_mbps;
            for (int k = 0; k < 8; k++) f[k] = random_float(rng);
            r.frame_type = types[rng() % (sizeof types / sizeof *types)];
            r.fragments = static_cast<int32_t>(rng());
            r.rssi_dbm = -static_cast<int32_t>(rng() % 120);
            r.fps = random_float(rng);
            r.vbat_vdc = random_float(rng);
        }
        const std::string want = m.feed(recs, mode, en_newline != 0);
        ASSERT_EQ(run_cb(recs, rng() % 4), want) << "buffer " << buffer;
    }
    EXPECT_EQ(slurp(log), "Sample ID,Input MBPS,VTX Latency,VRX Latency,Average Latency,Frame Latency,FEC "
                          "Latency,Decode Latency,Render Latency,PCAP Delta,FPS,RSSI,Fragments,Frame Type\n" +
                              m.csv.str());
}
