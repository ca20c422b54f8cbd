// What the benchmark programs share: a clock, a generated inspector log and
// the timing of a program run.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "latency_record.h"

extern char** environ;

inline double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct bench_log_t {
    unsigned seed = 1;
    // Bursts of slow frames (one every four seconds on average, a third of a
    // second long) that also lose one id in ten, and I-frames that take
    // longer to assemble, as on a real link. Without: steady rows.
    bool bursts = false;
    float shift_ms = 0.0f;  // added to every VRX latency
};

// A log as the inspector writes it, with an I-frame every 30 rows.
inline bool write_bench_log(const std::string& path, long rows, const bench_log_t& o = {})
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::mt19937 rng(o.seed);
    std::normal_distribution<float> j(0.0f, 1.0f);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    fmt::memory_buffer b;
    fmt::format_to(std::back_inserter(b), "{}\n", latency_csv_header());
    bool bad = false;
    long id = 1;
    for (long i = 0; i < rows; i++) {
        if (o.bursts) {
            bad = bad ? u(rng) >= 1.0f / 20 : u(rng) < 1.0f / 240;
            if (bad && u(rng) < 0.1f) id++;
        }
        const bool iframe = i % 30 == 0;
        const float slow = bad ? 1.8f : 1.0f;
        const float fr = (o.bursts && iframe ? 4.5f : 2.5f) * slow + 0.4f * j(rng), fec = 0.9f * slow + 0.2f * j(rng),
                    dec = 3.8f + 0.5f * j(rng), ren = 1.6f + 0.3f * j(rng);
        const float vrx = fr + fec + dec + ren + 0.4f + o.shift_ms;
        fmt::format_to(std::back_inserter(b),
                       "{},{:.1f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{:.3f},{},{},{}\n", id++,
                       12.0f + j(rng), 8.5f + 0.8f * j(rng), vrx, vrx, fr, fec, dec, ren, 16.667f + 0.6f * j(rng),
                       60.0f + 0.05f * j(rng), -48 + static_cast<int>(3 * j(rng)), iframe ? 24 : 7,
                       iframe ? "H264 (I)" : "H264 (P)");
        if (b.size() > (1 << 20)) {
            fwrite(b.data(), 1, b.size(), f);
            b.clear();
        }
    }
    fwrite(b.data(), 1, b.size(), f);
    return fclose(f) == 0;
}

struct timing {
    double seconds = -1;  // -1: the run failed
    long max_rss_kb = 0;
};

// Wall time and peak resident memory of one run of args (found on PATH),
// its output sent to /dev/null, its input read from input when given.
inline timing time_run(const std::vector<std::string>& args, const char* input = nullptr)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (input != nullptr) posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, input, O_RDONLY, 0);
    const double start = now_s();
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) return {};
    int st = 0;
    struct rusage ru {};
    while (wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {}
    const double t = now_s() - start;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return {};
    return {t, ru.ru_maxrss};
}
