// The pipe library against another local user: every attack below is run
// by tests/faults/pipe_attacker as user and group 65534 through setpriv,
// against servers and clients of this process (root, inside the throwaway
// root). Counts of what got through are printed at the end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARN_SANITIZED 1
#endif
#endif
#ifndef TARN_SANITIZED
#define TARN_SANITIZED 0
#endif

namespace {

const char* const kAttacker = "/run/pipe-hostile/pipe_attacker";
const char* const kStickyTmp = "/run/pipe-hostile/tmp";  // a stand-in for /tmp
const char* const kCanary = "/etc/hexwing/tarn-vrx.conf";
const char* const kCanaryText = "{\"encoding\": \"h264\"}\n";

struct tally_t {
    int attacks = 0;
    int forged_rows = 0;
    int overwritten = 0;
    int healthy_lost = 0;
    double slowest_write_ms = 0;
    int connections = 0;
    unsigned long long clients_refused = 0;
    int races = 0, both_won = 0, none_won = 0, files_deleted = 0;
    int commands_sent = 0;
    unsigned long long commands_refused = 0;
} tally;

class PrintTally : public ::testing::Environment {
public:
    void TearDown() override
    {
        printf("hostile peers: attacks %d, forged rows accepted %d, files overwritten %d, "
               "healthy client records lost %d, publisher slowest write %.3f ms "
               "(%d connections attempted, %llu refused; %d foreign commands sent, %llu refused; "
               "%d start-up races: both won %d, none won %d, files deleted %d)\n",
               tally.attacks, tally.forged_rows, tally.overwritten, tally.healthy_lost, tally.slowest_write_ms,
               tally.connections, tally.clients_refused, tally.commands_sent, tally.commands_refused, tally.races,
               tally.both_won, tally.none_won, tally.files_deleted);
    }
};
const auto* const print_tally = ::testing::AddGlobalTestEnvironment(new PrintTally);

// The words of $TARN_EMULATOR: a cross build runs its programs through it.
std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    std::istringstream in(getenv("TARN_EMULATOR") != nullptr ? getenv("TARN_EMULATOR") : "");
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// How much longer than on the target the timed figures may take here: the
// tests' one slow-machine factor (TARN_SLOW, the emulator, the load), times
// 3 in a sanitizer build (there every call is instrumented; the bounds are
// the plain build's).
double hostile_slow_factor()
{
    return slow_factor() * (TARN_SANITIZED ? 3.0 : 1.0);
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The attacker as user 65534 (or as another user uid), its stdout on a pipe.
// Started through a second close-on-exec pipe that tells whether the child
// reached exec: under the emulator a forked child of this (threaded) test
// has been seen to stall before exec, which is no fault of the library; such
// a start is killed and made again (at most twice, and said on stderr).
struct attacker {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    std::string how;  // how the start went, for a failing wait's message

    explicit attacker(std::vector<std::string> args, unsigned uid = 65534)
    {
        const std::string id = std::to_string(uid);
        std::vector<std::string> full = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
        for (auto& w : emulator()) full.push_back(w);
        full.push_back(kAttacker);
        full.insert(full.end(), args.begin(), args.end());
        // Everything the child needs is made before the fork.
        std::vector<char*> argv;
        for (auto& a : full) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        for (int attempt = 1; attempt <= 3; attempt++) {
            if (start(argv)) {
                how = "started on attempt " + std::to_string(attempt);
                if (attempt > 1) fprintf(stderr, "attacker %s: %s\n", full.back().c_str(), how.c_str());
                tally.attacks++;
                return;
            }
        }
        how = "never reached exec in three starts";
    }
    // One start; false when the child did not reach exec in time (killed).
    bool start(std::vector<char*>& argv)
    {
        int p[2], ex[2];
        if (pipe2(p, O_CLOEXEC) < 0) return false;
        if (pipe2(ex, O_CLOEXEC) < 0) {
            close(p[0]);
            close(p[1]);
            return false;
        }
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            execvp(argv[0], argv.data());
            const char failed = 'x';
            ssize_t w = write(ex[1], &failed, 1);
            (void)w;
            _exit(127);
        }
        close(p[1]);
        close(ex[1]);
        out = p[0];
        // End of file on ex: the exec happened (or the child is gone).
        pollfd e{ex[0], POLLIN, 0};
        const int n = poll(&e, 1, 5000 * slow_factor());
        close(ex[0]);
        if (n > 0) return true;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(out);
        out = -1;
        pid = -1;
        return false;
    }
    // Reads stdout until it holds want (or the attacker ended).
    bool wait_for(const std::string& want, milliseconds limit = milliseconds(5000 * slow_factor()))
    {
        if (out < 0) return false;
        auto end = clock_type::now() + limit;
        while (text.find(want) == std::string::npos) {
            int left = static_cast<int>(std::chrono::duration_cast<milliseconds>(end - clock_type::now()).count());
            if (left <= 0) return false;
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) return false;
            char b[512];
            ssize_t n = read(out, b, sizeof(b));
            if (n <= 0) return false;
            text.append(b, static_cast<size_t>(n));
        }
        return true;
    }
    // Waits for the end; the exit status.
    int finish()
    {
        if (out < 0) return -1;
        char b[512];
        ssize_t n;
        while ((n = read(out, b, sizeof(b))) > 0) text.append(b, static_cast<size_t>(n));
        close(out);
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    ~attacker()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            finish();
        }
    }
};

// Counts the forged chunks a client of ours accepted.
struct rows_seen {
    std::mutex m;
    std::vector<uint32_t> ids;
    ~rows_seen() { pipe_client_close_all(); }
    size_t count()
    {
        std::lock_guard<std::mutex> lk(m);
        return ids.size();
    }
};

void on_rows(int, char* data, int bytes, void* ctx)
{
    auto* r = static_cast<rows_seen*>(ctx);
    std::lock_guard<std::mutex> lk(r->m);
    for (int off = 0; off + 8 <= bytes; off += 60) {
        uint32_t id;
        memcpy(&id, data + off + 4, 4);
        r->ids.push_back(id);
    }
}

void watch(int ch, rows_seen* r)
{
    pipe_client_set_simple_helper_cb(ch, r != nullptr ? on_rows : nullptr, r);
    pipe_client_set_connect_cb(ch, nullptr, nullptr);
    pipe_client_set_disconnect_cb(ch, nullptr, nullptr);
}

// A client of location that must be refused with code and words: no row of
// the server behind it may arrive meanwhile (counted as forged rows).
void expect_client_refused(const std::string& location, int code, const std::string& words)
{
    rows_seen r;
    watch(0, &r);
    EXPECT_EQ(pipe_client_open(0, location.c_str(), "inspect-vrx", 1, 30000), code) << location;
    testing::internal::CaptureStderr();
    pipe_print_error(code);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), words) << location;
    std::this_thread::sleep_for(milliseconds(100));
    pipe_client_close_all();
    tally.forged_rows += static_cast<int>(r.count());
    EXPECT_EQ(r.count(), 0u) << location;
}

// The canary and the folder it lives in must come out untouched.
int canary_damage()
{
    struct stat st {};
    int damage = 0;
    if (lstat(kCanary, &st) < 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0600) damage++;
    if (read_file(kCanary) != kCanaryText) damage++;
    for (auto& e : fs::directory_iterator("/etc/hexwing"))
        if (e.path() != kCanary) damage++;  // a pipe file written through a link
    return damage;
}

class Hostile : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (getuid() != 0) return;
        fs::create_directories("/run/pipe-hostile");
        chmod("/run/pipe-hostile", 0755);
        fs::copy_file(TARN_BIN_DIR "/pipe_attacker", kAttacker, fs::copy_options::overwrite_existing);
        chmod(kAttacker, 0755);
        fs::create_directories(kStickyTmp);
        chmod(kStickyTmp, 01777);
        // The pipe folder as the report found it: anybody may add to it.
        fs::create_directories("/run/bpa");
        chmod("/run/bpa", 01777);
        fs::create_directories("/etc/hexwing");
        std::ofstream(kCanary) << kCanaryText;
        chmod(kCanary, 0600);
    }
    void SetUp() override
    {
        if (getuid() != 0) GTEST_SKIP() << "needs root inside the sandbox to act as another user";
        ASSERT_EQ(system("setpriv --reuid=65534 --regid=65534 --clear-groups true"), 0) << "setpriv (util-linux)";
    }
    void TearDown() override
    {
        pipe_client_close_all();
        pipe_server_close_all();
        for (int ch = 0; ch < PIPE_CLIENT_MAX_CHANNELS; ch++) watch(ch, nullptr);
        for (int ch = 0; ch < PIPE_SERVER_MAX_CHANNELS; ch++) pipe_server_set_control_cb(ch, nullptr, nullptr);
    }
};

// ---- planted links and folders -------------------------------------------

TEST_F(Hostile, planted_links_and_folders_never_lead_our_files_elsewhere)
{
    std::string sticky = kStickyTmp;
    struct case_t {
        std::vector<std::string> attack;
        std::string location;
    } cases[] = {
        {{"plant", "/run/bpa/planted", kCanary}, "planted"},
        {{"link", "/run/bpa/linked", "/etc/hexwing"}, "linked"},
        {{"plant", sticky + "/planted", kCanary}, sticky + "/planted"},
        {{"link", sticky + "/linked", "/etc/hexwing"}, sticky + "/linked"},
        {{"link", sticky + "/deep", "/etc"}, sticky + "/deep/hexwing"},
    };
    for (auto& c : cases) {
        attacker a(c.attack);
        ASSERT_EQ(a.finish(), 0) << a.text;
        int rc = pipe_server_create(0, c.location.c_str(), 0);
        EXPECT_EQ(rc, PIPE_ERROR_UNTRUSTED_FOLDER) << c.location;
        if (rc == 0) {
            pipe_server_update_info(0);
            pipe_server_close(0);
        }
        rows_seen r;
        watch(0, &r);
        EXPECT_EQ(pipe_client_open(0, c.location.c_str(), "inspect-vrx", 1, 30000), PIPE_ERROR_UNTRUSTED_FOLDER)
            << c.location;
        EXPECT_EQ(pipe_send_control_cmd(c.location.c_str(), "set_cpu_mode_perf_with_pitmode"),
                  PIPE_ERROR_UNTRUSTED_FOLDER);
        pipe_client_close_all();
        int damage = canary_damage();
        tally.overwritten += damage;
        EXPECT_EQ(damage, 0) << c.location;
    }
}

// ---- forged servers ------------------------------------------------------

TEST_F(Hostile, forged_servers_are_refused_by_clients)
{
    // A server of its own in a folder of its own.
    {
        attacker a({"serve", "/run/bpa/forged", "3"});
        ASSERT_TRUE(a.wait_for("ready")) << a.text << " (" << a.how << ")";
        expect_client_refused("forged", PIPE_ERROR_UNTRUSTED_FOLDER,
                              "ERROR: pipe folder /run/bpa/forged/ belongs to user 65534, not root or this user, and "
                              "others may write /run/bpa: make /run/bpa owned by the receiver's user, mode 0755\n");
    }
    // Its socket renamed over our server's "data" in a folder left writable
    // by others (as a umask of 000 once made it): the folder is refused, and
    // once the folder is fixed the stranger behind the socket is.
    ASSERT_EQ(pipe_server_create(0, "swap", 0), 0);
    ASSERT_EQ(chmod("/run/bpa/swap", 0777), 0);
    attacker a({"rebind", "/run/bpa/swap", "3"});
    ASSERT_TRUE(a.wait_for("ready")) << a.text << " (" << a.how << ")";
    rows_seen r;
    watch(0, &r);
    EXPECT_EQ(pipe_client_open(0, "swap", "inspect-vrx", 1, 30000), PIPE_ERROR_UNTRUSTED_FOLDER);
    ASSERT_EQ(chmod("/run/bpa/swap", 0755), 0);
    EXPECT_EQ(pipe_client_open(0, "swap", "inspect-vrx", 1, 30000), PIPE_ERROR_UNTRUSTED_PEER);
    testing::internal::CaptureStderr();
    pipe_print_error(PIPE_ERROR_UNTRUSTED_PEER);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: the server at /run/bpa/swap/ runs as user 65534, neither root nor this user\n");
    // The inspector as root shows no forged row: it names the refusal and ends.
    std::string cmd;
    for (auto& w : emulator()) cmd += w + " ";
    cmd += std::string(TARN_BIN_DIR) + "/tarn-inspect-vrx -p swap >/run/pipe-hostile/insp.out 2>&1";
    int st = system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 255) << st;
    std::string out = read_file("/run/pipe-hostile/insp.out");
    EXPECT_EQ(out.find("6666601"), std::string::npos) << out;
    EXPECT_NE(out.find("/run/bpa/swap/"), std::string::npos) << out;
    std::this_thread::sleep_for(milliseconds(100));
    pipe_client_close_all();
    tally.forged_rows += static_cast<int>(r.count());
    EXPECT_EQ(r.count(), 0u);
    a.finish();
}

// ---- control commands ----------------------------------------------------

struct commands_seen {
    std::mutex m;
    std::vector<std::string> cmds;
};

void on_command(int, char* cmd, int bytes, void* ctx)
{
    auto* c = static_cast<commands_seen*>(ctx);
    std::lock_guard<std::mutex> lk(c->m);
    c->cmds.emplace_back(cmd, static_cast<size_t>(bytes));
}

TEST_F(Hostile, commands_of_other_users_never_reach_the_callback)
{
    commands_seen seen;
    pipe_server_set_control_cb(0, on_command, &seen);
    mode_t old = umask(0);
    int rc = pipe_server_create(0, "ctl", 0);
    umask(old);
    ASSERT_EQ(rc, 0);
    struct stat st {};
    ASSERT_EQ(stat("/run/bpa/ctl/control", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    {
        attacker a({"command", "/run/bpa/ctl/control", "set_cpu_mode_perf_with_pitmode", "10"});
        a.finish();
        EXPECT_NE(a.text.find("sent 0 connect Permission denied"), std::string::npos) << a.text;
    }
    // Even through a socket whose mode slipped, the sender's credentials
    // decide; the drops are counted and reported once a second at most.
    ASSERT_EQ(chmod("/run/bpa/ctl/control", 0666), 0);
    fflush(stderr);
    int saved = dup(2);
    int log = open("/run/pipe-hostile/ctl.err", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(log, 2);
    auto t0 = clock_type::now();
    attacker a({"command", "/run/bpa/ctl/control", "set_cpu_mode_perf_with_pitmode", "10000"});
    a.finish();
    int sent = 0;
    sscanf(a.text.c_str(), "sent %d", &sent);
    pipe_server_stats_t stats{};
    auto end = clock_type::now() + milliseconds(5000 * slow_factor());
    while (pipe_server_get_stats(0, &stats) == 0 && stats.control_refused < static_cast<unsigned>(sent) &&
           clock_type::now() < end)
        std::this_thread::sleep_for(milliseconds(5));
    double secs = std::chrono::duration<double>(clock_type::now() - t0).count();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(log);
    tally.commands_sent += sent;
    tally.commands_refused += stats.control_refused;
    EXPECT_GT(sent, 0) << a.text;
    EXPECT_EQ(stats.control_refused, static_cast<unsigned>(sent));
    std::string err = read_file("/run/pipe-hostile/ctl.err");
    size_t lines = static_cast<size_t>(std::count(err.begin(), err.end(), '\n'));
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, static_cast<size_t>(secs) + 2) << err;
    // Root's command still goes through, and it is the only one seen.
    EXPECT_EQ(pipe_send_control_cmd("ctl", "from_root"), 0);
    end = clock_type::now() + milliseconds(3000 * slow_factor());
    for (;;) {
        std::lock_guard<std::mutex> lk(seen.m);
        if (!seen.cmds.empty() || clock_type::now() > end) break;
    }
    pipe_server_close(0);
    std::lock_guard<std::mutex> lk(seen.m);
    EXPECT_EQ(seen.cmds, std::vector<std::string>{"from_root"});
}

// ---- a thousand connections while publishing -----------------------------

// One flood against a publisher that writes a record every half
// millisecond: its slowest write before and during the attack, and what the
// clients of ours received.
struct flood_figures {
    double slowest_ms = 0, slowest_quiet_ms = 0;
    double slowest_cpu_ms = 0;  // the publisher's own CPU time in that write
    long waits = 0;             // writes in which the publisher slept
    int written = 0;
    size_t late = 0;
    std::string attack;
};

flood_figures flood_once(rows_seen& late, uint32_t& id)
{
    flood_figures f;
    size_t late_before = late.count();
    std::atomic<bool> stop{false}, flooding{false};
    std::atomic<int> written{0};
    clock_type::duration slowest{}, slowest_quiet{};
    std::thread publisher([&] {
        // Real-time, as a video publisher runs: the figure is then the
        // library's, not the shared machine's scheduler.
        sched_param sp{};
        sp.sched_priority = 10;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0) printf("publisher runs without SCHED_FIFO\n");
        unsigned char rec[60] = {};
        while (!stop.load()) {
            memcpy(rec + 4, &id, 4);
            rusage ru0{}, ru1{};
            timespec cpu0{}, cpu1{};
            getrusage(RUSAGE_THREAD, &ru0);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
            auto t0 = clock_type::now();
            int r = pipe_server_write(0, rec, sizeof(rec));
            auto took = clock_type::now() - t0;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
            getrusage(RUSAGE_THREAD, &ru1);
            if (!flooding.load()) {
                slowest_quiet = std::max(slowest_quiet, took);
            } else {
                if (ru1.ru_nvcsw != ru0.ru_nvcsw) f.waits++;
                if (took > slowest) {
                    slowest = took;
                    f.slowest_cpu_ms = ((cpu1.tv_sec - cpu0.tv_sec) * 1e9 + (cpu1.tv_nsec - cpu0.tv_nsec)) / 1e6;
                }
            }
            if (r >= 1) written++;
            id++;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::this_thread::sleep_for(milliseconds(500));  // the same publisher before the attack
    flooding = true;
    attacker a({"flood", "/run/bpa/busy/data", "1000", "2"});
    // While the stranger holds every place it may, root still gets in.
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(pipe_client_open(1, "busy", "late", 1, 30000), 0);
    a.finish();
    flooding = false;
    stop = true;
    publisher.join();
    pipe_client_close(1);
    f.slowest_ms = std::chrono::duration<double, std::milli>(slowest).count();
    f.slowest_quiet_ms = std::chrono::duration<double, std::milli>(slowest_quiet).count();
    f.written = written.load();
    f.late = late.count() - late_before;
    f.attack = a.text.substr(0, a.text.find('\n'));
    return f;
}

// The slowest write is a wall-clock figure, and a shared machine takes the
// processor from a real-time thread too (interrupts, a hypervisor: the same
// publisher has been seen to stall 3.4 ms before any attack). A flood whose
// slowest write is over the bound is therefore run again, up to three
// floods; a library that lets strangers slow the publisher is over it in
// every one.
TEST_F(Hostile, a_thousand_idle_connections_neither_lock_out_nor_slow_the_publisher)
{
    ASSERT_EQ(pipe_server_create(0, "busy", 0), 0);
    rows_seen healthy, late;
    watch(0, &healthy);
    watch(1, &late);
    ASSERT_EQ(pipe_client_open(0, "busy", "inspect-vrx", 1, 30000), 0);
    auto end = clock_type::now() + milliseconds(3000 * slow_factor());
    while (pipe_server_get_num_clients(0) < 1 && clock_type::now() < end) std::this_thread::sleep_for(milliseconds(1));

    const double bound_ms = 5.0 * hostile_slow_factor();
    uint32_t id = 1;
    int written = 0;
    double best_ms = std::numeric_limits<double>::infinity();
    for (int attempt = 1; attempt <= 3; attempt++) {
        pipe_server_stats_t before{}, after{};
        ASSERT_EQ(pipe_server_get_stats(0, &before), 0);
        flood_figures f = flood_once(late, id);
        written += f.written;
        end = clock_type::now() + milliseconds(5000 * slow_factor());
        while (healthy.count() < static_cast<size_t>(written) && clock_type::now() < end)
            std::this_thread::sleep_for(milliseconds(5));
        ASSERT_EQ(pipe_server_get_stats(0, &after), 0);
        unsigned long long refused = after.clients_refused - before.clients_refused;
        int attempted = 0, connected = 0, failed = 0, kept = 0;
        sscanf(f.attack.c_str(), "attempted %d connected %d failed %d kept %d", &attempted, &connected, &failed, &kept);
        size_t got = healthy.count();
        int lost = written - static_cast<int>(got);
        {
            std::lock_guard<std::mutex> lk(healthy.m);
            for (size_t i = 0; i < healthy.ids.size(); i++) ASSERT_EQ(healthy.ids[i], i + 1) << "a record went missing";
        }
        tally.connections += attempted;
        tally.clients_refused += refused;
        tally.healthy_lost += lost;
        printf("flood %d: %s; %d records written, %zu received by the healthy client, %zu by the late one, "
               "slowest write %.3f ms (%.3f ms of it the publisher's own processor time; %.3f ms before the "
               "attack; bound %.1f ms), writes that slept %ld, %llu refused by the server\n",
               attempt, f.attack.c_str(), f.written, got, f.late, f.slowest_ms, f.slowest_cpu_ms, f.slowest_quiet_ms,
               bound_ms, f.waits, refused);
        EXPECT_EQ(attempted, 1000);
        EXPECT_LE(kept, 48);  // strangers never hold more than three quarters of the places
        EXPECT_GE(refused, static_cast<unsigned long long>(connected - kept));
        EXPECT_EQ(lost, 0);
        EXPECT_GT(f.late, 0u);
        best_ms = std::min(best_ms, f.slowest_ms);
        if (best_ms < bound_ms || HasFailure()) break;
    }
    tally.slowest_write_ms = std::max(tally.slowest_write_ms, best_ms);
    EXPECT_LT(best_ms, bound_ms) << "the publisher's slowest write was over the bound in three floods";
}

// ---- two servers started at once ------------------------------------------

bool can_connect(const char* path)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

TEST_F(Hostile, of_two_servers_started_at_once_exactly_one_wins_and_keeps_its_files)
{
    const int rounds = 200;
    for (int i = 0; i < rounds; i++) {
        int start[2], result[2], go[2];
        ASSERT_EQ(pipe(start), 0);
        ASSERT_EQ(pipe(result), 0);
        ASSERT_EQ(pipe(go), 0);
        pid_t kids[2];
        for (int kid = 0; kid < 2; kid++) {
            kids[kid] = fork();
            ASSERT_GE(kids[kid], 0);
            if (kids[kid] == 0) {
                close(start[1]);
                close(result[0]);
                close(go[1]);
                char b;
                if (read(start[0], &b, 1) != 1) _exit(2);
                int msg[2] = {kid, pipe_server_create(0, "race", 0)};
                int rc = msg[1];
                if (write(result[1], msg, sizeof(msg)) != sizeof(msg)) _exit(2);
                if (rc == 0) {
                    if (read(go[0], &b, 1) != 1) _exit(2);
                    if (i % 2 == 0) pipe_server_close(0);  // else die and leave stale files
                }
                _exit(0);
            }
        }
        close(start[0]);
        close(result[1]);
        close(go[0]);
        ASSERT_EQ(write(start[1], "ss", 2), 2);
        int rcs[2] = {1, 1};
        for (int k = 0; k < 2; k++) {
            int msg[2];
            ASSERT_EQ(read(result[0], msg, sizeof(msg)), static_cast<ssize_t>(sizeof(msg)));
            rcs[msg[0] & 1] = msg[1];
        }
        int winners = (rcs[0] == 0) + (rcs[1] == 0);
        int busy = (rcs[0] == PIPE_ERROR_CHANNEL_IN_USE) + (rcs[1] == PIPE_ERROR_CHANNEL_IN_USE);
        // Let the loser finish and end: its clean-up must leave the winner's files.
        for (int k = 0; k < 2; k++)
            if (rcs[k] != 0) waitpid(kids[k], nullptr, 0);
        bool files = fs::exists("/run/bpa/race/data") && fs::exists("/run/bpa/race/control") &&
                     fs::exists("/run/bpa/race/info") && fs::exists("/run/bpa/race/lock") &&
                     can_connect("/run/bpa/race/data");
        tally.races++;
        tally.both_won += winners == 2;
        tally.none_won += winners == 0;
        tally.files_deleted += winners == 1 && !files;
        ASSERT_EQ(winners, 1) << "round " << i << ": " << rcs[0] << " " << rcs[1];
        ASSERT_EQ(busy, 1) << "round " << i;
        ASSERT_TRUE(files) << "round " << i;
        ASSERT_EQ(write(go[1], "g", 1), 1);
        for (int k = 0; k < 2; k++)
            if (rcs[k] == 0) waitpid(kids[k], nullptr, 0);
        close(start[1]);
        close(result[0]);
        close(go[1]);
    }
    // A server after the last (killed or closed) one takes the place.
    ASSERT_EQ(pipe_server_create(0, "race", 0), 0);
    EXPECT_TRUE(can_connect("/run/bpa/race/data"));
}

// ---- a receiver under its own account ------------------------------------

// A folder made by root for the test, owned by uid with mode.
void make_folder(const std::string& path, uid_t uid, mode_t mode)
{
    fs::remove_all(path);
    ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
    ASSERT_EQ(chown(path.c_str(), uid, uid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// Rows a root client gets from a server of user uid publishing at dir, or
// the client's refusal: the open's code and the library's words.
struct read_outcome {
    int rc;
    std::string words;
    size_t rows;
};
read_outcome read_as_root(const std::string& dir, unsigned uid)
{
    attacker server({"serve", dir, "3"}, uid);
    if (!server.wait_for("ready")) return {-1000, server.text + " (" + server.how + "; " + slow_factor_words() + ")", 0};
    rows_seen r;
    watch(0, &r);
    read_outcome o{pipe_client_open(0, dir.c_str(), "inspect-vrx", 1, 30000), "", 0};
    if (o.rc == 0) {
        const auto end = clock_type::now() + milliseconds(static_cast<int>(3000 * slow_factor()));
        while (r.count() == 0 && clock_type::now() < end) std::this_thread::sleep_for(milliseconds(10));
    } else {
        testing::internal::CaptureStderr();
        pipe_print_error(o.rc);
        o.words = testing::internal::GetCapturedStderr();
    }
    pipe_client_close_all();
    o.rows = r.count();
    return o;
}

TEST_F(Hostile, a_receiver_under_its_own_account_is_read_when_root_handed_it_the_folder)
{
    const unsigned receiver = 1234;
    // A root folder, writable by root alone, with the pipe folder given to
    // the receiver's user (as RuntimeDirectory= of its unit does).
    make_folder("/run/deleg-a", 0, 0755);
    make_folder("/run/deleg-a/vrx", receiver, 0755);
    read_outcome o = read_as_root("/run/deleg-a/vrx", receiver);
    EXPECT_EQ(o.rc, 0) << o.words;
    EXPECT_GT(o.rows, 0u);

    // The folder above given to that user, who makes the pipe folder.
    make_folder("/run/deleg-b", receiver, 0755);
    o = read_as_root("/run/deleg-b/vrx", receiver);
    EXPECT_EQ(o.rc, 0) << o.words;
    EXPECT_GT(o.rows, 0u);
    {
        // Commands reach that receiver too.
        attacker server({"serve", "/run/deleg-b/vrx", "1"}, receiver);
        ASSERT_TRUE(server.wait_for("ready")) << server.text << " (" << server.how << "; " << slow_factor_words() << ")";
        struct stat st {};
        if (lstat("/run/deleg-b/vrx/control", &st) == 0)
            EXPECT_EQ(pipe_send_control_cmd("/run/deleg-b/vrx", "x"), 0);
        else
            EXPECT_EQ(pipe_send_control_cmd("/run/deleg-b/vrx", "x"), PIPE_ERROR_CTRL_NOT_AVAILABLE);
    }
}

TEST_F(Hostile, a_folder_not_handed_over_by_a_trusted_owner_is_still_refused)
{
    const unsigned receiver = 1234;
    struct case_t {
        const char* what;
        std::string above;  // made by root with owner and mode
        uid_t above_uid;
        mode_t above_mode;
        unsigned server;  // the user that makes the pipe folder and serves
        std::string words;
    } cases[] = {
        {"anybody may add to the folder above", "/run/deleg-c", 0, 01777, 65534,
         "ERROR: pipe folder /run/deleg-c/vrx/ belongs to user 65534, not root or this user, and others may write "
         "/run/deleg-c: make /run/deleg-c owned by the receiver's user, mode 0755\n"},
        {"the folder above is group-writable", "/run/deleg-d", 0, 0775, receiver,
         "ERROR: folder /run/deleg-d is writable by others\n"},
        {"the folder above is another stranger's", "/run/deleg-e", 65534, 0755, receiver,
         "ERROR: folder /run/deleg-e belongs to user 65534, not root or this user\n"},
    };
    for (const case_t& c : cases) {
        make_folder(c.above, c.above_uid, c.above_mode);
        make_folder(c.above + "/vrx", c.server, 0755);
        tally.attacks++;
        read_outcome o = read_as_root(c.above + "/vrx", c.server);
        EXPECT_EQ(o.rc, PIPE_ERROR_UNTRUSTED_FOLDER) << c.what;
        EXPECT_EQ(o.words, c.words) << c.what;
        tally.forged_rows += static_cast<int>(o.rows);
        EXPECT_EQ(o.rows, 0u) << c.what;
    }

    // The pipe folder handed to the receiver, but the server behind its
    // socket is another user: the folder is trusted, the server is not.
    make_folder("/run/deleg-f", 0, 0755);
    make_folder("/run/deleg-f/vrx", 65534, 0755);
    attacker stranger({"serve", "/run/deleg-f/vrx", "3"});
    ASSERT_TRUE(stranger.wait_for("ready")) << stranger.text << " (" << stranger.how << ")";
    ASSERT_EQ(chown("/run/deleg-f/vrx", receiver, receiver), 0);
    expect_client_refused("/run/deleg-f/vrx", PIPE_ERROR_UNTRUSTED_PEER,
                          "ERROR: the server at /run/deleg-f/vrx/ runs as user 65534, neither root nor this user nor "
                          "the pipe folder's owner\n");
}

}  // namespace
