// fault_publisher: publishes numbered latency records at a steady rate and
// measures how long each pipe_server_write takes, so a test can show that a
// stalled subscriber never slows the publisher.
//
//   fault_publisher PIPE RATE COUNT [WAIT_CLIENTS] [START_ID]
//
// Prints one line at the end:
//   "sent N delivered D max_write_us M elapsed_ms E"
// where D counts record deliveries over all clients.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "brisk_pipe.h"
#include "latency_record.h"

static int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int main(int argc, char* argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: fault_publisher PIPE RATE COUNT [WAIT_CLIENTS] [START_ID]\n");
        return 2;
    }
    const double rate = atof(argv[2]);
    const long count = atol(argv[3]);
    const int wait_clients = argc > 4 ? atoi(argv[4]) : 1;
    const uint32_t start_id = argc > 5 ? static_cast<uint32_t>(atol(argv[5])) : 1;
    if (rate <= 0 || count <= 0) return 2;

    enable_signal_handler();
    main_running = 1;
    if (pipe_server_create(0, argv[1], 0) < 0) {
        fprintf(stderr, "fault_publisher: cannot publish on %s\n", argv[1]);
        return 1;
    }
    while (main_running && pipe_server_get_num_clients(0) < wait_clients) usleep(2000);
    // Let the subscribers print their headers before the burst.
    usleep(200000);

    const int64_t period = static_cast<int64_t>(1e9 / rate);
    const int64_t start = now_ns();
    int64_t max_write = 0;
    long sent = 0, delivered = 0;
    for (; main_running && sent < count; sent++) {
        vrx_latency_packet_t r{};
        r.magic_number = RECORD_MAGIC_NUMBER;
        r.sample_id = start_id + static_cast<uint32_t>(sent);
        r.vrx_latency_ms = 20.0f;
        r.frame_type = 65;
        r.fps = 60.0f;
        const int64_t t0 = now_ns();
        const int n = pipe_server_write(0, &r, sizeof r);
        const int64_t took = now_ns() - t0;
        if (took > max_write) max_write = took;
        if (n > 0) delivered += n;
        const int64_t due = start + (sent + 1) * period;
        timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && main_running) {}
    }
    const int64_t elapsed = now_ns() - start;
    // Give the subscribers time to drain before the pipe goes away.
    usleep(500000);
    printf("sent %ld delivered %ld max_write_us %lld elapsed_ms %lld\n", sent, delivered,
           static_cast<long long>(max_write / 1000), static_cast<long long>(elapsed / 1000000));
    fflush(stdout);
    pipe_server_close_all();
    return 0;
}
