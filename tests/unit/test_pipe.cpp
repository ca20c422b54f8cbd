// libbrisk_pipe: servers and clients in this process (and forked children),
// every pipe under a temporary folder in /tmp given as an absolute path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "brisk_pipe.h"
#include "slow_factor.h"

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// What a client channel saw, filled by its callbacks.
struct seen_t {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> chunks;
    int connects = 0;
    int disconnects = 0;
    clock_type::time_point last_connect;

    // Callbacks may still point here: no channel may outlive its recorder.
    ~seen_t() { pipe_client_close_all(); }

    template <typename Pred>
    bool wait_for(Pred pred, milliseconds limit = milliseconds(3000 * slow_factor()))
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, limit, pred);
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lk(m);
        return chunks.size();
    }
};

void on_data(int, char* data, int bytes, void* ctx)
{
    auto* s = static_cast<seen_t*>(ctx);
    std::lock_guard<std::mutex> lk(s->m);
    s->chunks.emplace_back(data, static_cast<size_t>(bytes));
    s->cv.notify_all();
}
void on_connect(int, void* ctx)
{
    auto* s = static_cast<seen_t*>(ctx);
    std::lock_guard<std::mutex> lk(s->m);
    s->connects++;
    s->last_connect = clock_type::now();
    s->cv.notify_all();
}
void on_disconnect(int, void* ctx)
{
    auto* s = static_cast<seen_t*>(ctx);
    std::lock_guard<std::mutex> lk(s->m);
    s->disconnects++;
    s->cv.notify_all();
}

// Registers the recording callbacks, or clears them all for s == null.
void watch(int ch, seen_t* s)
{
    pipe_client_set_simple_helper_cb(ch, s ? on_data : nullptr, s);
    pipe_client_set_connect_cb(ch, s ? on_connect : nullptr, s);
    pipe_client_set_disconnect_cb(ch, s ? on_disconnect : nullptr, s);
}

bool wait_clients(int ch, int n, milliseconds limit = milliseconds(3000 * slow_factor()))
{
    auto end = clock_type::now() + limit;
    while (clock_type::now() < end) {
        if (pipe_server_get_num_clients(ch) == n) return true;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return false;
}

// Bytes of test chunk i: its size and content both depend on i.
std::string make_chunk(int i)
{
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u + 12345u;
    size_t size = 1 + (x >> 8) % 5000;
    std::string s(size, '\0');
    for (size_t j = 0; j < size; j++) s[j] = static_cast<char>((i * 31 + j * 7 + (j >> 8)) & 0xff);
    return s;
}

// Writes until at least `want` clients took the chunk (a full client buffer
// drops it, so the test tries again).
int write_until(int ch, const std::string& s, int want)
{
    int r = 0;
    for (int tries = 0; tries < 5000; tries++) {
        r = pipe_server_write(ch, s.data(), static_cast<int>(s.size()));
        if (r >= want || r < 0) return r;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return r;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Pipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/pipe-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        pipe_client_close_all();
        pipe_server_close_all();
        // Callbacks stay registered across opens; the contexts die with the test.
        for (int ch = 0; ch < PIPE_CLIENT_MAX_CHANNELS; ch++) watch(ch, nullptr);
        for (int ch = 0; ch < PIPE_SERVER_MAX_CHANNELS; ch++) pipe_server_set_control_cb(ch, nullptr, nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string loc(const char* name) { return dir + "/" + name; }
    std::string dir;
};

// ---- locations, names, errors, signals ----------------------------------

TEST(PipeLocation, expands_names_and_keeps_absolute_paths)
{
    char out[64];
    ASSERT_EQ(pipe_expand_location_string("vrx_latency", out), 0);
    EXPECT_STREQ(out, "/run/bpa/vrx_latency/");
    ASSERT_EQ(pipe_expand_location_string("a.b-c_9", out), 0);
    EXPECT_STREQ(out, "/run/bpa/a.b-c_9/");
    ASSERT_EQ(pipe_expand_location_string("/tmp/x", out), 0);
    EXPECT_STREQ(out, "/tmp/x/");
    ASSERT_EQ(pipe_expand_location_string("/tmp/x/", out), 0);
    EXPECT_STREQ(out, "/tmp/x/");
    ASSERT_EQ(pipe_expand_location_string("/run/bpa/vrx_latency/", out), 0);
    EXPECT_STREQ(out, "/run/bpa/vrx_latency/");
    // Partial paths live under the pipe folder too.
    ASSERT_EQ(pipe_expand_location_string("vrx_latency/", out), 0);
    EXPECT_STREQ(out, "/run/bpa/vrx_latency/");
    ASSERT_EQ(pipe_expand_location_string("cam/vrx_latency", out), 0);
    EXPECT_STREQ(out, "/run/bpa/cam/vrx_latency/");
    ASSERT_EQ(pipe_expand_location_string("cam/vrx_latency/", out), 0);
    EXPECT_STREQ(out, "/run/bpa/cam/vrx_latency/");
    char same[64] = "in_place";
    ASSERT_EQ(pipe_expand_location_string(same, same), 0);
    EXPECT_STREQ(same, "/run/bpa/in_place/");
}

TEST(PipeLocation, rejects_unsafe_or_empty_names)
{
    const char* bad[] = {"",         "..",  ".",    "../etc", "a/../b",      "a//b",    "./a",
                         "a/.",      "/",   "//",   "a//",    "/tmp/../etc", "/tmp/..", "/a//b",
                         "/tmp/./x", "a b", "a;rm", "ä",      "name\n",      "/tmp/x*", "$HOME"};
    for (const char* in : bad) {
        char out[64] = "untouched";
        EXPECT_LT(pipe_expand_location_string(in, out), 0) << "accepted \"" << in << "\"";
        EXPECT_STREQ(out, "") << in;
    }
    char out[64];
    EXPECT_LT(pipe_expand_location_string(nullptr, out), 0);
    EXPECT_LT(pipe_expand_location_string("x", nullptr), 0);
    // Names that merely contain dots are fine.
    EXPECT_EQ(pipe_expand_location_string("..x", out), 0);
    EXPECT_EQ(pipe_expand_location_string("/tmp/a..b", out), 0);
}

TEST(PipeLocation, sixty_three_character_limit_is_exact)
{
    char out[64];
    // "/run/bpa/" is 9 characters and the trailing '/' one more: 53 fit.
    std::string name(53, 'n');
    ASSERT_EQ(pipe_expand_location_string(name.c_str(), out), 0);
    EXPECT_EQ(strlen(out), 63u);
    EXPECT_LT(pipe_expand_location_string((name + "n").c_str(), out), 0);
    ASSERT_EQ(pipe_expand_location_string((name + "/").c_str(), out), 0);
    std::string partial = "c/" + std::string(51, 'n');
    ASSERT_EQ(pipe_expand_location_string(partial.c_str(), out), 0);
    EXPECT_EQ(strlen(out), 63u);
    EXPECT_LT(pipe_expand_location_string((partial + "n").c_str(), out), 0);

    std::string abs = "/" + std::string(61, 'a');  // 62 + '/' = 63
    ASSERT_EQ(pipe_expand_location_string(abs.c_str(), out), 0);
    EXPECT_EQ(strlen(out), 63u);
    ASSERT_EQ(pipe_expand_location_string((abs + "/").c_str(), out), 0);
    EXPECT_EQ(strlen(out), 63u);
    EXPECT_LT(pipe_expand_location_string((abs + "a").c_str(), out), 0);
    EXPECT_LT(pipe_expand_location_string(std::string(500, 'z').c_str(), out), 0);
}

TEST(PipeNames, image_formats_and_unknown_codes)
{
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_RAW8), "RAW8");
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_NV12), "NV12");
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_STEREO_RAW8), "STEREO_RAW8");
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_H264), "H264");
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_H265), "H265");
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_RGB), "RGB");
    EXPECT_STREQ(pipe_image_format_to_string(IMAGE_FORMAT_YUV420), "YUV420");
    EXPECT_STREQ(pipe_image_format_to_string(7), "UNKNOWN");
    EXPECT_STREQ(pipe_image_format_to_string(-1), "UNKNOWN");
}

TEST(PipeNames, print_error_writes_one_line_for_every_code)
{
    for (int code = 0; code >= -14; code--) {
        testing::internal::CaptureStderr();
        pipe_print_error(code);
        std::string text = testing::internal::GetCapturedStderr();
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << code << ": " << text;
    }
    // On a thread with no failure recorded (an earlier test's failure on
    // this one would be named with its path).
    testing::internal::CaptureStderr();
    std::thread([] { pipe_print_error(PIPE_ERROR_SERVER_NOT_AVAILABLE); }).join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: no server publishes at that location, is it running?\n");
    testing::internal::CaptureStderr();
    pipe_print_error(-77);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: unknown pipe error code -77\n");
}

TEST(PipeSignals, stop_signals_clear_running_flag_and_sigpipe_is_ignored)
{
    ASSERT_EQ(enable_signal_handler(), 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        main_running = 1;
        raise(sig);
        EXPECT_EQ(main_running, 0) << strsignal(sig);
    }
    main_running = 1;
    raise(SIGPIPE);  // would end the test program if not ignored
    EXPECT_EQ(main_running, 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
}

// ---- arguments and channel states ---------------------------------------

TEST_F(Pipe, rejects_bad_arguments_and_busy_channels)
{
    std::string l = loc("args");
    EXPECT_EQ(pipe_server_create(-1, l.c_str(), 0), PIPE_ERROR_CHANNEL_OOB);
    EXPECT_EQ(pipe_server_create(PIPE_SERVER_MAX_CHANNELS, l.c_str(), 0), PIPE_ERROR_CHANNEL_OOB);
    EXPECT_EQ(pipe_client_open(PIPE_CLIENT_MAX_CHANNELS, l.c_str(), "c", 1, 100), PIPE_ERROR_CHANNEL_OOB);
    EXPECT_EQ(pipe_server_create(0, "../x", 0), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_server_write(0, "x", 1), PIPE_ERROR_NOT_CONNECTED);

    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    EXPECT_EQ(pipe_server_create(0, l.c_str(), 0), PIPE_ERROR_CHANNEL_IN_USE);
    // A second server must not steal a location that is alive, nor remove
    // the files of the one that has it.
    EXPECT_EQ(pipe_server_create(1, l.c_str(), 0), PIPE_ERROR_CHANNEL_IN_USE);
    for (const char* f : {"/data", "/control", "/info", "/lock"}) EXPECT_TRUE(fs::exists(l + f)) << f;
    EXPECT_EQ(pipe_server_write(0, "x", 0), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_server_write(0, nullptr, 4), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_server_write(0, "x", 1), 0);  // nobody listens yet

    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 0), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 6, 100), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), nullptr, 1, 100), PIPE_ERROR_INVALID_ARG);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), 0);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), PIPE_ERROR_CHANNEL_IN_USE);
    EXPECT_EQ(pipe_client_close(0), 0);
    EXPECT_EQ(pipe_client_close(0), 0);
    EXPECT_EQ(pipe_server_close(0), 0);
    EXPECT_EQ(pipe_server_close(0), 0);
}

TEST_F(Pipe, open_with_no_server_fails_at_once_with_plain_message)
{
    std::string l = loc("nobody");
    seen_t s;
    watch(0, &s);
    auto t0 = clock_type::now();
    int rc = pipe_client_open(0, l.c_str(), "inspect-vrx", CLIENT_FLAG_EN_SIMPLE_HELPER, 30000);
    auto took = clock_type::now() - t0;
    EXPECT_EQ(rc, PIPE_ERROR_SERVER_NOT_AVAILABLE);
    EXPECT_LT(took, milliseconds(1000 * slow_factor()));
    // A stale socket file with nobody behind it is no server either.
    ASSERT_EQ(mkdir(l.c_str(), 0755), 0);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/data", l.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "inspect-vrx", 1, 30000), PIPE_ERROR_SERVER_NOT_AVAILABLE);
    EXPECT_EQ(s.connects, 0);
    testing::internal::CaptureStderr();
    pipe_print_error(rc);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("no server"), std::string::npos) << text;
}

// ---- data path -----------------------------------------------------------

TEST_F(Pipe, delivers_many_chunks_in_order_and_whole)
{
    std::string l = loc("order");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    seen_t s;
    watch(0, &s);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "order", 1, 8192), 0);
    ASSERT_TRUE(wait_clients(0, 1));
    const int n = 2000;
    for (int i = 0; i < n; i++) ASSERT_EQ(write_until(0, make_chunk(i), 1), 1) << i;
    ASSERT_TRUE(s.wait_for([&] { return s.chunks.size() >= n; }));
    std::lock_guard<std::mutex> lk(s.m);
    ASSERT_EQ(s.chunks.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; i++) ASSERT_EQ(s.chunks[i], make_chunk(i)) << "chunk " << i;
    EXPECT_EQ(s.connects, 1);
    EXPECT_EQ(s.disconnects, 0);
}

TEST_F(Pipe, serves_several_clients_including_ones_with_the_same_name)
{
    std::string l = loc("many");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    seen_t s[3];
    const char* names[3] = {"dup", "dup", "other"};
    for (int ch = 0; ch < 3; ch++) {
        watch(ch, &s[ch]);
        ASSERT_EQ(pipe_client_open(ch, l.c_str(), names[ch], 1, 1024), 0);
    }
    ASSERT_TRUE(wait_clients(0, 3));
    for (int i = 0; i < 300; i++) {
        std::string c = std::to_string(i) + std::string(static_cast<size_t>(i % 90), 'x');
        ASSERT_EQ(pipe_server_write(0, c.data(), static_cast<int>(c.size())), 3);
    }
    for (int ch = 0; ch < 3; ch++) {
        ASSERT_TRUE(s[ch].wait_for([&] { return s[ch].chunks.size() >= 300; })) << ch;
        std::lock_guard<std::mutex> lk(s[ch].m);
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(s[ch].chunks[i], std::to_string(i) + std::string(static_cast<size_t>(i % 90), 'x'));
    }
    // One client leaving leaves the others served.
    ASSERT_EQ(pipe_client_close(1), 0);
    ASSERT_TRUE(wait_clients(0, 2));
    EXPECT_EQ(pipe_server_write(0, "after", 5), 2);
    EXPECT_TRUE(s[0].wait_for([&] { return s[0].chunks.size() == 301; }));
    EXPECT_TRUE(s[2].wait_for([&] { return s[2].chunks.size() == 301; }));
    EXPECT_EQ(s[1].count(), 300u);
}

TEST_F(Pipe, chunk_larger_than_client_buffer_is_dropped_whole_with_one_message)
{
    std::string l = loc("big");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    seen_t s;
    watch(0, &s);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "small", 1, 100), 0);
    ASSERT_TRUE(wait_clients(0, 1));
    testing::internal::CaptureStderr();
    std::string a(50, 'a'), b(200, 'b'), c(100, 'c');
    ASSERT_EQ(pipe_server_write(0, a.data(), 50), 1);
    ASSERT_EQ(pipe_server_write(0, b.data(), 200), 1);
    ASSERT_EQ(pipe_server_write(0, c.data(), 100), 1);
    bool got = s.wait_for([&] { return s.chunks.size() >= 2; });
    std::this_thread::sleep_for(milliseconds(50));
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(got);
    std::lock_guard<std::mutex> lk(s.m);
    ASSERT_EQ(s.chunks.size(), 2u);
    EXPECT_EQ(s.chunks[0], a);
    EXPECT_EQ(s.chunks[1], c);  // exactly the buffer size still fits
    EXPECT_NE(err.find("dropped a 200-byte chunk larger than its 100-byte buffer"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

// ---- connection changes --------------------------------------------------

TEST_F(Pipe, client_reconnects_after_server_restart)
{
    std::string l = loc("restart");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    seen_t s;
    watch(0, &s);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "re", 1, 1024), 0);
    ASSERT_TRUE(s.wait_for([&] { return s.connects == 1; }));
    ASSERT_TRUE(wait_clients(0, 1));

    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(pipe_server_close(0), 0);
        EXPECT_FALSE(fs::exists(l + "/data"));
        ASSERT_TRUE(s.wait_for([&] { return s.disconnects == round + 1; }));
        // The client waits for the server without spinning: 300 ms of
        // waiting may cost a few ms of CPU, far from a busy loop's 300.
        timespec c0{}, c1{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
        std::this_thread::sleep_for(milliseconds(300));
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
        double cpu_ms = (c1.tv_sec - c0.tv_sec) * 1e3 + (c1.tv_nsec - c0.tv_nsec) / 1e6;
        EXPECT_LT(cpu_ms, 30.0);
        ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
        auto back = clock_type::now();
        ASSERT_TRUE(s.wait_for([&] { return s.connects == round + 2; }));
        auto took = std::chrono::duration_cast<milliseconds>(s.last_connect - back);
        std::printf("reconnected %lld ms after the server came back\n", static_cast<long long>(took.count()));
        EXPECT_LT(took, milliseconds(1000 * slow_factor()));
        ASSERT_TRUE(wait_clients(0, 1));
        std::string msg = "round" + std::to_string(round);
        ASSERT_EQ(pipe_server_write(0, msg.data(), static_cast<int>(msg.size())), 1);
        ASSERT_TRUE(s.wait_for([&] { return !s.chunks.empty() && s.chunks.back() == msg; }));
    }
}

TEST_F(Pipe, client_reconnects_when_a_killed_server_is_replaced)
{
    std::string l = loc("killed");
    // Fork before this process has threads of its own.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (pipe_server_create(0, l.c_str(), 0) != 0) _exit(3);
        for (;;) pause();
    }
    seen_t s;
    watch(0, &s);
    int rc = -1;
    for (int i = 0; i < 300 && rc != 0; i++) {
        rc = pipe_client_open(0, l.c_str(), "k", 1, 1024);
        if (rc != 0) std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_EQ(rc, 0);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(s.wait_for([&] { return s.disconnects == 1; }));
    EXPECT_TRUE(fs::exists(l + "/data"));  // the dead server's socket file stays

    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    auto back = clock_type::now();
    ASSERT_TRUE(s.wait_for([&] { return s.connects == 2; }));
    EXPECT_LT(s.last_connect - back, milliseconds(1000 * slow_factor()));
    ASSERT_TRUE(wait_clients(0, 1));
    ASSERT_EQ(pipe_server_write(0, "again", 5), 1);
    EXPECT_TRUE(s.wait_for([&] { return s.chunks.size() == 1 && s.chunks[0] == "again"; }));
}

void slow_count(int, char*, int, void* ctx)
{
    auto* n = static_cast<std::atomic<int>*>(ctx);
    n->fetch_add(1);
}

TEST_F(Pipe, stopped_client_process_does_not_slow_the_server)
{
    std::string l = loc("stopped");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static std::atomic<int> n{0};
        pipe_client_set_simple_helper_cb(0, slow_count, &n);
        for (int i = 0; i < 500; i++) {
            if (pipe_client_open(0, l.c_str(), "stopped", 1, 65536) == 0)
                for (;;) pause();
            usleep(10000);
        }
        _exit(3);
    }
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    ASSERT_TRUE(wait_clients(0, 1, milliseconds(6000 * slow_factor())));
    seen_t s;
    watch(1, &s);
    ASSERT_EQ(pipe_client_open(1, l.c_str(), "running", 1, 65536), 0);
    ASSERT_TRUE(wait_clients(0, 2));
    ASSERT_EQ(kill(child, SIGSTOP), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status));

    // 4000 chunks of 4 KiB are far more than the stopped client's socket can
    // hold: its share must be dropped while the running client gets all.
    std::string chunk(4096, 's');
    int only_one = 0;
    clock_type::duration slowest{};
    for (int i = 0; i < 4000; i++) {
        memcpy(&chunk[0], &i, sizeof(i));
        auto t0 = clock_type::now();
        int r = pipe_server_write(0, chunk.data(), static_cast<int>(chunk.size()));
        slowest = std::max(slowest, clock_type::now() - t0);
        ASSERT_GE(r, 1) << i;
        if (r == 1) only_one++;
        ASSERT_TRUE(s.wait_for([&] { return s.chunks.size() == static_cast<size_t>(i + 1); })) << i;
    }
    // The folder's drops file names the stopped client's process and what
    // it lost (within a second or so), and nobody else.
    const std::string want = std::to_string(child) + " " + std::to_string(only_one) + " " +
                             std::to_string(static_cast<uint64_t>(only_one) * 4096) + "\n";
    std::string drops;
    for (int k = 0; k < 50 * slow_factor() && drops != want; k++) {
        std::this_thread::sleep_for(milliseconds(100));
        std::ifstream f(l + "/drops");
        drops.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(drops, want);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::printf("slowest write %lld us, %d chunks lost by the stopped client\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(slowest).count()),
                only_one);
    EXPECT_GT(only_one, 0);
    EXPECT_LT(slowest, milliseconds(250 * slow_factor()));  // a blocking write would never return
    std::lock_guard<std::mutex> lk(s.m);
    for (int i = 0; i < 4000; i++) {
        int got;
        memcpy(&got, s.chunks[i].data(), sizeof(got));
        ASSERT_EQ(got, i);
    }
}

struct close_probe {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    std::atomic<int> closes_from_cb{0};
    bool close_in_cb = false;
};

void probe_cb(int ch, char*, int, void* ctx)
{
    auto* p = static_cast<close_probe*>(ctx);
    p->inside = true;
    p->calls++;
    if (p->close_in_cb) {
        EXPECT_EQ(pipe_client_close(ch), 0);
        p->closes_from_cb++;
    } else {
        std::this_thread::sleep_for(milliseconds(1));
    }
    p->inside = false;
}

TEST_F(Pipe, no_callback_runs_after_close_returns)
{
    std::string l = loc("close");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    close_probe p;
    seen_t s;
    watch(0, &s);
    pipe_client_set_simple_helper_cb(0, probe_cb, &p);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 256), 0);
    ASSERT_TRUE(wait_clients(0, 1));
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        while (writing) {
            pipe_server_write(0, "tick", 4);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    auto end = clock_type::now() + milliseconds(3000 * slow_factor());
    while (p.calls < 20 && clock_type::now() < end) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_EQ(pipe_client_close(0), 0);
    EXPECT_FALSE(p.inside);
    int after_close = p.calls;
    std::this_thread::sleep_for(milliseconds(100));
    writing = false;
    writer.join();
    EXPECT_GE(after_close, 20);
    EXPECT_EQ(p.calls, after_close);
    EXPECT_EQ(s.disconnects, 0);  // closing is not a loss
    EXPECT_TRUE(wait_clients(0, 0));
}

TEST_F(Pipe, close_from_inside_the_data_callback_ends_delivery)
{
    std::string l = loc("selfclose");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    close_probe p;
    p.close_in_cb = true;
    pipe_client_set_simple_helper_cb(0, probe_cb, &p);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 256), 0);
    ASSERT_TRUE(wait_clients(0, 1));
    for (int i = 0; i < 20; i++) pipe_server_write(0, "x", 1);
    ASSERT_TRUE(wait_clients(0, 0));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(p.calls, 1);
    EXPECT_EQ(p.closes_from_cb, 1);
    // The channel becomes free again once its reader has ended.
    seen_t s;
    watch(0, &s);
    int rc = PIPE_ERROR_CHANNEL_IN_USE;
    for (int i = 0; i < 100 && rc == PIPE_ERROR_CHANNEL_IN_USE; i++) {
        rc = pipe_client_open(0, l.c_str(), "c", 1, 256);
        if (rc != 0) std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(wait_clients(0, 1));
    EXPECT_EQ(pipe_server_write(0, "y", 1), 1);
    EXPECT_TRUE(s.wait_for([&] { return s.chunks.size() == 1; }));
}

// ---- info and control ----------------------------------------------------

TEST_F(Pipe, info_object_describes_the_pipe_and_updates_its_file)
{
    std::string l = loc("info_pipe");
    EXPECT_EQ(pipe_server_get_info_json_ptr(0), nullptr);
    EXPECT_LT(pipe_server_update_info(0), 0);
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    cJSON* info = pipe_server_get_info_json_ptr(0);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(info, "name")), "info_pipe");
    EXPECT_EQ(cJSON_GetStringValue(cJSON_GetObjectItem(info, "location")), l + "/");
    EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItem(info, "type")));
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(info, "server_name")), program_invocation_short_name);
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(info, "server_pid")), getpid());

    struct stat st {};
    ASSERT_EQ(stat((l + "/data").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    ASSERT_EQ(stat((l + "/control").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    cJSON* file = cJSON_Parse(read_file(l + "/info").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(file, "name")), "info_pipe");
    EXPECT_EQ(cJSON_GetObjectItem(file, "width"), nullptr);
    cJSON_Delete(file);

    cJSON_AddNumberToObject(info, "width", 640);
    cJSON_AddStringToObject(info, "string_format", pipe_image_format_to_string(IMAGE_FORMAT_H265));
    ASSERT_EQ(pipe_server_update_info(0), 0);
    file = cJSON_Parse(read_file(l + "/info").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(file, "width")), 640);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(file, "string_format")), "H265");
    EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(file, "server_pid")), getpid());
    cJSON_Delete(file);
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(l)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    // No temporary left; the lock file marks the one server of the folder.
    EXPECT_EQ(names, (std::vector<std::string>{"control", "data", "info", "lock"}));

    ASSERT_EQ(pipe_server_close(0), 0);
    EXPECT_EQ(pipe_server_get_info_json_ptr(0), nullptr);
    EXPECT_LT(pipe_server_update_info(0), 0);
    EXPECT_FALSE(fs::exists(l));
}

struct control_seen {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> cmds;
    std::vector<int> sizes;
    ~control_seen() { pipe_server_close_all(); }
};

void on_control(int ch, char* cmd, int bytes, void* ctx)
{
    auto* c = static_cast<control_seen*>(ctx);
    bool stop = std::string(cmd) == "stop";
    {
        std::lock_guard<std::mutex> lk(c->m);
        c->cmds.emplace_back(cmd);
        c->sizes.push_back(bytes);
        c->cv.notify_all();
    }
    if (stop) pipe_server_close(ch);
}

TEST_F(Pipe, control_commands_reach_the_server_callback_whole)
{
    std::string l = loc("ctrl");
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), "hello"), PIPE_ERROR_CTRL_NOT_AVAILABLE);
    control_seen c;
    pipe_server_set_control_cb(0, on_control, &c);
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), "set_cpu_mode_perf_with_pitmode"), 0);
    EXPECT_EQ(pipe_send_control_cmd((l + "/").c_str(), "second"), 0);
    std::string longest(4096, 'L');
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), longest.c_str()), 0);
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), (longest + "L").c_str()), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), ""), PIPE_ERROR_INVALID_ARG);
    EXPECT_EQ(pipe_send_control_cmd("../x", "cmd"), PIPE_ERROR_INVALID_ARG);
    {
        std::unique_lock<std::mutex> lk(c.m);
        ASSERT_TRUE(c.cv.wait_for(lk, milliseconds(3000 * slow_factor()), [&] { return c.cmds.size() >= 3; }));
        EXPECT_EQ(c.cmds, (std::vector<std::string>{"set_cpu_mode_perf_with_pitmode", "second", longest}));
        EXPECT_EQ(c.sizes, (std::vector<int>{30, 6, 4096}));
    }
    // The callback may close its own server.
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), "stop"), 0);
    auto end = clock_type::now() + milliseconds(3000 * slow_factor());
    while (fs::exists(l + "/control") && clock_type::now() < end) std::this_thread::sleep_for(milliseconds(5));
    EXPECT_FALSE(fs::exists(l + "/control"));
    EXPECT_EQ(pipe_server_write(0, "x", 1), PIPE_ERROR_NOT_CONNECTED);
    EXPECT_LT(pipe_send_control_cmd(l.c_str(), "hello"), 0);
    // And the channel can publish again afterwards.
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), "back"), 0);
    std::unique_lock<std::mutex> lk(c.m);
    EXPECT_TRUE(c.cv.wait_for(lk, milliseconds(3000 * slow_factor()), [&] { return c.cmds.back() == "back"; }));
}

}  // namespace

namespace {

struct info_from_cb {
    std::atomic<int> entered{0};
    std::atomic<int> done{0};
    std::atomic<bool> slow{false};
    std::atomic<bool> got_null{false};
};

// Edits the info object from the control callback, as a service does when a
// command changes its stream.
void edit_info_cb(int ch, char*, int, void* ctx)
{
    auto* p = static_cast<info_from_cb*>(ctx);
    p->entered++;
    if (p->slow) std::this_thread::sleep_for(milliseconds(100));
    cJSON* info = pipe_server_get_info_json_ptr(ch);
    if (info == nullptr) {
        p->got_null = true;
    } else {
        cJSON_AddNumberToObject(info, "framerate", 30);
        pipe_server_update_info(ch);
    }
    p->done++;
}

TEST_F(Pipe, control_callback_may_use_info_even_while_the_server_closes)
{
    std::string l = loc("cbinfo");
    info_from_cb p;
    pipe_server_set_control_cb(0, edit_info_cb, &p);
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    ASSERT_EQ(pipe_send_control_cmd(l.c_str(), "fps"), 0);
    auto end = clock_type::now() + milliseconds(3000 * slow_factor());
    while (p.done < 1 && clock_type::now() < end) std::this_thread::sleep_for(milliseconds(2));
    ASSERT_EQ(p.done, 1);
    EXPECT_NE(read_file(l + "/info").find("\"framerate\""), std::string::npos);

    // Closing while the callback is still to ask for the info object must
    // not leave the two waiting on each other; a hang ends the program.
    p.slow = true;
    ASSERT_EQ(pipe_send_control_cmd(l.c_str(), "fps"), 0);
    while (p.entered < 2 && clock_type::now() < end) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_EQ(p.entered, 2);
    alarm(20);
    EXPECT_EQ(pipe_server_close(0), 0);
    alarm(0);
    EXPECT_EQ(p.done, 2);
    EXPECT_TRUE(p.got_null);
    EXPECT_FALSE(fs::exists(l));
}

}  // namespace

// ---- files, folders and refusals -----------------------------------------

namespace {

mode_t mode_of(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) < 0) return 0;
    return st.st_mode & 07777;
}

std::string print_error_text(int code)
{
    testing::internal::CaptureStderr();
    pipe_print_error(code);
    return testing::internal::GetCapturedStderr();
}

TEST_F(Pipe, files_get_their_own_modes_whatever_the_umask)
{
    for (mode_t mask : {mode_t{0}, mode_t{077}}) {
        std::string l = loc(mask == 0 ? "m0/pipe" : "m77/pipe");
        mode_t old = umask(mask);
        int rc = pipe_server_create(0, l.c_str(), 0);
        if (rc == 0) rc = pipe_server_update_info(0);
        umask(old);
        ASSERT_EQ(rc, 0) << mask;
        EXPECT_EQ(mode_of(l), 0755u) << mask;
        EXPECT_EQ(mode_of(fs::path(l).parent_path().string()), 0755u) << mask;  // a parent it made
        EXPECT_EQ(mode_of(l + "/data"), 0666u) << mask;
        EXPECT_EQ(mode_of(l + "/control"), 0600u) << mask;
        EXPECT_EQ(mode_of(l + "/info"), 0644u) << mask;
        EXPECT_EQ(mode_of(l + "/lock"), 0600u) << mask;
        ASSERT_EQ(pipe_server_close(0), 0);
        EXPECT_FALSE(fs::exists(l));
    }
}

TEST_F(Pipe, folders_others_can_write_are_refused_by_servers_and_clients)
{
    // The pipe folder itself: never writable by others, sticky or not.
    for (mode_t m : {mode_t{0777}, mode_t{01777}, mode_t{0775}}) {
        std::string l = loc("open");
        ASSERT_EQ(mkdir(l.c_str(), 0700), 0);
        ASSERT_EQ(chmod(l.c_str(), m), 0);
        EXPECT_EQ(pipe_server_create(0, l.c_str(), 0), PIPE_ERROR_UNTRUSTED_FOLDER) << std::oct << m;
        std::string text = print_error_text(PIPE_ERROR_UNTRUSTED_FOLDER);
        EXPECT_NE(text.find("pipe folder " + l + "/ is writable by others"), std::string::npos) << text;
        EXPECT_TRUE(fs::is_empty(l)) << "nothing may be created in it";
        ASSERT_EQ(rmdir(l.c_str()), 0);
    }
    // A folder above it: fine when sticky, as /tmp is.
    std::string parent = loc("parent");
    ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
    ASSERT_EQ(chmod(parent.c_str(), 0777), 0);
    EXPECT_EQ(pipe_server_create(0, (parent + "/p").c_str(), 0), PIPE_ERROR_UNTRUSTED_FOLDER);
    EXPECT_NE(print_error_text(PIPE_ERROR_UNTRUSTED_FOLDER).find("folder " + parent + " is writable by others"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(parent + "/p"));
    ASSERT_EQ(chmod(parent.c_str(), 01777), 0);
    ASSERT_EQ(pipe_server_create(0, (parent + "/p").c_str(), 0), 0);

    // A client checks the same, and so does a control command.
    std::string l = parent + "/p";
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), 0);
    pipe_client_close(0);
    ASSERT_EQ(chmod(l.c_str(), 0777), 0);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), PIPE_ERROR_UNTRUSTED_FOLDER);
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), "x"), PIPE_ERROR_UNTRUSTED_FOLDER);
    ASSERT_EQ(chmod(parent.c_str(), 0777), 0);
    ASSERT_EQ(chmod(l.c_str(), 0755), 0);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), PIPE_ERROR_UNTRUSTED_FOLDER);
    ASSERT_EQ(chmod(parent.c_str(), 01777), 0);
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), 0);
}

TEST_F(Pipe, planted_symlinks_are_never_followed)
{
    std::string l = loc("planted");
    std::string victim = dir + "/victim";
    {
        std::ofstream(victim) << "precious\n";
    }
    ASSERT_EQ(mkdir(l.c_str(), 0755), 0);
    for (const char* f : {"/.info.tmp", "/info", "/data", "/control"})
        ASSERT_EQ(symlink(victim.c_str(), (l + f).c_str()), 0) << f;
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    ASSERT_EQ(pipe_server_update_info(0), 0);
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(l + "/info")));
    EXPECT_TRUE(fs::is_socket(fs::symlink_status(l + "/data")));
    EXPECT_TRUE(fs::is_socket(fs::symlink_status(l + "/control")));
    ASSERT_EQ(pipe_server_close(0), 0);
    // Close removes its own files only; the planted one stays.
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(l + "/.info.tmp")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(l + "/data")));
    // The lock file as a symlink: refused, nothing written through it.
    ASSERT_EQ(symlink(victim.c_str(), (l + "/lock").c_str()), 0);
    EXPECT_LT(pipe_server_create(0, l.c_str(), 0), 0);
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(l + "/lock")));
}

TEST_F(Pipe, error_texts_name_the_location)
{
    std::string l = loc("named");
    EXPECT_EQ(pipe_client_open(0, l.c_str(), "c", 1, 100), PIPE_ERROR_SERVER_NOT_AVAILABLE);
    EXPECT_EQ(print_error_text(PIPE_ERROR_SERVER_NOT_AVAILABLE),
              "ERROR: no server publishes at " + l + "/, is it running?\n");
    EXPECT_EQ(pipe_send_control_cmd(l.c_str(), "x"), PIPE_ERROR_CTRL_NOT_AVAILABLE);
    EXPECT_EQ(print_error_text(PIPE_ERROR_CTRL_NOT_AVAILABLE),
              "ERROR: nothing listens for control commands at " + l + "/\n");
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    EXPECT_EQ(pipe_server_create(1, l.c_str(), 0), PIPE_ERROR_CHANNEL_IN_USE);
    EXPECT_EQ(print_error_text(PIPE_ERROR_CHANNEL_IN_USE), "ERROR: another server already publishes at " + l + "/\n");
    // A later failure without a location gets the plain text again.
    EXPECT_EQ(pipe_server_create(0, l.c_str(), 0), PIPE_ERROR_CHANNEL_IN_USE);
    EXPECT_EQ(print_error_text(PIPE_ERROR_CHANNEL_IN_USE), "ERROR: that pipe channel or location is already in use\n");
}

struct ctrl_count {
    std::mutex m;
    std::vector<std::string> cmds;
};

void count_control(int, char* cmd, int bytes, void* ctx)
{
    auto* c = static_cast<ctrl_count*>(ctx);
    std::lock_guard<std::mutex> lk(c->m);
    c->cmds.emplace_back(cmd, static_cast<size_t>(bytes));
}

TEST_F(Pipe, empty_and_oversize_commands_are_dropped_with_few_lines)
{
    std::string l = loc("junk");
    ctrl_count c;
    pipe_server_set_control_cb(0, count_control, &c);
    ASSERT_EQ(pipe_server_create(0, l.c_str(), 0), 0);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/control", l.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::string big(PIPE_MAX_CONTROL_LEN + 1, 'B');
    testing::internal::CaptureStderr();
    auto t0 = clock_type::now();
    for (int i = 0; i < 2000; i++) {
        ASSERT_EQ(send(fd, "", 0, 0), 0);
        ASSERT_EQ(send(fd, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    }
    ASSERT_EQ(send(fd, "last", 4, 0), 4);
    auto end = clock_type::now() + milliseconds(5000 * slow_factor());
    while (clock_type::now() < end) {
        {
            std::lock_guard<std::mutex> lk(c.m);
            if (!c.cmds.empty()) break;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    double secs = std::chrono::duration<double>(clock_type::now() - t0).count();
    std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    {
        std::lock_guard<std::mutex> lk(c.m);
        EXPECT_EQ(c.cmds, std::vector<std::string>{"last"});
    }
    pipe_server_stats_t st{};
    ASSERT_EQ(pipe_server_get_stats(0, &st), 0);
    EXPECT_EQ(st.control_malformed, 4000u);
    EXPECT_EQ(st.control_refused, 0u);
    size_t lines = static_cast<size_t>(std::count(err.begin(), err.end(), '\n'));
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, static_cast<size_t>(secs) + 2) << err;
    EXPECT_NE(err.find("pipe server at " + l + "/ dropped"), std::string::npos) << err;
}

TEST_F(Pipe, clients_over_the_limit_are_closed_at_once_and_counted)
{
    std::string l = loc("limit");
    setenv("BRISK_PIPE_MAX_CLIENTS", "4", 1);
    int rc = pipe_server_create(0, l.c_str(), 0);
    unsetenv("BRISK_PIPE_MAX_CLIENTS");
    ASSERT_EQ(rc, 0);
    std::vector<int> fds;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/data", l.c_str());
    for (int i = 0; i < 10; i++) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        fds.push_back(fd);
        ASSERT_TRUE(wait_clients(0, std::min(i + 1, 4)));
    }
    pipe_server_stats_t st{};
    auto end = clock_type::now() + milliseconds(3000 * slow_factor());
    while (pipe_server_get_stats(0, &st) == 0 && st.clients_refused < 6 && clock_type::now() < end)
        std::this_thread::sleep_for(milliseconds(2));
    EXPECT_EQ(st.clients_refused, 6u);
    EXPECT_EQ(pipe_server_get_num_clients(0), 4);
    ASSERT_EQ(pipe_server_write(0, "r", 1), 4);
    // The first four get the record, the others were closed: end of stream.
    char b;
    for (int i = 0; i < 10; i++) EXPECT_EQ(recv(fds[i], &b, 1, 0), i < 4 ? 1 : 0) << i;
    // A place that is freed can be taken again.
    close(fds[0]);
    ASSERT_TRUE(wait_clients(0, 3));
    seen_t s;
    watch(0, &s);
    ASSERT_EQ(pipe_client_open(0, l.c_str(), "late", 1, 100), 0);
    ASSERT_TRUE(wait_clients(0, 4));
    EXPECT_EQ(write_until(0, "x", 4), 4);
    EXPECT_TRUE(s.wait_for([&] { return s.chunks.size() == 1; }));
    for (int i = 1; i < 10; i++) close(fds[i]);
}

}  // namespace
