// One-way latency and throughput of 60-byte records through libbrisk_pipe
// (server in this thread, client reader thread of the library) against a
// bare SOCK_SEQPACKET socketpair doing the same send and receive in the same
// run. Usage: bench_pipe [latency_samples] [throughput_records]
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fmt/core.h>

#include "brisk_pipe.h"

namespace {

constexpr int RECORD_SIZE = 60;
constexpr int RECV_BUF = 30000;  // what the inspector asks for

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// What the receiving side records; shared by both transports.
struct sink_t {
    std::vector<int64_t> latency_ns;  // by sequence number
    std::atomic<int64_t> received{0};
    std::atomic<int64_t> last_ns{0};
};

sink_t g_sink;

void take(const char* data, int bytes)
{
    if (bytes != RECORD_SIZE) return;
    int64_t t = now_ns();
    int64_t sent, seq;
    memcpy(&sent, data, sizeof(sent));
    memcpy(&seq, data + 8, sizeof(seq));
    if (seq >= 0 && seq < static_cast<int64_t>(g_sink.latency_ns.size())) g_sink.latency_ns[seq] = t - sent;
    g_sink.last_ns.store(t, std::memory_order_relaxed);
    g_sink.received.fetch_add(1, std::memory_order_release);
}

void pipe_cb(int, char* data, int bytes, void*)
{
    take(data, bytes);
}

void wait_received(int64_t n)
{
    while (g_sink.received.load(std::memory_order_acquire) < n) sched_yield();
}

void reset_sink(size_t n)
{
    g_sink.latency_ns.assign(n, 0);
    g_sink.received.store(0);
    g_sink.last_ns.store(0);
}

void fill(char* rec, int64_t seq)
{
    int64_t t = now_ns();
    memcpy(rec, &t, sizeof(t));
    memcpy(rec + 8, &seq, sizeof(seq));
}

// A send function returns true when the record was taken.
using send_fn = bool (*)(const char* rec);

int g_bare_tx = -1;
bool bare_send(const char* rec)
{
    return send(g_bare_tx, rec, RECORD_SIZE, MSG_DONTWAIT | MSG_NOSIGNAL) == RECORD_SIZE;
}
int g_big_tx = -1;
bool big_send(const char* rec)
{
    return send(g_big_tx, rec, RECORD_SIZE, MSG_DONTWAIT | MSG_NOSIGNAL) == RECORD_SIZE;
}
bool pipe_send(const char* rec)
{
    return pipe_server_write(0, rec, RECORD_SIZE) == 1;
}

// One record in flight at a time: send, wait until it arrived, next. The
// latencies are appended to all.
void run_latency(send_fn tx, int n, std::vector<int64_t>& all)
{
    reset_sink(static_cast<size_t>(n));
    char rec[RECORD_SIZE] = {};
    for (int i = 0; i < n; i++) {
        fill(rec, i);
        while (!tx(rec)) sched_yield();
        wait_received(i + 1);
    }
    all.insert(all.end(), g_sink.latency_ns.begin(), g_sink.latency_ns.end());
}

// As fast as the receiver keeps up; a record the receiver had no room for is
// sent again, so both transports deliver every record. Records per second.
double run_throughput(send_fn tx, int n)
{
    reset_sink(static_cast<size_t>(n));
    char rec[RECORD_SIZE] = {};
    int64_t t0 = now_ns();
    for (int i = 0; i < n; i++) {
        fill(rec, i);
        while (!tx(rec)) sched_yield();
    }
    wait_received(n);
    return n / (static_cast<double>(g_sink.last_ns.load() - t0) / 1e9);
}

struct result_t {
    double median_us = 0, p99_us = 0, records_per_s = 0;
};

result_t summarise(std::vector<int64_t>& lat, std::vector<double>& rates)
{
    std::sort(lat.begin(), lat.end());
    std::sort(rates.begin(), rates.end());
    result_t r;
    r.median_us = static_cast<double>(lat[lat.size() / 2]) / 1000.0;
    r.p99_us = static_cast<double>(lat[lat.size() * 99 / 100]) / 1000.0;
    r.records_per_s = rates[rates.size() / 2];
    return r;
}

void bare_reader(int fd)
{
    std::vector<char> buf(RECV_BUF);
    for (;;) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        take(buf.data(), static_cast<int>(n));
    }
}

void print_row(const char* what, const result_t& r)
{
    fmt::print("{:<22} median {:8.2f} us   p99 {:8.2f} us   {:10.0f} records/s ({:6.1f} MB/s)\n", what, r.median_us,
               r.p99_us, r.records_per_s, r.records_per_s * RECORD_SIZE / 1e6);
}

}  // namespace

int main(int argc, char** argv)
{
    int lat_n = argc > 1 ? atoi(argv[1]) : 10000;
    int thr_n = argc > 2 ? atoi(argv[2]) : 200000;
    if (lat_n < 100 || thr_n < 1000) {
        fmt::print(stderr, "usage: bench_pipe [latency_samples>=100] [throughput_records>=1000]\n");
        return 2;
    }

    char tmpl[] = "/tmp/bench-pipe-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string loc = std::string(tmpl) + "/bench";

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0) {
        perror("socketpair");
        return 1;
    }
    g_bare_tx = sv[0];
    // The same pair again with the send buffer the library gives each client
    // socket: it shows what the larger queue alone costs under saturation.
    int big[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, big) < 0) {
        perror("socketpair");
        return 1;
    }
    int size = 4 * 1024 * 1024;
    if (setsockopt(big[0], SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) < 0)
        setsockopt(big[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    g_big_tx = big[0];
    std::thread big_reader(bare_reader, big[1]);
    std::thread bare(bare_reader, sv[1]);

    int rc = pipe_server_create(0, loc.c_str(), 0);
    if (rc == 0) {
        pipe_client_set_simple_helper_cb(0, pipe_cb, nullptr);
        rc = pipe_client_open(0, loc.c_str(), "bench", CLIENT_FLAG_EN_SIMPLE_HELPER, RECV_BUF);
    }
    if (rc < 0) {
        pipe_print_error(rc);
        return 1;
    }
    while (pipe_server_get_num_clients(0) < 1) usleep(1000);

    // Alternate the two transports round by round so that load from
    // elsewhere on the machine falls on both alike, and report the median
    // round of each figure so that one disturbed round does not decide.
    const int rounds = 5;
    constexpr int KINDS = 3;
    std::vector<double> med[KINDS], p99[KINDS], rates[KINDS];
    const char* names[KINDS] = {"socketpair", "socketpair 4M", "brisk_pipe"};
    send_fn senders[KINDS] = {bare_send, big_send, pipe_send};
    for (int round = 0; round < rounds; round++) {
        for (int k = 0; k < KINDS; k++) {
            std::vector<int64_t> lat;
            run_latency(senders[k], lat_n, lat);
            std::vector<double> rate{run_throughput(senders[k], thr_n)};
            result_t r = summarise(lat, rate);
            med[k].push_back(r.median_us);
            p99[k].push_back(r.p99_us);
            rates[k].push_back(r.records_per_s);
            print_row(fmt::format("round {} {}", round + 1, names[k]).c_str(), r);
        }
    }
    auto median_of = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    result_t res[KINDS];
    for (int k = 0; k < KINDS; k++) res[k] = result_t{median_of(med[k]), median_of(p99[k]), median_of(rates[k])};

    fmt::print("\nmedian of {} rounds of {} latency samples and {} throughput records of {} bytes\n", rounds, lat_n,
               thr_n, RECORD_SIZE);
    print_row("socketpair (baseline)", res[0]);
    print_row("socketpair, 4M sndbuf", res[1]);
    print_row("brisk_pipe", res[2]);
    fmt::print("latency ratio pipe/bare: median {:.2f}, p99 {:.2f} (target <= 1.5)\n",
               res[2].median_us / res[0].median_us, res[2].p99_us / res[0].p99_us);
    fmt::print("throughput pipe/bare: {:.0f}% (target >= 70%); against the 4M-buffer pair {:.0f}%\n",
               100.0 * res[2].records_per_s / res[0].records_per_s,
               100.0 * res[2].records_per_s / res[1].records_per_s);

    pipe_client_close_all();
    pipe_server_close_all();
    shutdown(sv[0], SHUT_RDWR);
    shutdown(big[0], SHUT_RDWR);
    bare.join();
    big_reader.join();
    for (int fd : {sv[0], sv[1], big[0], big[1]}) close(fd);
    rmdir(tmpl);
    return 0;
}
