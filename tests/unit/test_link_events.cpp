// The link event detector against the simulator's scenarios and their
// ground truth, fed through a live view's model in the scenario's own time,
// and against hand-made frames for what the scenarios do not reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include <fcntl.h>

#include "latency_report.h"
#include "link_events.h"
#include "scenario_feed.h"

namespace {

std::string scenario(const char* name)
{
    return std::string(TARN_SOURCE_DIR) + "/docs/scenarios/" + name + ".scn";
}

std::vector<link_event_t> all_events(const top_model_t& m)
{
    std::vector<link_event_t> out(m.events.ended().begin(), m.events.ended().end());
    for (const link_event_t& e : m.events.latest(64))
        if (e.ongoing) out.push_back(e);
    return out;
}

std::string listing(const std::vector<link_event_t>& evs)
{
    std::string s;
    for (const link_event_t& e : evs) s += "  " + event_text(e, 0) + "\n";
    return s;
}

// The event kinds a step of the scenario shows as, and the stage a latency
// step names.
std::set<std::string> kinds_of(const std::string& step)
{
    if (step == "loss" || step == "burst") return {"loss"};
    if (step == "stall") return {"stall", "loss"};
    if (step == "bad") return {"bad_records", "loss"};  // a refused record's id is missing too
    if (step == "frame" || step == "fec" || step == "decode" || step == "render" || step == "vtx" || step == "iframe")
        return {"latency_rise"};
    if (step == "rssi") return {"signal_fade"};
    if (step == "restart") return {"restart"};
    if (step == "codec") return {"codec_mismatch"};
    if (step == "rate") return {"fps_drop"};
    return {};
}

std::string stage_of(const std::string& step)
{
    return step == "iframe" ? "frame" : step;
}

// Checks the events of a scenario against its truth:
// - every step is found: an event of its kind overlaps the step (a second
//   of slack each side); a step that begins at once (not a ramp) has such
//   an event starting within 1 s of its start or already going on;
//   a step of a fixed size and length, one ending within 1 s of its end;
// - every range of lost ids of a burst or stall lies within a loss event's
//   ids (the frame after a gap is the one that tells);
// - a latency rise names a stage one of the steps under it slowed;
// - every event overlaps a step of its kind: nothing is made up.
void check_against_truth(const std::vector<link_event_t>& evs, const std::vector<truth_step_t>& truth,
                         const char* name)
{
    const std::string all = listing(evs);
    auto sec = [](int64_t ms) { return static_cast<double>(ms) / 1000.0; };
    for (const truth_step_t& t : truth) {
        const std::set<std::string> kinds = kinds_of(t.kind);
        if (kinds.empty() || (t.kind == "rate" && t.start_s < 1)) continue;
        bool overlap = false, start_ok = t.ramp;
        for (const link_event_t& e : evs) {
            if (!kinds.count(event_kind_name(e.kind))) continue;
            if (sec(e.start_ms) > t.end_s + 1 || sec(e.end_ms) < t.start_s - 1) continue;
            overlap = true;
            // Starting with the step, or already going on when it began (a
            // step that carries on a trouble).
            start_ok = start_ok || std::fabs(sec(e.start_ms) - t.start_s) <= 1 || sec(e.start_ms) < t.start_s;
        }
        EXPECT_TRUE(overlap) << name << ": step " << t.kind << " " << t.start_s << "-" << t.end_s << " s not found\n"
                             << all;
        if (t.kind != "loss" && t.kind != "bad") {
            EXPECT_TRUE(start_ok) << name << ": step " << t.kind << " at " << t.start_s << " s: no event starts near\n"
                                  << all;
        }
        // A step of a fixed size and length (not a ramp) that no other step
        // of its kind carries on: an event ends within 1 s of its end.
        const bool sized = !t.ramp && t.end_s - t.start_s > 0.01 && t.kind != "loss" && t.kind != "burst" &&
                           t.kind != "bad" && t.kind != "rate" && t.kind != "codec";
        bool carried = false;
        for (const truth_step_t& o : truth)
            carried = carried || (&o != &t && kinds_of(o.kind) == kinds && o.start_s <= t.end_s + 1 && o.end_s > t.end_s + 1);
        if (sized && !carried) {
            bool end_ok = false;
            for (const link_event_t& e : evs)
                end_ok = end_ok || (kinds.count(event_kind_name(e.kind)) && std::fabs(sec(e.end_ms) - t.end_s) <= 1);
            EXPECT_TRUE(end_ok) << name << ": step " << t.kind << " ending at " << t.end_s << " s: no event ends near\n"
                                << all;
        }
        if (t.kind == "burst" || t.kind == "stall") {
            for (const auto& r : t.lost) {
                bool in = false;
                for (const link_event_t& e : evs)
                    in = in || (e.kind == EV_LOSS && e.first_id <= r.second + 1 && r.second + 1 <= e.last_id);
                EXPECT_TRUE(in) << name << ": lost ids " << r.first << "-" << r.second << " not in a loss event\n"
                                << all;
            }
        }
    }
    for (const link_event_t& e : evs) {
        bool explained = false;
        std::set<std::string> stages;
        for (const truth_step_t& t : truth) {
            if (!kinds_of(t.kind).count(event_kind_name(e.kind))) continue;
            if (sec(e.start_ms) > t.end_s + 1 || sec(e.end_ms) < t.start_s - 1) continue;
            explained = true;
            stages.insert(stage_of(t.kind));
        }
        EXPECT_TRUE(explained) << name << ": made-up event " << event_text(e, 0) << "\n" << all;
        if (explained && e.kind == EV_LATENCY_RISE) {
            EXPECT_TRUE(stages.count(event_stage_name(e.stage))) << name << ": " << event_text(e, 0);
        }
    }
}

}  // namespace

TEST(LinkEvents, degrading_link_live)
{
    auto m = std::make_unique<top_model_t>();
    std::string err;
    const auto truth = feed_scenario(scenario("degrading-link"), *m, 1, &err);
    ASSERT_FALSE(truth.empty()) << err;
    const auto evs = all_events(*m);
    check_against_truth(evs, truth, "degrading-link");
}

TEST(LinkEvents, interference_live)
{
    auto m = std::make_unique<top_model_t>();
    std::string err;
    const auto truth = feed_scenario(scenario("interference"), *m, 1, &err);
    ASSERT_FALSE(truth.empty()) << err;
    check_against_truth(all_events(*m), truth, "interference");
}

TEST(LinkEvents, restart_live)
{
    auto m = std::make_unique<top_model_t>();
    std::string err;
    const auto truth = feed_scenario(scenario("restart"), *m, 1, &err);
    ASSERT_FALSE(truth.empty()) << err;
    const auto evs = all_events(*m);
    check_against_truth(evs, truth, "restart");
    // Two restarts, each from the last id before it to the first after.
    std::vector<link_event_t> restarts;
    for (const link_event_t& e : evs)
        if (e.kind == EV_RESTART) restarts.push_back(e);
    ASSERT_EQ(restarts.size(), 2u) << listing(evs);
    size_t i = 0;
    for (const truth_step_t& t : truth) {
        if (t.kind != "restart") continue;
        EXPECT_EQ(restarts[i].first_id, static_cast<uint32_t>(t.closed_after));
        EXPECT_EQ(restarts[i].last_id, static_cast<uint32_t>(t.first_id));
        EXPECT_NEAR(restarts[i].value, 1000 * (t.end_s - t.start_s), 60);
        i++;
    }
    // The renumbering is no loss, no repeat and no id out of order.
    std::lock_guard<std::mutex> lock(m->mu);
    EXPECT_EQ(top_repeats(*m), 0u);
    EXPECT_EQ(top_out_of_order(*m), 0u);
}

TEST(LinkEvents, healthy_ten_minutes_give_no_event)
{
    auto m = std::make_unique<top_model_t>();
    std::string err;
    const auto truth = feed_scenario(scenario("healthy"), *m, 1, &err);
    ASSERT_FALSE(truth.empty()) << err;
    EXPECT_GT(m->frames, 71000u);
    EXPECT_EQ(m->events.total(), 0u) << listing(all_events(*m));
    EXPECT_FALSE(m->events.degraded());
    // Other seeds too.
    for (unsigned seed : {2u, 3u}) {
        auto m2 = std::make_unique<top_model_t>();
        feed_scenario(scenario("healthy"), *m2, seed, &err);
        EXPECT_EQ(m2->events.total(), 0u) << "seed " << seed << "\n" << listing(all_events(*m2));
    }
}

// ------------------------------------------------------------ the report

namespace {

// The scenario recorded as the live view's -s log (the inspector's CSV),
// then read as tarn-latency-report reads it: the events of each run.
std::vector<run_summary_t> report_of_scenario(const char* name, std::vector<truth_step_t>& truth)
{
    // One header for the whole recording, as the inspector writes it.
    char dir[] = "/tmp/tarn-events-XXXXXX";
    if (mkdtemp(dir) == nullptr) return {};
    const std::string log = std::string(dir) + "/flight.csv";
    {
        auto m = std::make_unique<top_model_t>();
        m->save = true;
        m->log.path = log.c_str();
        m->new_run_per_connection = false;
        truth = feed_scenario(scenario(name), *m);
    }
    std::vector<run_summary_t> runs;
    run_data_t d;
    bool open = false;
    latency_log_sink sink;
    sink.header = [&](size_t line, int run) {
        if (open) runs.push_back(summarize_run(d));
        run_start(d, run, line, true);
        open = true;
    };
    sink.row = [&](size_t line, int run, const latency_row_t& row) {
        if (!open) run_start(d, run, line, false);
        open = true;
        run_add_row(d, line, row);
    };
    sink.malformed = [&](size_t line, int, const char* why) { run_add_malformed(d, line, why); };
    const int fd = ::open(log.c_str(), O_RDONLY);
    read_latency_log(fd, sink);
    ::close(fd);
    if (open) runs.push_back(summarize_run(d));
    unlink(log.c_str());
    rmdir(dir);
    return runs;
}

}  // namespace

TEST(LinkEventsReport, scenarios_without_restarts_give_the_live_events)
{
    for (const char* name : {"degrading-link", "interference"}) {
        std::vector<truth_step_t> truth;
        const auto runs = report_of_scenario(name, truth);
        ASSERT_EQ(runs.size(), 1u) << name;
        const run_summary_t& s = runs[0];
        EXPECT_TRUE(s.times_from_ids);
        // The log has no refused records: their ids are missing, so a bad
        // step shows as loss there.
        std::vector<link_event_t> evs;
        for (const link_event_t& e : s.events) evs.push_back(e);
        check_against_truth(evs, truth, name);
        for (const link_event_t& e : evs) EXPECT_EQ(e.start_wall, -1) << "a log without times of day";
    }
}

TEST(LinkEventsReport, restarts_split_the_id_accounting_and_are_events)
{
    std::vector<truth_step_t> truth;
    const auto runs = report_of_scenario("restart", truth);
    ASSERT_EQ(runs.size(), 1u);
    const run_summary_t& s = runs[0];
    EXPECT_EQ(s.restarts, 2u);
    EXPECT_EQ(s.repeats, 0u);
    EXPECT_EQ(s.out_of_order, 0u);
    EXPECT_EQ(s.missing, 0u);
    std::vector<const link_event_t*> restarts;
    bool decode = false, codec = false;
    for (const link_event_t& e : s.events) {
        if (e.kind == EV_RESTART) restarts.push_back(&e);
        decode = decode || (e.kind == EV_LATENCY_RISE && std::string(event_stage_name(e.stage)) == "decode");
        codec = codec || e.kind == EV_CODEC_MISMATCH;
        EXPECT_TRUE(e.kind == EV_RESTART || e.kind == EV_LATENCY_RISE || e.kind == EV_CODEC_MISMATCH)
            << event_text(e, 0);
    }
    EXPECT_TRUE(decode);
    EXPECT_TRUE(codec);
    EXPECT_GT(s.other_codec_frames, 0u);
    ASSERT_EQ(restarts.size(), 2u);
    size_t i = 0;
    for (const truth_step_t& t : truth) {
        if (t.kind != "restart") continue;
        EXPECT_EQ(restarts[i]->first_id, static_cast<uint32_t>(t.closed_after));
        EXPECT_EQ(restarts[i]->last_id, static_cast<uint32_t>(t.first_id));
        i++;
    }
    const std::string text = format_run_text(s);
    EXPECT_NE(text.find("frame-type codes of the other codec"), std::string::npos) << text;
}

TEST(LinkEventsReport, healthy_log_has_no_event)
{
    std::vector<truth_step_t> truth;
    const auto runs = report_of_scenario("healthy", truth);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_GT(runs[0].frames, 71000u);
    uint64_t total = 0;
    for (uint64_t c : runs[0].event_counts) total += c;
    EXPECT_EQ(total, 0u);
    EXPECT_NE(format_run_text(runs[0]).find("events:          none"), std::string::npos);
}

TEST(LinkEventsReport, frame_pacing_and_the_weak_end_of_the_signal)
{
    // 100 frames a second; ids 1-1000 but 401-450 lost (510 ms without a
    // frame) and 701-710 (110 ms); RSSI -40 but the 20 rows from 801 at -80.
    run_data_t d;
    run_start(d, 1, 1, true);
    size_t line = 2;
    for (uint32_t id = 1; id <= 1000; id++) {
        if ((id >= 401 && id <= 450) || (id >= 701 && id <= 710)) continue;
        latency_row_t r{};
        r.sample_id = id;
        r.fps = 100;
        r.rssi_dbm = id > 800 && id <= 820 ? -80 : -40;
        r.vrx_latency_ms = 10;
        r.frame_type = 65;
        r.kind = FRAME_KIND_P;
        r.codec = VENC_H264;
        run_add_row(d, line++, r);
    }
    const run_summary_t s = summarize_run(d);
    EXPECT_DOUBLE_EQ(s.frame_period_ms, 10);
    EXPECT_DOUBLE_EQ(s.longest_gap_ms, 510);
    EXPECT_EQ(s.longest_gap_after, 400u);
    EXPECT_EQ(s.stalls_100ms, 2u);
    EXPECT_EQ(s.stalls_500ms, 1u);
    // 939 intervals: p99 (rank 930) is a normal one, p99.9 (rank 939) the
    // longest.
    EXPECT_DOUBLE_EQ(s.low_1pct_fps, 100);
    EXPECT_NEAR(s.low_01pct_fps, 1000.0 / 510, 1e-9);
    EXPECT_DOUBLE_EQ(s.rssi_p1, -80);
    EXPECT_DOUBLE_EQ(s.rssi_p5, -40);
    // Both gaps are stalls (30 periods: 300 ms) only when long enough, and
    // loss events both; times in seconds from the run's start.
    int stalls = 0, losses = 0;
    for (const link_event_t& e : s.events) {
        stalls += e.kind == EV_STALL;
        losses += e.kind == EV_LOSS;
        if (e.kind == EV_STALL) {
            EXPECT_EQ(e.start_ms, 3990);
            EXPECT_EQ(e.end_ms, 4500);
            EXPECT_EQ(e.first_id, 400u);
            EXPECT_EQ(e.last_id, 451u);
        }
    }
    EXPECT_EQ(stalls, 1);
    EXPECT_EQ(losses, 2);
    const std::string text = format_run_text(s);
    EXPECT_NE(text.find("longest gap 0.510 s (after id 400), gaps over 100 ms: 2, over 500 ms: 1"), std::string::npos)
        << text;
    EXPECT_NE(text.find("RSSI p5 -40 dBm, p1 -80 dBm, min -80 dBm"), std::string::npos) << text;
}

namespace {

// Runs a program of the build (through the emulator of a cross build) and
// gives its standard output.
std::string run_program(const std::vector<std::string>& args, int& status)
{
    std::string cmd;
    const std::string emulator = TARN_TEST_EMULATOR;
    if (!emulator.empty()) cmd = emulator + " ";
    for (const std::string& a : args) cmd += "'" + a + "' ";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    if (p == nullptr) {
        status = -1;
        return out;
    }
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    status = pclose(p);
    return out;
}

}  // namespace

TEST(LinkEventsReport, the_views_log_has_a_run_per_connection_and_times_of_day)
{
    char dir[] = "/tmp/tarn-events-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string log = std::string(dir) + "/flight.csv";
    std::vector<truth_step_t> truth;
    {
        auto m = std::make_unique<top_model_t>();
        m->save = true;
        m->log.path = log.c_str();
        m->times_path = latency_times_path(log);
        truth = feed_scenario(scenario("restart"), *m);
    }
    int status = 0;
    const std::string out = run_program({std::string(TARN_BIN_DIR) + "/tarn-latency-report", "--json", log}, status);
    EXPECT_EQ(status, 0);
    cJSON* doc = cJSON_Parse(out.c_str());
    ASSERT_NE(doc, nullptr) << out.substr(0, 400);
    cJSON* runs = cJSON_GetObjectItem(doc, "runs");
    // Three connections, three runs; no restart inside any of them.
    ASSERT_EQ(cJSON_GetArraySize(runs), 3);
    std::vector<double> starts;
    for (cJSON* r = runs->child; r != nullptr; r = r->next) {
        EXPECT_EQ(cJSON_GetObjectItem(r, "restarts")->valuedouble, 0);
        EXPECT_EQ(cJSON_GetObjectItem(r, "repeats")->valuedouble, 0);
        EXPECT_EQ(cJSON_GetObjectItem(r, "missing_ids")->valuedouble, 0);
        cJSON* st = cJSON_GetObjectItem(r, "start_time");
        ASSERT_TRUE(cJSON_IsString(st));
        starts.push_back(iso_seconds(st->valuestring));
        for (cJSON* e = cJSON_GetObjectItem(r, "events")->child; e != nullptr; e = e->next) {
            // Events carry their times of day: the run's start plus start_s,
            // to the frame-rate timing's few ms.
            cJSON* et = cJSON_GetObjectItem(e, "start_time");
            ASSERT_TRUE(cJSON_IsString(et));
            EXPECT_NEAR(iso_seconds(et->valuestring), starts.back() + cJSON_GetObjectItem(e, "start_s")->valuedouble,
                        0.05);
        }
    }
    // The runs begin when the connections did: at 0 s, after the first
    // restart's pause (32 s) and after the second's (65 s).
    std::vector<double> expect = {0};
    for (const truth_step_t& t : truth)
        if (t.kind == "restart") expect.push_back(t.end_s);
    ASSERT_EQ(starts.size(), expect.size());
    for (size_t i = 0; i < starts.size(); i++) EXPECT_NEAR(starts[i], expect[i], 0.1) << "run " << i + 1;
    // The decode rise of the second run is found, its stage named.
    cJSON* second = cJSON_GetArrayItem(runs, 1);
    bool decode = false;
    for (cJSON* e = cJSON_GetObjectItem(second, "events")->child; e != nullptr; e = e->next)
        decode = decode || (std::string(cJSON_GetObjectItem(e, "kind")->valuestring) == "latency_rise" &&
                            cJSON_IsString(cJSON_GetObjectItem(e, "stage")) &&
                            std::string(cJSON_GetObjectItem(e, "stage")->valuestring) == "decode");
    EXPECT_TRUE(decode) << out.substr(0, 4000);
    cJSON_Delete(doc);
    unlink(log.c_str());
    unlink(latency_times_path(log).c_str());
    rmdir(dir);
}

TEST(LinkEvents, records_the_pipe_dropped_for_the_view_are_told_apart)
{
    char dir[] = "/tmp/tarn-drops-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string loc = std::string(dir) + "/";
    auto m = std::make_unique<top_model_t>();
    auto write = [&](const std::string& text) {
        FILE* f = fopen((loc + "drops").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    };
    const std::string me = std::to_string(getpid());
    // Another subscriber's line is not ours; a missing file is nothing.
    top_read_drops(*m, loc.c_str(), 100);
    write("1 5 600\n");
    top_read_drops(*m, loc.c_str(), 200);
    EXPECT_EQ(m->viewer_dropped, 0u);
    // 3 chunks of 10 records: 30 records, a viewer_behind event.
    write("1 5 600\n" + me + " 3 1800\n");
    top_read_drops(*m, loc.c_str(), 1000);
    EXPECT_EQ(m->viewer_dropped, 30u);
    // The same figures again add nothing; more add the difference.
    top_read_drops(*m, loc.c_str(), 2000);
    write(me + " 4 2400\n");
    top_read_drops(*m, loc.c_str(), 2500);
    EXPECT_EQ(m->viewer_dropped, 40u);
    // A new connection counts from zero again.
    write(me + " 1 600\n");
    top_read_drops(*m, loc.c_str(), 3000);
    EXPECT_EQ(m->viewer_dropped, 50u);
    // A file too large to be a drops file is not read.
    write(std::string(20000, '#') + "\n" + me + " 9 999999\n");
    top_read_drops(*m, loc.c_str(), 3500);
    EXPECT_EQ(m->viewer_dropped, 50u);
    top_tick(*m, 10000);
    const auto evs = all_events(*m);
    ASSERT_EQ(evs.size(), 1u) << listing(evs);
    EXPECT_EQ(evs[0].kind, EV_VIEWER_BEHIND);
    EXPECT_EQ(evs[0].count, 50u);
    EXPECT_EQ(evs[0].start_ms, 1000);
    EXPECT_EQ(evs[0].end_ms, 3000);
    EXPECT_FALSE(evs[0].ongoing);
    unlink((loc + "drops").c_str());
    rmdir(dir);
}

namespace {

// Frame k of a steady link at 120 frames a second: every latency 10 ms, RSSI
// -50 dBm, a P-frame with the given id and no ids missing before it.
event_frame_t steady_frame(int64_t k, uint32_t id)
{
    event_frame_t f;
    f.t_ms = k * 1000 / 120;
    f.wall_ms = f.t_ms;
    f.s.sample_id = id;
    f.s.kind = FRAME_KIND_P;
    for (double& v : f.s.v) v = 10;
    f.s.v[STAT_FPS] = 120;
    f.s.v[STAT_RSSI] = -50;
    f.missing = 0;
    return f;
}

}  // namespace

TEST(LinkEvents, what_is_kept_is_bounded_whatever_the_number_of_events)
{
    // A burst of 10 lost frames every 2.5 s for 1500 s at 120 frames a
    // second: 600 loss events, 1200 starts and ends nobody takes.
    link_events_t ev;
    uint32_t id = 1;
    for (int64_t k = 0; k < 1500 * 120; k++) {
        event_frame_t f = steady_frame(k, id);
        if (k > 0 && k % 300 == 0) {
            id += 10;
            f.s.sample_id = id;
            f.missing = 10;
        }
        ev.frame(f);
        id++;
    }
    ev.finish();
    EXPECT_EQ(ev.count(EV_LOSS, SEV_CRIT) + ev.count(EV_LOSS, SEV_WARN), 599u);
    EXPECT_EQ(ev.total(), 599u);
    EXPECT_EQ(ev.ended().size(), link_events_t::MAX_RECENT);
    const auto changes = ev.take_changes();
    EXPECT_EQ(changes.size(), link_events_t::MAX_CHANGES);
    EXPECT_EQ(ev.dropped_changes(), 2 * 599u - link_events_t::MAX_CHANGES);
    // The newest kept is the last burst's (frame 179,700 at 1,497,500 ms;
    // its 10 lost frames 8 ms apart before it).
    EXPECT_EQ(ev.ended().back().count, 10u);
    EXPECT_EQ(ev.ended().back().start_ms, 1497500 - 80);
}

TEST(LinkEvents, a_connection_lost_again_before_a_frame_makes_two_restarts)
{
    link_events_t ev;
    event_frame_t f;
    f.s.sample_id = 7;
    f.t_ms = 100;
    ev.frame(f);
    ev.disconnected(200, -1);
    ev.connected(1200, -1);
    ev.disconnected(1300, -1);
    ev.connected(3300, -1);
    f.s.sample_id = 1;
    f.t_ms = 3400;
    ev.frame(f);
    const auto changes = ev.take_changes();
    std::vector<link_event_t> ended;
    for (const event_change_t& c : changes)
        if (!c.started) ended.push_back(c.ev);
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0].start_ms, 200);
    EXPECT_EQ(ended[0].end_ms, 1200);
    EXPECT_EQ(ended[1].start_ms, 1300);
    EXPECT_EQ(ended[1].end_ms, 3300);
    EXPECT_EQ(ended[1].last_id, 1u);
    EXPECT_EQ(changes.size(), 4u);
    EXPECT_FALSE(ev.degraded());
}

TEST(LinkEvents, what_is_wrong_now_stays_first_among_many_newer_events)
{
    // The signal fades for good at 30 s; from 60 s a burst of 10 lost
    // frames every 2.5 s makes loss events that start later and end.
    link_events_t ev;
    uint32_t id = 1;
    for (int64_t k = 0; k < 180 * 120; k++) {
        event_frame_t f = steady_frame(k, id);
        if (f.t_ms >= 30000) f.s.v[STAT_RSSI] = -88;
        if (f.t_ms >= 60000 && k % 300 == 0) {
            id += 10;
            f.s.sample_id = id;
            f.missing = 10;
        }
        ev.frame(f);
        id++;
    }
    const auto open = ev.open_events();
    ASSERT_EQ(open.size(), 1u);
    ASSERT_EQ(open[0].kind, EV_SIGNAL_FADE);
    ASSERT_GT(ev.count(EV_LOSS, SEV_WARN) + ev.count(EV_LOSS, SEV_CRIT), 20u);
    const auto latest = ev.latest(3);
    ASSERT_EQ(latest.size(), 3u);
    EXPECT_EQ(latest[0].kind, EV_SIGNAL_FADE);
    EXPECT_TRUE(latest[0].ongoing);
    // Then the ended ones, the newest first.
    EXPECT_EQ(latest[1].kind, EV_LOSS);
    EXPECT_FALSE(latest[1].ongoing);
    EXPECT_EQ(latest[1].start_ms, ev.ended().back().start_ms);
    EXPECT_GT(latest[1].start_ms, latest[2].start_ms);
}
