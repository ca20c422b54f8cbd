// Scenario files of tarn-vrx-sim: what the parser accepts, the one line it
// gives for every mistake, its bounds, and the timeline's determinism.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "brisk_pipe.h"
#include "sim_scenario.h"

namespace {

// Parses text as the file "t.scn"; err gets the message.
bool parse_text(const std::string& text, scenario_t& out, std::string& err)
{
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (f == nullptr) {
        err = "fmemopen failed";
        return false;
    }
    const bool ok = parse_scenario(f, "t.scn", out, err);
    fclose(f);
    return ok;
}

}  // namespace

TEST(ScenarioParser, reads_every_kind_of_step_with_its_units)
{
    const std::string text = "# at    for     what        how much\n"
                             "0s      -       rate        120          # from here on\n"
                             "10s     20s     decode      +6ms ramp\n"
                             "30s     3s      loss        25%\n"
                             "35s     2s      burst       10 1s\n"
                             "40s     900ms   stall\n"
                             "45s     5s      iframe      +14ms\n"
                             "50s     -       restart     2s\n"
                             "\n"
                             "   55s  10s     rssi        -78dBm ramp\n"
                             "1min    5s      rate        60fps\n"
                             "62s     1s      bad         5%\n"
                             "70s     -       codec       h265\n"
                             "71s     1s      vtx         -1.5ms\n"
                             "72s     1s      fec         0.002s\n"
                             "73s     1s      frame       3ms\n"
                             "74s     1s      render      1ms\n"
                             "1.5min  -       end";  // no line end at the very end
    scenario_t s;
    std::string err;
    ASSERT_TRUE(parse_text(text, s, err)) << err;
    ASSERT_EQ(s.steps.size(), 16u);
    const scenario_step_t& rate = s.steps[0];
    EXPECT_EQ(rate.kind, SCN_RATE);
    EXPECT_EQ(rate.line, 2);
    EXPECT_EQ(rate.dur, 0);
    EXPECT_EQ(rate.value, 120);
    const scenario_step_t& dec = s.steps[1];
    EXPECT_EQ(dec.kind, SCN_DECODE);
    EXPECT_EQ(dec.at, 10);
    EXPECT_EQ(dec.dur, 20);
    EXPECT_EQ(dec.value, 6);
    EXPECT_TRUE(dec.ramp);
    EXPECT_DOUBLE_EQ(s.steps[2].value, 0.25);
    EXPECT_FALSE(s.steps[2].ramp);
    EXPECT_EQ(s.steps[3].value, 10);
    EXPECT_EQ(s.steps[3].period, 1);
    EXPECT_EQ(s.steps[4].kind, SCN_STALL);
    EXPECT_DOUBLE_EQ(s.steps[4].dur, 0.9);
    EXPECT_EQ(s.steps[5].value, 14);
    EXPECT_EQ(s.steps[6].kind, SCN_RESTART);
    EXPECT_EQ(s.steps[6].value, 2);
    EXPECT_EQ(s.steps[7].line, 10);
    EXPECT_EQ(s.steps[7].value, -78);
    EXPECT_TRUE(s.steps[7].ramp);
    EXPECT_EQ(s.steps[8].at, 60);
    EXPECT_EQ(s.steps[8].value, 60);
    EXPECT_DOUBLE_EQ(s.steps[9].value, 0.05);
    EXPECT_EQ(s.steps[10].codec, VENC_H265);
    EXPECT_EQ(s.steps[11].kind, SCN_VTX);
    EXPECT_EQ(s.steps[11].value, -1.5);
    EXPECT_DOUBLE_EQ(s.steps[12].value, 2);  // 0.002 s is 2 ms
    EXPECT_EQ(s.steps[15].kind, SCN_END);
    EXPECT_EQ(s.steps[15].at, 90);
}

TEST(ScenarioParser, steps_of_one_kind_may_touch_and_a_timed_step_may_sit_on_a_standing_one)
{
    scenario_t s;
    std::string err;
    EXPECT_TRUE(parse_text("0s - decode +2ms\n"
                           "1s 1s decode +6ms\n"
                           "2s 1s decode +8ms ramp\n"  // begins where the last one ends
                           "3s - decode +1ms\n"
                           "3s 1s stall\n"
                           "4s - restart 1s\n"
                           "5s 1s stall\n"  // after the restart's pause
                           "5s 1s loss 10%\n"
                           "5s 1s burst 3 100ms\n"
                           "5s 1s bad 1%\n",
                           s, err))
        << err;
    EXPECT_EQ(s.steps.size(), 10u);
    EXPECT_TRUE(parse_text("", s, err)) << err;
    EXPECT_TRUE(s.steps.empty());
    EXPECT_TRUE(parse_text("# only a comment\n\n   \n", s, err)) << err;
    EXPECT_TRUE(s.steps.empty());
}

// Every mistake gives one line naming the file and line and what is wrong.
TEST(ScenarioParser, every_mistake_gives_one_line_with_file_and_line_number)
{
    struct bad_case {
        std::string step;  // goes on line 3
        const char* says;
        const char* line2 = "1s - rate 60";
    };
    const std::vector<bad_case> cases = {
        {"10s", "a step is: AT FOR WHAT"},
        {"10s -", "a step is: AT FOR WHAT"},
        {"10 - rate 5", "bad time '10'"},
        {"-1s - rate 5", "bad time '-1s'"},
        {"10h - rate 5", "bad time '10h'"},
        {"1.2.3s - rate 5", "bad time '1.2.3s'"},
        {"8days - rate 5", "bad time '8days'"},
        {"20000min - rate 5", "bad time '20000min'"},
        {"10s 0s decode +1ms", "bad duration '0s'"},
        {"10s x decode +1ms", "bad duration 'x'"},
        {"10s 1s jitter 5ms", "unknown step 'jitter'"},
        {"10s 1s Decode +1ms", "unknown step 'Decode'"},
        {"10s 1s decode", "decode needs a value"},
        {"10s 1s decode 6", "bad latency '6' for decode"},
        {"10s 1s decode +6dBm", "bad latency '+6dBm' for decode"},
        {"10s 1s vtx 11s", "bad latency '11s' for vtx"},
        {"10s 1s decode +6ms +7ms", "unexpected '+7ms' after decode"},
        {"10s - decode +6ms ramp", "a ramp needs a duration"},
        {"10s 1s loss 25% ramp", "loss cannot ramp"},
        {"10s 1s stall ramp", "stall cannot ramp"},
        {"10s 1s loss 25", "bad share '25' for loss"},
        {"10s 1s loss 125%", "bad share '125%' for loss"},
        {"10s 1s bad -5%", "bad share '-5%' for bad"},
        {"10s 1s burst 10", "burst needs a length and a period"},
        {"10s 1s burst 0 1s", "bad burst length '0'"},
        {"10s 1s burst 2.5 1s", "bad burst length '2.5'"},
        {"10s 1s burst 10 0s", "bad burst period '0s'"},
        {"10s 1s burst 10 1s 3", "unexpected '3' after burst"},
        {"10s 1s rate 0", "bad rate '0'"},
        {"10s 1s rate 2000000", "bad rate '2000000'"},
        {"10s 1s rate fast", "bad rate 'fast'"},
        {"10s 1s rssi -200dBm", "bad signal level '-200dBm'"},
        {"10s 1s rssi 5dBm", "bad signal level '5dBm'"},
        {"10s - codec vp9", "unknown codec 'vp9'"},
        {"10s - codec h264 h265", "unexpected 'h265' after codec"},
        {"10s - stall", "a stall needs a duration"},
        {"10s 1s stall 5", "unexpected '5' after stall"},
        {"10s 2s restart 2s", "restart takes '-' as its duration"},
        {"10s - restart", "restart needs a value"},
        {"10s - restart 0s", "bad restart pause '0s'"},
        {"10s 1s end", "end takes '-' as its duration"},
        {"10s - end now", "unexpected 'now' after end"},
        {"10s 1s decode +1ms", "decode at 10s comes after the end at 2s (line 2)", "2s - end"},
        {"10s - end", "a second end (line 2)", "20s - end"},
        {"2s 1s decode +1ms", "decode at 2s overlaps the decode of line 2 (1s to 4s)", "1s 3s decode +2ms"},
        {"3s - decode +1ms", "decode at 3s overlaps the decode of line 2 (1s to 4s)", "1s 3s decode +2ms ramp"},
        {"2s 1s stall", "stall at 2s overlaps the stall of line 2 (1s to 3s)", "1s 2s stall"},
        {"2s - restart 1s", "restart at 2s overlaps the stall of line 2 (1s to 3s)", "1s 2s stall"},
        {"1500ms 1s stall", "stall at 1.5s overlaps the restart of line 2 (1s to 2s)", "1s - restart 1s"},
        {"1s - rate 9", "two rate steps at 1s (line 2)"},
        {"1s - codec h265", "two codec steps at 1s (line 2)", "1s - codec h264"},
    };
    for (const bad_case& c : cases) {
        const std::string text = "# a scenario\n" + std::string(c.line2) + "\n" + c.step + "\n0s - rate 1\n";
        scenario_t s;
        std::string err;
        EXPECT_FALSE(parse_text(text, s, err)) << c.step;
        EXPECT_EQ(err.rfind("t.scn:3: ", 0), 0u) << c.step << " -> " << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.step << " -> " << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    }
}

TEST(ScenarioParser, a_step_after_the_end_is_refused_and_steps_apply_in_time_order)
{
    scenario_t s;
    std::string err;
    EXPECT_FALSE(parse_text("0s - rate 5\n5s - end\n6s 1s stall\n", s, err));
    EXPECT_EQ(err, "t.scn:3: stall at 6s comes after the end at 5s (line 2)");
    EXPECT_FALSE(parse_text("5s - end\n5s - end\n", s, err));
    EXPECT_EQ(err, "t.scn:2: a second end (line 1)");
    // A step at the end's moment, or written after it but earlier, is fine.
    EXPECT_TRUE(parse_text("5s - end\n5s - rate 4\n1s 10s decode +1ms\n", s, err)) << err;
    ASSERT_EQ(s.steps.size(), 3u);
    EXPECT_EQ(s.steps[0].line, 3);
    EXPECT_EQ(s.steps[1].line, 1);
    EXPECT_EQ(s.steps[2].line, 2);
}

// Lines, line length and step count are bounded: any file is read in
// bounded memory and stops at the first line past a bound.
TEST(ScenarioParser, bounds_on_line_length_lines_and_steps)
{
    scenario_t s;
    std::string err;
    std::string longest = "1s - rate 5 #";
    longest.resize(SCENARIO_MAX_LINE, 'x');
    EXPECT_TRUE(parse_text("0s - decode +1ms\n" + longest + "\n", s, err)) << err;
    EXPECT_FALSE(parse_text("0s - decode +1ms\n" + longest + "x\n", s, err));
    EXPECT_EQ(err, "t.scn:2: line longer than 1024 bytes");
    // A last line without its line end counts the same.
    EXPECT_FALSE(parse_text("0s - decode +1ms\n" + longest + "xx", s, err));
    EXPECT_EQ(err, "t.scn:2: line longer than 1024 bytes");
    // A very long line without a line end at all stops at the first bound.
    EXPECT_FALSE(parse_text(std::string(8 << 20, 'a'), s, err));
    EXPECT_EQ(err, "t.scn:1: line longer than 1024 bytes");

    std::string steps;
    for (size_t i = 0; i < SCENARIO_MAX_STEPS; i++) steps += std::to_string(i) + "ms 1ms decode +1ms\n";
    EXPECT_TRUE(parse_text(steps, s, err)) << err;
    EXPECT_EQ(s.steps.size(), SCENARIO_MAX_STEPS);
    EXPECT_FALSE(parse_text(steps + "20s - end\n", s, err));
    EXPECT_EQ(err, "t.scn:10001: more than 10000 steps");

    std::string comments(SCENARIO_MAX_LINES, '\n');
    EXPECT_TRUE(parse_text(comments, s, err)) << err;
    EXPECT_FALSE(parse_text(comments + "#\n", s, err));
    EXPECT_EQ(err, "t.scn:100001: more than 100000 lines");

    static const char with_nul[] = "0s - rate 5\n1s - ra\0te 5\n";
    EXPECT_FALSE(parse_text(std::string(with_nul, sizeof with_nul - 1), s, err));
    EXPECT_EQ(err, "t.scn:2: a NUL byte in the line");
}

// The jitter of frame n is the same whatever happened to the frames before:
// every frame draws the same number of values, I-frame or not, either codec.
TEST(ScenarioTimeline, synthetic_frames_draw_the_same_values_whatever_the_frame)
{
    std::mt19937 a(7), b(7);
    for (long long n = 0; n < 100; n++) {
        synth_record(1, n, n, 30, VENC_H264, 60, a);                          // I-frame every 30
        synth_record(1, n + 1, n, 7, n % 2 ? VENC_H265 : VENC_H264, 500, b);  // others
    }
    EXPECT_EQ(a(), b());
    std::mt19937 c(7);
    const vrx_latency_packet_t i = synth_record(5, 0, 0, 30, VENC_H265, 60, c);
    EXPECT_EQ(i.sample_id, 5u);
    EXPECT_EQ(i.frame_type, 19);
    EXPECT_EQ(i.magic_number, RECORD_MAGIC_NUMBER);
    const vrx_latency_packet_t p = synth_record(6, 1, 1, 30, VENC_H264, 60, c);
    EXPECT_EQ(p.frame_type, 65);
}

namespace {

// Runs a scenario with no subscriber and returns its truth lines, parsed.
std::vector<cJSON*> run_truth(const std::string& text, unsigned seed)
{
    scenario_t s;
    std::string err;
    EXPECT_TRUE(parse_text(text, s, err)) << err;
    char path[] = "/tmp/tarn-truth-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    scenario_params_t p;
    p.pipe = std::string(path) + ".pipe";
    p.seed = seed;
    p.rate = 20000;
    p.truth_fd = fd;
    main_running = 1;
    EXPECT_GE(scenario_open_pipe(p.pipe), 0);
    EXPECT_EQ(publish_scenario(s, p), 0);
    pipe_server_close_all();
    std::vector<cJSON*> lines;
    FILE* f = fdopen(fd, "r");
    rewind(f);
    char buf[1 << 16];
    while (fgets(buf, sizeof buf, f) != nullptr) lines.push_back(cJSON_Parse(buf));
    fclose(f);
    unlink(path);
    return lines;
}

cJSON* truth_of(const std::vector<cJSON*>& lines, const char* kind)
{
    for (cJSON* l : lines)
        if (l != nullptr && std::string(cJSON_GetObjectItem(l, "kind")->valuestring) == kind) return l;
    return nullptr;
}

double num(cJSON* o, const char* key)
{
    cJSON* v = cJSON_GetObjectItem(o, key);
    return v != nullptr && cJSON_IsNumber(v) ? v->valuedouble : -1;
}

}  // namespace

// Random loss follows the seed; stalls and bursts are exact and the same
// for any seed; a restart numbers frames from the first id again.
TEST(ScenarioTimeline, truth_is_deterministic_for_a_seed_and_exact_for_stalls_and_bursts)
{
    const std::string text = "10ms 10ms stall\n"        // 20 kHz: ids 201..400
                             "30ms 20ms loss 50%\n"     // ids 601..1000
                             "50ms 10ms burst 5 2ms\n"  // 5 bursts of 5 from id 1001
                             "60ms - restart 10ms\n"
                             "75ms - end\n";
    std::vector<std::string> loss_ids;
    for (unsigned seed : {1u, 1u, 2u}) {
        std::vector<cJSON*> t = run_truth(text, seed);
        cJSON* stall = truth_of(t, "stall");
        cJSON* loss = truth_of(t, "loss");
        cJSON* burst = truth_of(t, "burst");
        cJSON* restart = truth_of(t, "restart");
        ASSERT_TRUE(stall && loss && burst && restart);
        EXPECT_EQ(num(stall, "lost"), 200);
        EXPECT_EQ(num(stall, "first_id"), 201);
        EXPECT_EQ(num(stall, "last_id"), 400);
        EXPECT_EQ(num(stall, "frames"), 0);
        EXPECT_EQ(num(burst, "lost"), 25);
        EXPECT_EQ(num(burst, "bursts"), 5);
        EXPECT_EQ(num(burst, "frames"), 175);
        char* ids = cJSON_PrintUnformatted(cJSON_GetObjectItem(burst, "lost_ids"));
        EXPECT_STREQ(ids, "[[1001,1005],[1041,1045],[1081,1085],[1121,1125],[1161,1165]]");
        cJSON_free(ids);
        const double lost = num(loss, "lost");
        EXPECT_EQ(lost + num(loss, "frames"), 400);
        EXPECT_GT(lost, 120);  // 50 % of 400: far from 0 and from all
        EXPECT_LT(lost, 280);
        char* l = cJSON_PrintUnformatted(cJSON_GetObjectItem(loss, "lost_ids"));
        loss_ids.push_back(l);
        cJSON_free(l);
        EXPECT_EQ(num(restart, "closed_after_id"), 1200);
        EXPECT_EQ(num(restart, "first_id"), 1);
        EXPECT_EQ(num(restart, "connection"), 2);
        for (cJSON* o : t) cJSON_Delete(o);
    }
    EXPECT_EQ(loss_ids[0], loss_ids[1]);
    EXPECT_NE(loss_ids[0], loss_ids[2]);
}
