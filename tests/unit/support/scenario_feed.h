// Runs a scenario of the simulator in its own time straight into a live
// view's model: the records, the connection's losses and returns and the
// passing of time reach top_feed, top_connected, top_disconnected and
// top_tick as the pipe and the view's loop would bring them, without
// waiting. The ground truth comes back parsed.
#ifndef TARN_TEST_SCENARIO_FEED_H
#define TARN_TEST_SCENARIO_FEED_H

#include <cJSON.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "brisk_pipe.h"
#include "sim_scenario.h"
#include "top_model.h"

struct truth_step_t {
    std::string kind;
    double start_s = 0, end_s = 0;  // from the scenario's start
    long long first_id = -1, last_id = -1;
    bool ramp = false;
    std::vector<std::pair<long long, long long>> lost;  // lost_ids or bad_ids
    int connection = 1;
    long long closed_after = -1;
};

// Wall clock of the scenario's time 0, in ms since 1970: a fixed moment so
// that times in the truth and the events can be compared.
constexpr int64_t FEED_WALL0_MS = 1765000000000;

struct model_sink_t : scenario_sink_t {
    top_model_t& m;
    int64_t now_ms = 0, ticked_ms = 0;
    explicit model_sink_t(top_model_t& model) : m(model)
    {
        m.wall_offset_ms = FEED_WALL0_MS;
        top_connected(m, 0, FEED_WALL0_MS / 1000);
    }
    bool wait_until(double when) override
    {
        const int64_t to = static_cast<int64_t>(std::llround(when * 1000));
        // The view's loop looks at least every 50 ms.
        for (int64_t t = ticked_ms + 50; t < to; t += 50) top_tick(m, t);
        if (to > now_ms) now_ms = to;
        ticked_ms = std::max(ticked_ms, now_ms - now_ms % 50);
        return true;
    }
    void write(const vrx_latency_packet_t* r, size_t n) override
    {
        top_feed(m, reinterpret_cast<const char*>(r), static_cast<int>(n * sizeof *r), now_ms);
    }
    void close() override { top_disconnected(m, now_ms, (FEED_WALL0_MS + now_ms) / 1000); }
    bool reopen(double when) override
    {
        wait_until(when);
        top_connected(m, now_ms, (FEED_WALL0_MS + now_ms) / 1000);
        return true;
    }
    struct timespec now() override
    {
        const int64_t w = FEED_WALL0_MS + now_ms;
        return {static_cast<time_t>(w / 1000), static_cast<long>(w % 1000) * 1000000};
    }
};

inline double iso_seconds(const char* iso)
{
    // "2025-12-06T05:46:40.123Z" -> seconds since FEED_WALL0_MS
    struct tm tmv {};
    int ms = 0;
    if (sscanf(iso, "%d-%d-%dT%d:%d:%d.%dZ", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday, &tmv.tm_hour, &tmv.tm_min,
               &tmv.tm_sec, &ms) != 7)
        return NAN;
    tmv.tm_year -= 1900;
    tmv.tm_mon -= 1;
    const int64_t s = static_cast<int64_t>(timegm(&tmv));
    return static_cast<double>(s * 1000 + ms - FEED_WALL0_MS) / 1000.0;
}

// Runs the scenario file into m; the truth steps in the order written.
inline std::vector<truth_step_t> feed_scenario(const std::string& path, top_model_t& m, unsigned seed = 1,
                                               std::string* error = nullptr)
{
    std::vector<truth_step_t> out;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        if (error) *error = "cannot open " + path;
        return out;
    }
    scenario_t scn;
    std::string err;
    const bool ok = parse_scenario(f, path, scn, err);
    fclose(f);
    if (!ok) {
        if (error) *error = err;
        return out;
    }
    scenario_params_t p;
    p.rate = 60;
    p.seed = seed;
    p.truth_fd = memfd_create("truth", 0);
    model_sink_t sink(m);
    main_running = 1;
    run_scenario(scn, p, sink);
    top_tick(m, sink.now_ms + 50);
    lseek(p.truth_fd, 0, SEEK_SET);
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(p.truth_fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(p.truth_fd);
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        cJSON* o = cJSON_ParseWithLength(text.data() + at, nl - at);
        at = nl + 1;
        if (o == nullptr) continue;
        truth_step_t t;
        t.kind = cJSON_GetObjectItem(o, "kind")->valuestring;
        t.start_s = iso_seconds(cJSON_GetObjectItem(o, "start")->valuestring);
        t.end_s = iso_seconds(cJSON_GetObjectItem(o, "end")->valuestring);
        if (cJSON* v = cJSON_GetObjectItem(o, "first_id"); cJSON_IsNumber(v)) t.first_id = static_cast<long long>(v->valuedouble);
        if (cJSON* v = cJSON_GetObjectItem(o, "last_id"); cJSON_IsNumber(v)) t.last_id = static_cast<long long>(v->valuedouble);
        t.ramp = cJSON_IsTrue(cJSON_GetObjectItem(o, "ramp"));
        if (cJSON* v = cJSON_GetObjectItem(o, "connection")) t.connection = v->valueint;
        if (cJSON* v = cJSON_GetObjectItem(o, "closed_after_id")) t.closed_after = static_cast<long long>(v->valuedouble);
        cJSON* ids = cJSON_GetObjectItem(o, "lost_ids");
        if (ids == nullptr) ids = cJSON_GetObjectItem(o, "bad_ids");
        for (cJSON* r = ids ? ids->child : nullptr; r != nullptr; r = r->next)
            t.lost.emplace_back(static_cast<long long>(cJSON_GetArrayItem(r, 0)->valuedouble),
                                static_cast<long long>(cJSON_GetArrayItem(r, 1)->valuedouble));
        out.push_back(t);
        cJSON_Delete(o);
    }
    return out;
}

#endif
