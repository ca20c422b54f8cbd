// Throughput and CPU cost of the real tarn-inspect-vrx, fed by a publisher
// at full speed, next to the bare pipe transport measured in the same run.
// Run it through bench/run_inspector_bench.sh: the inspector writes /etc and
// /data, so it must run inside a throwaway root.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_util.h"
#include "brisk_pipe.h"
#include "tarn_common.h"

namespace {

constexpr int RECORD = 60;
constexpr size_t ROW_BYTES = 169 + 5;  // row plus its "\r\e[2K" framing
std::string location;

void fill(std::vector<unsigned char>& buf, uint32_t& id)
{
    for (size_t off = 0; off < buf.size(); off += RECORD) {
        uint32_t magic = RECORD_MAGIC_NUMBER;
        memcpy(&buf[off], &magic, 4);
        memcpy(&buf[off + 4], &id, 4);
        int32_t type = id % 30 == 0 ? 101 : 65;
        memcpy(&buf[off + 40], &type, 4);
        float f = 12.5f + static_cast<float>(id % 7);
        for (int k = 8; k < 40; k += 4) memcpy(&buf[off + k], &f, 4);
        id++;
    }
}

// Publishes for secs seconds, flat out (rate 0) or at rate records per
// second; returns the records written.
long long publish(double secs, int per_write, double rate)
{
    std::vector<unsigned char> buf(static_cast<size_t>(per_write) * RECORD);
    static uint32_t id = 1;
    long long sent = 0;
    const double start = now_s();
    while (now_s() - start < secs) {
        fill(buf, id);
        pipe_server_write(0, buf.data(), static_cast<int>(buf.size()));
        sent += per_write;
        if (rate > 0) {
            const double due = start + static_cast<double>(sent) / rate;
            const double wait = due - now_s();
            if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
        }
    }
    return sent;
}

long long wchar_of(pid_t pid)
{
    std::ifstream f(fmt::format("/proc/{}/io", pid));
    std::string key;
    long long v;
    while (f >> key >> v)
        if (key == "wchar:") return v;
    return -1;
}

long long count_lines(const char* path)
{
    FILE* f = fopen(path, "r");
    if (f == nullptr) return 0;
    long long n = 0;
    int c;
    while ((c = getc_unlocked(f)) != EOF) n += c == '\n';
    fclose(f);
    return n;
}

struct result {
    long long sent = 0, rows = 0;
    double secs = 0, cpu_us = 0;
};

result run_inspector(int per_write, bool save, double secs, double rate)
{
    unlink("/data/tarn-inspect-vrx.csv");
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        const std::string bin = std::string(TARN_BIN_DIR) + "/tarn-inspect-vrx";
        if (save)
            execl(bin.c_str(), bin.c_str(), "-p", location.c_str(), "-s", nullptr);
        else
            execl(bin.c_str(), bin.c_str(), "-p", location.c_str(), nullptr);
        _exit(127);
    }
    while (pipe_server_get_num_clients(0) < 1) usleep(1000);
    usleep(200000);  // let it read its configuration
    const long long w0 = wchar_of(pid);
    result r;
    const double t0 = now_s();
    r.sent = publish(secs, per_write, rate);
    usleep(300000);  // let it drain what is queued
    r.secs = now_s() - t0;
    const long long w1 = wchar_of(pid);
    kill(pid, SIGTERM);
    int status;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    r.cpu_us = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
    r.rows = save ? count_lines("/data/tarn-inspect-vrx.csv") - 1 : (w1 - w0) / static_cast<long long>(ROW_BYTES);
    return r;
}

std::atomic<long long> bare_records{0};
void count_cb(int, char*, int bytes, void*)
{
    bare_records += bytes / RECORD;
}

double bare_rate(int per_write, double secs)
{
    bare_records = 0;
    pipe_client_set_simple_helper_cb(1, count_cb, nullptr);
    if (pipe_client_open(1, location.c_str(), "bench", CLIENT_FLAG_EN_SIMPLE_HELPER, 30000) < 0) {
        fprintf(stderr, "cannot open the bench client\n");
        exit(1);
    }
    while (pipe_server_get_num_clients(0) < 1) usleep(1000);
    const double t0 = now_s();
    publish(secs, per_write, 0);
    usleep(100000);
    const double rate = static_cast<double>(bare_records) / (now_s() - t0);
    pipe_client_close(1);
    while (pipe_server_get_num_clients(0) > 0) usleep(1000);
    return rate;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* sandboxed = getenv("TARN_SANDBOXED");
    if (sandboxed == nullptr || strcmp(sandboxed, "1") != 0) {
        fprintf(stderr, "run me through bench/run_inspector_bench.sh (I start the inspector, "
                        "which writes /etc and /data)\n");
        return 2;
    }
    const double secs = argc > 1 ? atof(argv[1]) : 3.0;
    char dir[] = "/tmp/tarn-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    location = std::string(dir) + "/vrx";
    signal(SIGPIPE, SIG_IGN);
    if (pipe_server_create(0, location.c_str(), 0) < 0) {
        fprintf(stderr, "cannot create the pipe\n");
        return 1;
    }

    const double bare1 = bare_rate(1, secs);
    const double bare500 = bare_rate(500, secs);
    fmt::print("bare transport, 1 record per write:    {:>12.0f} records/s\n", bare1);
    fmt::print("bare transport, 500 records per write: {:>12.0f} records/s\n\n", bare500);

    fmt::print("{:<34} {:>12} {:>12} {:>10} {:>9} {:>14}\n", "inspector", "sent/s", "rows/s", "us/row", "shown",
               "vs bare");
    for (int per_write : {1, 500}) {
        for (bool save : {false, true}) {
            const result r = run_inspector(per_write, save, secs, 0);
            const double rows_s = static_cast<double>(r.rows) / r.secs;
            const double bare = per_write == 1 ? bare1 : bare500;
            fmt::print("{:<34} {:>12.0f} {:>12.0f} {:>10.2f} {:>8.1f}% {:>13.1f}%\n",
                       fmt::format("{} per write{}", per_write, save ? ", -s (tmpfs)" : ""),
                       static_cast<double>(r.sent) / r.secs, rows_s,
                       r.rows > 0 ? r.cpu_us / static_cast<double>(r.rows) : 0.0,
                       100.0 * static_cast<double>(r.rows) / static_cast<double>(r.sent), 100.0 * rows_s / bare);
        }
    }
    const result idle = run_inspector(1, false, secs * 2, 120);
    fmt::print("\nat 120 records/s: {} rows, {:.3f}% of one core\n", idle.rows,
               100.0 * idle.cpu_us / (idle.secs * 1e6));
    pipe_server_close_all();
    return 0;
}
