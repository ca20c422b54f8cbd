// The CSV log reader, the sample-id accounting, nearest-rank percentiles and
// the run summary of tarn-latency-report, and the row-to-record conversion
// that tarn-vrx-sim --replay publishes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "inspect_vrx.h"
#include "latency_log.h"
#include "latency_report.h"

namespace {

const std::string HEADER = latency_csv_header() + "\n";
const std::string WORKED = "1234,12.3,10.500,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,12,H264 (I)";

std::string row(uint32_t id, const char* type = "H264 (P)", const char* vrx = "10.000")
{
    return std::to_string(id) + ",12.0,8.000," + vrx + ",10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7," + type +
           "\n";
}

// Writes text to a temporary file and returns a descriptor open on it.
struct temp_log {
    std::string path;
    explicit temp_log(const std::string& text)
    {
        char p[] = "/tmp/tarn-log-XXXXXX";
        const int fd = mkstemp(p);
        path = p;
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    ~temp_log() { unlink(path.c_str()); }
};

struct event {
    char kind;  // 'h' header, 'r' row, 'm' malformed
    size_t line;
    int run;
    std::string what;
};

std::vector<event> read_all(const std::string& text)
{
    temp_log f(text);
    std::vector<event> ev;
    latency_log_sink sink;
    sink.header = [&](size_t l, int r) { ev.push_back({'h', l, r, ""}); };
    sink.row = [&](size_t l, int r, const latency_row_t& x) { ev.push_back({'r', l, r, std::to_string(x.sample_id)}); };
    sink.malformed = [&](size_t l, int r, const char* why) { ev.push_back({'m', l, r, why}); };
    const int fd = open_latency_log(f.path);
    EXPECT_EQ(read_latency_log(fd, sink), 0);
    close(fd);
    return ev;
}

}  // namespace

TEST(LatencyLog, parses_the_worked_example_line_field_by_field)
{
    latency_row_t r;
    ASSERT_EQ(parse_latency_line(WORKED, r), nullptr);
    EXPECT_EQ(r.sample_id, 1234u);
    EXPECT_FLOAT_EQ(r.input_mbps, 12.3f);
    EXPECT_FLOAT_EQ(r.vtx_latency_ms, 10.5f);
    EXPECT_FLOAT_EQ(r.vrx_latency_ms, 20.25f);
    EXPECT_FLOAT_EQ(r.avg_latency_ms, 20.25f);
    EXPECT_FLOAT_EQ(r.frame_latency_ms, 3.2f);
    EXPECT_FLOAT_EQ(r.fec_latency_ms, 1.1f);
    EXPECT_FLOAT_EQ(r.decode_latency_ms, 5.5f);
    EXPECT_FLOAT_EQ(r.render_latency_ms, 2.0f);
    EXPECT_FLOAT_EQ(r.pcap_delta_ms, 0.75f);
    EXPECT_FLOAT_EQ(r.fps, 59.94f);
    EXPECT_EQ(r.rssi_dbm, -45);
    EXPECT_EQ(r.fragments, 12);
    EXPECT_EQ(r.frame_type, 101);
    EXPECT_EQ(r.codec, VENC_H264);
    EXPECT_EQ(r.kind, FRAME_KIND_I);
    ASSERT_EQ(parse_latency_line(WORKED + "\r", r), nullptr) << "a CRLF line end is accepted";
    // What the inspector prints for special floats reads back as such.
    ASSERT_EQ(parse_latency_line("5,nan,-nan,inf,-inf,-0.000,1e3,0,0,0,0,0,0,H265 (SPS)", r), nullptr);
    EXPECT_TRUE(std::isnan(r.input_mbps));
    EXPECT_TRUE(std::isinf(r.vrx_latency_ms) && r.vrx_latency_ms > 0);
    EXPECT_TRUE(std::isinf(r.avg_latency_ms) && r.avg_latency_ms < 0);
    EXPECT_EQ(r.frame_type, 33);
    EXPECT_EQ(r.kind, FRAME_KIND_OTHER);
    // The largest float, printed whole, still parses.
    ASSERT_EQ(parse_latency_line("4294967295,340282346638528859811704183484516925440.000,0,0,0,0,0,0,0,0,0,"
                                 "-2147483648,2147483647,H264 (?) 77",
                                 r),
              nullptr);
    EXPECT_EQ(r.sample_id, 4294967295u);
    EXPECT_EQ(r.input_mbps, 3.40282346638528859811704183484516925440e38f);
    EXPECT_EQ(r.rssi_dbm, INT32_MIN);
    EXPECT_EQ(r.frame_type, 77);
}

TEST(LatencyLog, fast_number_parsing_gives_the_same_floats_as_from_chars)
{
    // Fixed-point texts of every length the fast paths take and just beyond
    // them (8 digits, 9 bytes), ties included, and texts that only look like
    // numbers; each must read as from_chars reads it. Read as the first float
    // of a line and as its last, where fewer bytes follow.
    std::mt19937 rng(3);
    std::vector<std::string> texts = {"0.000",     "-0.000",    "16777215", "1677721.5", "9999999",   "99999999",
                                      "0.1",       "8388.6085", "12.",      ".5",        "-.5",       "1e3",
                                      "-",         ".",         "-.",       "--1",       "1-2",       "1..2",
                                      "1.2.3",     "00.50",     "-0",       "0000000",   "-9999.999", "-99999.999",
                                      "9.9999999", "1234567.",  ".1234567", "12,5",      "1/2",       "1:2"};
    for (int i = 0; i < 100000; i++) {
        const int digits = 1 + static_cast<int>(rng() % 8);
        std::string t = rng() % 2 ? "-" : "";
        std::string d;
        for (int k = 0; k < digits; k++) d += static_cast<char>('0' + rng() % 10);
        const size_t point = rng() % (d.size() + 1);
        if (point < d.size()) d.insert(d.size() - point, ".");
        texts.push_back(t + d);
    }
    for (const std::string& t : texts) {
        float want;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), want);
        const bool ok = ec == std::errc() && p == t.data() + t.size();
        const std::string lines[2] = {"1," + t + ",0,0,0,0,0,0,0,0,0,0,0,H264 (P)",
                                      "1,0,0,0,0,0,0,0,0,0," + t + ",0,0,H264 (P)"};
        for (int at = 0; at < 2; at++) {
            const std::string& line = lines[at];
            latency_row_t r;
            const char* why = parse_latency_line(line, r);
            ASSERT_EQ(why == nullptr, ok) << line;
            if (ok) {
                const float got = at == 0 ? r.input_mbps : r.fps;
                EXPECT_EQ(got, want) << line;
                EXPECT_EQ(std::signbit(got), std::signbit(want)) << line;
            }
        }
    }
}

TEST(LatencyLog, reads_only_the_columns_asked_for_and_the_same_values)
{
    // The plot's second reading: the columns it asks for read as a whole
    // reading reads them; the others are left as they were.
    std::mt19937 rng(5);
    auto num = [&](int decimals) {
        const double v = static_cast<double>(static_cast<int>(rng() % 2000000) - 1000000) / 1000;
        return fmt::format("{:.{}f}", v, decimals);
    };
    for (int i = 0; i < 2000; i++) {
        std::string line = std::to_string(rng());
        for (int c = 0; c < 10; c++) line += "," + num(c == 0 ? 1 : 3);
        line += fmt::format(",{},{},{}", -static_cast<int>(rng() % 90), rng() % 40,
                            i % 3 == 0   ? "H264 (I)"
                            : i % 3 == 1 ? "H265 (P)"
                                         : "H264 (SPS)");
        latency_row_t whole, part;
        memset(&part, 0x55, sizeof part);
        const latency_row_t before = part;
        ASSERT_EQ(parse_latency_line(line, whole), nullptr) << line;
        ASSERT_EQ(parse_latency_line(line, part, PLOT_COLUMNS), nullptr) << line;
        for (size_t c = 0; c < LATENCY_COLUMN_COUNT; c++) {
            const latency_column_t& col = LATENCY_COLUMNS[c];
            if (col.csv_title == nullptr || col.source == SRC_AVERAGE) continue;
            const latency_row_t& want = (PLOT_COLUMNS & latency_column_bit(c)) ? whole : before;
            EXPECT_EQ(memcmp(reinterpret_cast<const char*>(&part) + col.offset,
                             reinterpret_cast<const char*>(&want) + col.offset, 4),
                      0)
                << col.member << " of " << line;
        }
        EXPECT_EQ(part.kind, whole.kind) << line;
        EXPECT_EQ(memcmp(&part.avg_latency_ms, &before.avg_latency_ms, sizeof(float)), 0) << line;
    }
    // Fields missing are still missing, whatever is asked for.
    latency_row_t r;
    EXPECT_STREQ(parse_latency_line("1234,12.3,10.500,20.250", r, PLOT_COLUMNS), "too few fields");
    EXPECT_STREQ(
        parse_latency_line("1234,12.3,10.500,x.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,12,H264 (I)", r,
                           PLOT_COLUMNS),
        "bad number");
}

TEST(LatencyLog, refuses_lines_the_inspector_cannot_have_written)
{
    const std::pair<std::string, std::string> bad[] = {
        {"", "empty line"},
        {"1234,12.3", "too few fields"},
        {"1234,12.3,10.500,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,12", "too few fields"},
        {WORKED + ",extra", "too many fields"},
        {"4294967296" + WORKED.substr(4), "bad sample id"},
        {"-1" + WORKED.substr(4), "bad sample id"},
        {"+5" + WORKED.substr(4), "bad sample id"},
        {" 1234" + WORKED.substr(4), "bad sample id"},
        {"1234,12.3.4" + WORKED.substr(9), "bad number"},
        {"1234,,10.500,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,12,H264 (I)", "bad number"},
        {"1234,12.3,1e999,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,12,H264 (I)", "bad number"},
        {"1234,12.3,10.500,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45x,12,H264 (I)", "bad RSSI"},
        {"1234,12.3,10.500,20.250,20.250,3.200,1.100,5.500,2.000,0.750,59.940,-45,2147483648,H264 (I)",
         "bad fragment count"},
        {WORKED.substr(0, WORKED.size() - 8) + "H266 (I)", "unknown frame type"},
        {WORKED.substr(0, WORKED.size() - 8) + "H264 (I) ", "unknown frame type"},
        // The inspector names 65 "H264 (P)", so "(?) 65" is not its text.
        {WORKED.substr(0, WORKED.size() - 8) + "H264 (?) 65", "unknown frame type"},
        {WORKED.substr(0, WORKED.size() - 8) + "H264 (VPS)", "unknown frame type"},
    };
    for (const auto& [line, why] : bad) {
        latency_row_t r;
        const char* got = parse_latency_line(line, r);
        ASSERT_NE(got, nullptr) << line;
        EXPECT_EQ(std::string(got), why) << line;
    }
}

TEST(LatencyLog, every_frame_type_text_reads_back_to_a_code_with_the_same_text)
{
    for (venc_mode_t mode : {VENC_H264, VENC_H265}) {
        for (int code = -300; code <= 300; code++) {
            const std::string text = nalu_as_string(code, mode);
            int32_t back;
            venc_mode_t codec;
            frame_kind_e kind;
            ASSERT_TRUE(parse_frame_type(text, back, codec, kind)) << text;
            EXPECT_EQ(nalu_as_string(back, codec), text);
            EXPECT_EQ(kind == FRAME_KIND_I, text.find("(I)") != std::string::npos) << text;
            EXPECT_EQ(kind == FRAME_KIND_P, text.find("(P)") != std::string::npos) << text;
        }
    }
}

TEST(LatencyLog, replayed_record_makes_the_inspector_write_the_same_line)
{
    char path[] = "/tmp/tarn-replay-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    csv_path = path;
    save_to_file = true;
    const std::vector<std::string> lines = {
        WORKED,
        "1235,11.0,9.125,18.500,18.500,3.000,1.000,4.000,2.000,16.667,60.000,-47,9,H264 (P)",
        "1236,11.0,9.125,7.000,7.000,1.000,1.000,1.000,1.000,16.667,60.000,-47,9,H264 (SPS)",
        "1237,0.0,0.000,1234.568,1234.568,0.000,0.000,0.000,0.000,0.000,0.000,0,0,H264 (?) 77",
    };
    std::vector<vrx_latency_packet_t> recs;
    for (const std::string& l : lines) {
        latency_row_t r;
        ASSERT_EQ(parse_latency_line(l, r), nullptr) << l;
        const vrx_latency_packet_t p = latency_row_to_record(r);
        EXPECT_EQ(p.magic_number, RECORD_MAGIC_NUMBER);
        EXPECT_EQ(p.vbat_vdc, 0.0f);
        recs.push_back(p);
    }
    std::vector<char> buf(recs.size() * sizeof(vrx_latency_packet_t));
    memcpy(buf.data(), recs.data(), buf.size());
    testing::internal::CaptureStdout();
    _helper_cb(0, buf.data(), static_cast<int>(buf.size()), nullptr);
    testing::internal::GetCapturedStdout();
    save_to_file = false;
    std::ifstream in(path);
    std::string got, want = HEADER;
    std::getline(in, got, '\0');
    for (const std::string& l : lines) want += l + "\n";
    EXPECT_EQ(got, want);
    unlink(path);
}

TEST(LatencyLog, numbers_runs_and_lines_and_reports_malformed_lines)
{
    const std::string text = row(1) + HEADER + row(2) + "garbage\n" + row(3) + HEADER + HEADER +
                             row(4).substr(0, row(4).size() - 1) + "\r\n" + "\n" +
                             row(5).substr(0, row(5).size() - 1);  // last line without "\n"
    const std::vector<event> ev = read_all(text);
    const std::vector<event> want = {
        {'r', 1, 1, "1"}, {'h', 2, 2, ""}, {'r', 3, 2, "2"}, {'m', 4, 2, "too few fields"}, {'r', 5, 2, "3"},
        {'h', 6, 3, ""},  {'h', 7, 4, ""}, {'r', 8, 4, "4"}, {'m', 9, 4, "empty line"},     {'r', 10, 4, "5"},
    };
    ASSERT_EQ(ev.size(), want.size());
    for (size_t i = 0; i < ev.size(); i++) {
        EXPECT_EQ(ev[i].kind, want[i].kind) << i;
        EXPECT_EQ(ev[i].line, want[i].line) << i;
        EXPECT_EQ(ev[i].run, want[i].run) << i;
        EXPECT_EQ(ev[i].what, want[i].what) << i;
    }
}

TEST(LatencyLog, long_lines_and_read_boundaries)
{
    // A line longer than the limit, one longer than the whole read buffer,
    // and enough rows that many lines straddle the 1 MiB read boundary.
    std::string text = HEADER + row(1) + std::string(5000, 'x') + "\n" + row(2) + std::string(3u << 20, 'y') + "\n";
    uint32_t id = 3;
    while (text.size() < (6u << 20)) text += row(id++);
    const std::vector<event> ev = read_all(text);
    size_t rows = 0;
    std::vector<size_t> bad;
    uint32_t expect = 1;
    for (const event& e : ev) {
        if (e.kind == 'r') {
            rows++;
            EXPECT_EQ(e.what, std::to_string(expect)) << "row lost or damaged near line " << e.line;
            expect++;
        }
        if (e.kind == 'm') {
            bad.push_back(e.line);
            EXPECT_EQ(e.what, "line too long");
        }
    }
    EXPECT_EQ(rows, id - 1);
    EXPECT_EQ(bad, (std::vector<size_t>{3, 5}));
    EXPECT_EQ(ev.back().line, id + 2) << "line numbers count the long lines once each";
}

TEST(LatencyLog, tells_where_each_line_starts_and_stops_when_asked)
{
    // Offsets across the 1 MiB read boundary and after a line too long.
    std::string text = HEADER + row(1) + std::string(5000, 'x') + "\n";
    uint32_t id = 2;
    while (text.size() < (3u << 20)) text += row(id++);
    text += HEADER + row(id);
    temp_log f(text);
    uint64_t offset = 0;
    bool stop = false;
    size_t checked = 0, rows = 0;
    latency_log_sink sink;
    sink.offset = &offset;
    sink.stop = &stop;
    auto line_at = [&](uint64_t at) { return text.substr(at, text.find('\n', at) - at); };
    sink.header = [&](size_t, int run) {
        EXPECT_EQ(line_at(offset) + "\n", HEADER);
        checked++;
        stop = run == 2;
    };
    sink.row = [&](size_t, int, const latency_row_t& r) {
        EXPECT_EQ(line_at(offset).substr(0, std::to_string(r.sample_id).size() + 1), std::to_string(r.sample_id) + ",");
        checked++;
        rows++;
    };
    sink.malformed = [&](size_t, int, const char*) {
        EXPECT_EQ(line_at(offset), std::string(5000, 'x'));
        checked++;
    };
    const int fd = open_latency_log(f.path);
    EXPECT_EQ(read_latency_log(fd, sink), 0);
    close(fd);
    EXPECT_EQ(rows, id - 1) << "the row after the second header is not read";
    EXPECT_EQ(checked, rows + 3);
}

TEST(LatencyLog, loads_a_run_for_replay)
{
    temp_log f(HEADER + row(1) + row(2) + HEADER + row(7) + "bad\n" + row(8) + row(9));
    std::vector<latency_row_t> rows;
    size_t bad = 99;
    EXPECT_EQ(load_latency_run(f.path, 1, rows, &bad), "");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].sample_id, 2u);
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(load_latency_run(f.path, 0, rows, &bad), "") << "0 is the last run";
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].sample_id, 7u);
    EXPECT_EQ(bad, 1u);
    EXPECT_EQ(load_latency_run(f.path, 3, rows, &bad), f.path + " holds 2 runs, there is no run 3");
    EXPECT_EQ(load_latency_run("/nonexistent/log.csv", 1, rows),
              "cannot open /nonexistent/log.csv: No such file or directory");
    EXPECT_EQ(load_latency_run("/tmp", 1, rows), "cannot read /tmp: Is a directory");
    temp_log empty("");
    EXPECT_EQ(load_latency_run(empty.path, 0, rows), empty.path + " holds no runs");

    // Where each run lies, for a second reading straight from its first line.
    const size_t first = HEADER.size() + row(1).size() + row(2).size();
    const size_t size = first + HEADER.size() + row(7).size() + 4 + row(8).size() + row(9).size();
    latency_run_place_t place;
    int chosen = 0;
    EXPECT_EQ(read_latency_run(f.path, 1, {}, &chosen, &place), "");
    EXPECT_EQ(chosen, 1);
    EXPECT_EQ(place.begin, 0u);
    EXPECT_EQ(place.end, first);
    EXPECT_EQ(read_latency_run(f.path, 0, {}, &chosen, &place), "");
    EXPECT_EQ(chosen, 2);
    EXPECT_EQ(place.begin, first);
    EXPECT_EQ(place.end, size);
    // Rows before the first header make run 1.
    temp_log headless(row(3) + HEADER + row(4));
    EXPECT_EQ(read_latency_run(headless.path, 2, {}, &chosen, &place), "");
    EXPECT_EQ(place.begin, row(3).size());
    EXPECT_EQ(place.end, row(3).size() + HEADER.size() + row(4).size());
}

TEST(SampleIds, gaps_repeats_late_ids_and_wrapping)
{
    auto run = [](std::vector<uint32_t> ids) {
        id_tracker_t t;
        for (uint32_t id : ids) track_id(t, id);
        return t;
    };
    id_tracker_t t = run({1, 2, 3, 4});
    EXPECT_EQ(t.missing + t.repeats + t.out_of_order, 0u);

    t = run({1, 2, 5, 6, 10});
    EXPECT_EQ(t.missing, 5u);
    ASSERT_EQ(t.gaps.size(), 2u);
    EXPECT_EQ(t.first_gaps(99)[0].first, 3);
    EXPECT_EQ(t.first_gaps(99)[0].last, 4);
    EXPECT_EQ(t.first_gaps(99)[1].first, 7);
    EXPECT_EQ(t.first_gaps(99)[1].last, 9);

    // A, B, A and a run of one id: repeats, consecutive or not.
    t = run({1, 2, 1, 3, 3, 3});
    EXPECT_EQ(t.repeats, 3u);
    EXPECT_EQ(t.missing, 0u);

    // Late ids fill their gap from either end or the middle.
    t = run({1, 10, 5, 2, 9, 5});
    EXPECT_EQ(t.out_of_order, 3u);
    EXPECT_EQ(t.repeats, 1u);
    EXPECT_EQ(t.missing, 5u);  // 3 4 6 7 8
    ASSERT_EQ(t.gaps.size(), 2u);
    EXPECT_EQ(t.first_gaps(99)[0].first, 3);
    EXPECT_EQ(t.first_gaps(99)[0].last, 4);
    EXPECT_EQ(t.first_gaps(99)[1].first, 6);
    EXPECT_EQ(t.first_gaps(99)[1].last, 8);

    // Across 4294967295 -> 0 nothing is missing, and a gap may span the wrap.
    t = run({4294967294u, 4294967295u, 0, 1, 4, 5});
    EXPECT_EQ(t.repeats + t.out_of_order, 0u);
    EXPECT_EQ(t.missing, 2u);
    t = run({4294967293u, 1});
    EXPECT_EQ(t.missing, 3u);
    EXPECT_EQ(static_cast<uint32_t>(t.first_gaps(99)[0].first), 4294967294u);
    EXPECT_EQ(static_cast<uint32_t>(t.first_gaps(99)[0].last), 0u);

    // The receiver restarting its numbering: lower new ids come out of
    // order, the ids seen before come again as repeats.
    t = run({100, 101, 102, 1, 2, 100, 101, 103});
    EXPECT_EQ(t.out_of_order, 2u);
    EXPECT_EQ(t.repeats, 2u);
    EXPECT_EQ(t.missing, 97u);  // 3..99
}

TEST(RunSummary, counts_frames_splits_i_and_p_and_shares_the_stages)
{
    run_data_t d;
    run_start(d, 1, 1, true);
    const std::vector<std::string> lines = {
        "10,12.0,8.000,20.000,20.000,4.000,2.000,8.000,4.000,16.667,60.000,-50,20,H265 (I)",
        "11,12.0,8.000,10.000,10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7,H265 (P)",
        "11,12.0,8.000,10.000,10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7,H265 (P)",
        "14,12.0,8.000,30.000,10.000,6.000,3.000,12.000,6.000,16.667,60.000,-50,7,H265 (P)",
        "15,12.0,8.000,nan,10.000,2.000,1.000,4.000,2.000,16.667,60.000,-50,7,H265 (VPS)",
    };
    size_t line = 2;
    for (const std::string& l : lines) {
        latency_row_t r;
        ASSERT_EQ(parse_latency_line(l, r), nullptr);
        run_add_row(d, line++, r);
    }
    run_add_malformed(d, line++, "bad number");
    const run_summary_t s = summarize_run(d);
    EXPECT_EQ(s.frames, 5u);
    EXPECT_EQ(s.first_id, 10u);
    EXPECT_EQ(s.last_id, 15u);
    EXPECT_EQ(s.missing, 2u);
    EXPECT_EQ(s.repeats, 1u);
    ASSERT_EQ(s.gaps.size(), 1u);
    EXPECT_EQ(s.gaps[0], (std::pair<uint32_t, uint64_t>(12, 2)));
    EXPECT_EQ(s.i_frames, 1u);
    EXPECT_EQ(s.p_frames, 3u);
    EXPECT_EQ(s.other_frames, 1u);
    EXPECT_EQ(s.malformed, 1u);
    EXPECT_EQ(s.last_line, 7u);
    EXPECT_EQ(s.columns[STAT_VRX].n, 4u);
    EXPECT_EQ(s.columns[STAT_VRX].nonfinite, 1u);
    EXPECT_EQ(s.columns[STAT_VRX].max, 30.0);
    EXPECT_EQ(s.columns[STAT_VRX].p50, 10.0);
    EXPECT_EQ(s.vrx_i.n, 1u);
    EXPECT_EQ(s.vrx_i.mean, 20.0);
    EXPECT_EQ(s.vrx_p.n, 3u);
    EXPECT_NEAR(s.vrx_p.mean, 50.0 / 3, 1e-9);
    // Sums over the four rows with a finite VRX latency: 70 ms in all.
    EXPECT_NEAR(s.share[0], 14.0 / 70, 1e-9);
    EXPECT_NEAR(s.share[1], 7.0 / 70, 1e-9);
    EXPECT_NEAR(s.share[2], 28.0 / 70, 1e-9);
    EXPECT_NEAR(s.share[3], 14.0 / 70, 1e-9);
    EXPECT_NEAR(s.share_rest, 7.0 / 70, 1e-9);

    const std::string text = format_run_text(s);
    // The rows give no frame rate: 60 a second, three periods without a frame.
    EXPECT_NE(text.find("missing ids:     2 in 1 gap\n    gaps: 12-13 (2, 0.05 s)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("line 7: bad number"), std::string::npos) << text;
    EXPECT_NE(text.find("(1 non-finite left out)"), std::string::npos) << text;

    cJSON* j = run_summary_json(s);
    EXPECT_EQ(cJSON_GetObjectItem(j, "repeats")->valuedouble, 1);
    cJSON* vrx = cJSON_GetObjectItem(cJSON_GetObjectItem(j, "columns"), "vrx_latency_ms");
    EXPECT_EQ(cJSON_GetObjectItem(vrx, "max")->valuedouble, 30);
    EXPECT_DOUBLE_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(j, "share_of_vrx_latency"), "fec")->valuedouble, 0.1);
    cJSON_Delete(j);
}

TEST(RunSummary, an_empty_run_has_no_values_but_still_prints)
{
    run_data_t d;
    run_start(d, 3, 9, true);
    const run_summary_t s = summarize_run(d);
    EXPECT_EQ(s.frames, 0u);
    EXPECT_TRUE(std::isnan(s.columns[STAT_VRX].p50));
    EXPECT_TRUE(std::isnan(s.share[0]));
    const std::string text = format_run_text(s);
    EXPECT_NE(text.find("run 3: lines 9-9"), std::string::npos);
    cJSON* j = run_summary_json(s);
    char* printed = cJSON_PrintUnformatted(j);
    EXPECT_NE(std::string(printed).find("\"p50\":null"), std::string::npos) << printed;
    cJSON_free(printed);
    cJSON_Delete(j);
    // An empty run still makes a well-formed plot.
    const std::string svg = render_run_svg(d, run_plot_t(0, 0), s, "a<&>\"b");
    EXPECT_NE(svg.find("a&lt;&amp;&gt;&quot;b"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
}
