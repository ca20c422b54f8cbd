// libbrisk_pipe client side. Each open channel has one reader thread that
// receives whole records from the server's "data" socket in a blocking recv,
// runs the callbacks one at a time, and reconnects every
// PIPE_RECONNECT_PERIOD_MS while the server is away. Close wakes it with
// shutdown() on the socket (blocked recv returns 0) or an eventfd (the
// reconnect wait), then joins it.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "pipe_internal.h"

using brisk_pipe::fail;
using brisk_pipe::retry_eintr;

namespace {

enum client_state { CLIENT_IDLE, CLIENT_RUNNING, CLIENT_CLOSING };

// Largest read buffer a channel may ask for.
constexpr int MAX_BUF_SIZE = 64 * 1024 * 1024;

struct client_channel {
    std::mutex m;
    std::condition_variable idle_cv;  // signalled when state returns to idle
    // Guarded by m.
    client_state state = CLIENT_IDLE;
    int fd = -1;               // connected socket, -1 while reconnecting
    bool self_closed = false;  // closed from its own callback
    pipe_client_simple_cb data_cb = nullptr;
    void* data_ctx = nullptr;
    pipe_client_connect_cb connect_cb = nullptr;
    void* connect_ctx = nullptr;
    pipe_client_disc_cb disc_cb = nullptr;
    void* disc_ctx = nullptr;
    std::thread thread;
    std::thread::id reader_id;

    // Read without m on the reader's hot path.
    std::atomic<bool> stop{false};
    // Bumped (under m) whenever the data callback changes, so the reader
    // copies it under m only then and not for every chunk.
    std::atomic<uint32_t> data_cb_version{0};

    // Written by open before the thread starts, released after it ended.
    int wake_fd = -1;
    char location[PIPE_MAX_LOCATION_LEN + 1] = {};
    char data_path[128] = {};
    char name[PIPE_MAX_NAME_LEN + 1] = {};
    char* buf = nullptr;
    int buf_size = 0;
    uint64_t oversize_drops = 0;
    int64_t last_oversize_report_ns = 0;
};

// Never destroyed: a channel still open when the process exits must not
// end it in std::terminate from the destructor of its joinable thread.
client_channel (&g_clients)[PIPE_CLIENT_MAX_CHANNELS] = *new client_channel[1][PIPE_CLIENT_MAX_CHANNELS];

bool channel_ok(int ch)
{
    return ch >= 0 && ch < PIPE_CLIENT_MAX_CHANNELS;
}

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Looks up the socket file of a pipe in a trusted folder: 0, or a
// negative code recorded with fail(). *server_uid gets the user whose
// server is trusted besides root and this user: the pipe folder's owner
// when a trusted owner handed the folder to it, else this user.
int check_socket_file(const char* location, const char* file, uid_t* server_uid)
{
    int dir = brisk_pipe::open_trusted_folder(location, false, server_uid);
    if (dir < 0) return dir;
    struct stat st {};
    int r = fstatat(dir, file, &st, AT_SYMLINK_NOFOLLOW);
    int e = errno;
    close(dir);
    if (r < 0 && e == ENOENT)
        return fail(PIPE_ERROR_SERVER_NOT_AVAILABLE, "ERROR: no server publishes at %s, is it running?", location);
    if (r < 0 && (e == EACCES || e == EPERM))
        return fail(PIPE_ERROR_PERMISSION_DENIED, "ERROR: permission denied on %s%s", location, file);
    if (r < 0) return fail(PIPE_ERROR_FILE_IO, "ERROR: cannot inspect %s%s: %s", location, file, strerror(e));
    if (!S_ISSOCK(st.st_mode))
        return fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: %s%s is not a socket, not followed", location, file);
    return 0;
}

// Connects to the server after checking its folder and that it runs as
// root, as this user or as the user the pipe folder was handed to, and
// introduces the client by name. The socket, or a negative code recorded
// with fail().
int connect_server(client_channel& c)
{
    uid_t server_uid;
    int rc = check_socket_file(c.location, PIPE_DATA_FILE, &server_uid);
    if (rc < 0) return rc;
    int fd = brisk_pipe::connect_unix(c.data_path, SOCK_SEQPACKET);
    if (fd == -EAGAIN)
        return fail(PIPE_ERROR_TIMEOUT, "ERROR: the pipe server at %s did not answer in time", c.location);
    if (fd == -EACCES || fd == -EPERM)
        return fail(PIPE_ERROR_PERMISSION_DENIED, "ERROR: permission denied on %s%s", c.location, PIPE_DATA_FILE);
    if (fd < 0)
        return fail(PIPE_ERROR_SERVER_NOT_AVAILABLE, "ERROR: no server publishes at %s, is it running?", c.location);
    ucred peer{};
    socklen_t plen = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &plen) < 0 ||
        !(brisk_pipe::trusted_uid(peer.uid) || peer.uid == server_uid)) {
        close(fd);
        return fail(PIPE_ERROR_UNTRUSTED_PEER, "ERROR: the server at %s runs as user %u, neither root nor this user%s",
                    c.location, static_cast<unsigned>(peer.uid),
                    server_uid == geteuid() ? "" : " nor the pipe folder's owner");
    }
    size_t len = strlen(c.name);
    // The name is a courtesy to the server; a failure shows up on recv.
    if (len > 0) retry_eintr([&] { return send(fd, c.name, len, MSG_NOSIGNAL | MSG_DONTWAIT); });
    return fd;
}

// A chunk bigger than the buffer is dropped whole, never cut: report it on
// stderr, at most once a second so a misconfigured client cannot flood.
void report_oversize(int ch, client_channel& c, ssize_t n)
{
    c.oversize_drops++;
    int64_t t = now_ns();
    if (c.oversize_drops > 1 && t - c.last_oversize_report_ns < 1000000000) return;
    c.last_oversize_report_ns = t;
    fprintf(stderr,
            "ERROR: pipe client channel %d dropped a %zd-byte chunk larger than its %d-byte buffer (%llu dropped)\n",
            ch, n, c.buf_size, static_cast<unsigned long long>(c.oversize_drops));
}

void run_connect_cb(int ch, client_channel& c)
{
    pipe_client_connect_cb cb;
    void* ctx;
    {
        std::lock_guard<std::mutex> lk(c.m);
        cb = c.connect_cb;
        ctx = c.connect_ctx;
    }
    if (cb != nullptr && !c.stop.load(std::memory_order_acquire)) cb(ch, ctx);
}

void run_disc_cb(int ch, client_channel& c)
{
    pipe_client_disc_cb cb;
    void* ctx;
    {
        std::lock_guard<std::mutex> lk(c.m);
        cb = c.disc_cb;
        ctx = c.disc_ctx;
    }
    if (cb != nullptr && !c.stop.load(std::memory_order_acquire)) cb(ch, ctx);
}

// Receives until the connection ends or the channel stops.
void receive_loop(int ch, client_channel& c, int fd)
{
    pipe_client_simple_cb cb = nullptr;
    void* ctx = nullptr;
    uint32_t version = c.data_cb_version.load(std::memory_order_acquire) - 1;
    while (!c.stop.load(std::memory_order_acquire)) {
        // MSG_TRUNC makes recv return the record's real length.
        ssize_t n = recv(fd, c.buf, static_cast<size_t>(c.buf_size), MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (n == 0) return;  // server gone, or our own shutdown()
        if (n > c.buf_size) {
            report_oversize(ch, c, n);
            continue;
        }
        if (c.data_cb_version.load(std::memory_order_acquire) != version) {
            std::lock_guard<std::mutex> lk(c.m);
            cb = c.data_cb;
            ctx = c.data_ctx;
            version = c.data_cb_version.load(std::memory_order_relaxed);
        }
        if (cb != nullptr && !c.stop.load(std::memory_order_acquire)) cb(ch, c.buf, static_cast<int>(n), ctx);
    }
}

// Waits one reconnect period; false when the channel is stopping.
bool wait_period(client_channel& c)
{
    pollfd p{c.wake_fd, POLLIN, 0};
    int64_t end = now_ns() + int64_t{PIPE_RECONNECT_PERIOD_MS} * 1000000;
    for (;;) {
        if (c.stop.load(std::memory_order_acquire)) return false;
        int64_t left_ms = (end - now_ns() + 999999) / 1000000;
        if (left_ms <= 0) return true;
        int r = poll(&p, 1, static_cast<int>(left_ms));
        if (r > 0) return !c.stop.load(std::memory_order_acquire);
    }
}

void release_locked(client_channel& c)
{
    if (c.wake_fd >= 0) close(c.wake_fd);
    c.wake_fd = -1;
    delete[] c.buf;
    c.buf = nullptr;
    c.buf_size = 0;
    c.state = CLIENT_IDLE;
    c.self_closed = false;
    c.idle_cv.notify_all();
}

void reader_thread(int ch, int fd)
{
    client_channel& c = g_clients[ch];
    for (;;) {
        run_connect_cb(ch, c);
        receive_loop(ch, c, fd);
        {
            std::lock_guard<std::mutex> lk(c.m);
            c.fd = -1;
        }
        close(fd);
        if (c.stop.load(std::memory_order_acquire)) break;
        run_disc_cb(ch, c);

        fd = -1;
        while (fd < 0) {
            if (!wait_period(c)) break;
            int r = connect_server(c);
            if (r < 0) continue;
            std::lock_guard<std::mutex> lk(c.m);
            if (c.stop.load(std::memory_order_acquire)) {
                close(r);
                break;
            }
            fd = r;
            c.fd = fd;
        }
        if (fd < 0) break;
    }
    std::lock_guard<std::mutex> lk(c.m);
    if (c.self_closed) {
        // Nobody joins a thread that closed its own channel.
        c.thread.detach();
        release_locked(c);
    }
}

}  // namespace

int pipe_client_set_simple_helper_cb(int ch, pipe_client_simple_cb cb, void* context)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    client_channel& c = g_clients[ch];
    std::lock_guard<std::mutex> lk(c.m);
    c.data_cb = cb;
    c.data_ctx = context;
    c.data_cb_version.fetch_add(1, std::memory_order_release);
    return 0;
}

int pipe_client_set_connect_cb(int ch, pipe_client_connect_cb cb, void* context)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    client_channel& c = g_clients[ch];
    std::lock_guard<std::mutex> lk(c.m);
    c.connect_cb = cb;
    c.connect_ctx = context;
    return 0;
}

int pipe_client_set_disconnect_cb(int ch, pipe_client_disc_cb cb, void* context)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    client_channel& c = g_clients[ch];
    std::lock_guard<std::mutex> lk(c.m);
    c.disc_cb = cb;
    c.disc_ctx = context;
    return 0;
}

int pipe_client_open(int ch, const char* name_or_location, const char* client_name, int flags, int buf_size)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    // The simple helper is the only way this library delivers data, so
    // flags 0 and CLIENT_FLAG_EN_SIMPLE_HELPER behave alike.
    if ((flags & ~CLIENT_FLAG_EN_SIMPLE_HELPER) != 0) return PIPE_ERROR_INVALID_ARG;
    if (buf_size <= 0 || buf_size > MAX_BUF_SIZE) return PIPE_ERROR_INVALID_ARG;
    if (client_name == nullptr || strlen(client_name) > PIPE_MAX_NAME_LEN) return PIPE_ERROR_INVALID_ARG;
    brisk_pipe::clear_failure();
    char location[PIPE_MAX_LOCATION_LEN + 1];
    int rc = pipe_expand_location_string(name_or_location, location);
    if (rc < 0) return rc;

    client_channel& c = g_clients[ch];
    std::lock_guard<std::mutex> lk(c.m);
    if (c.state != CLIENT_IDLE) return PIPE_ERROR_CHANNEL_IN_USE;
    if (!brisk_pipe::join_path(c.data_path, sizeof(c.data_path), location, PIPE_DATA_FILE))
        return PIPE_ERROR_INVALID_ARG;
    snprintf(c.location, sizeof(c.location), "%s", location);
    snprintf(c.name, sizeof(c.name), "%s", client_name);

    int fd = PIPE_ERROR_TIMEOUT;
    // A full accept backlog means a live but busy server: give it a moment.
    for (int tries = 0; tries < 20 && fd == PIPE_ERROR_TIMEOUT; tries++) {
        fd = connect_server(c);
        if (fd == PIPE_ERROR_TIMEOUT) usleep(10000);
    }
    if (fd < 0) return fd;

    c.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    c.buf = new (std::nothrow) char[static_cast<size_t>(buf_size)];
    if (c.wake_fd < 0 || c.buf == nullptr) {
        close(fd);
        release_locked(c);
        return PIPE_ERROR_OTHER;
    }
    c.buf_size = buf_size;
    c.oversize_drops = 0;
    c.stop.store(false, std::memory_order_release);
    c.fd = fd;
    c.self_closed = false;
    try {
        c.thread = std::thread(reader_thread, ch, fd);
    } catch (...) {
        c.fd = -1;
        close(fd);
        release_locked(c);
        return PIPE_ERROR_OTHER;
    }
    c.reader_id = c.thread.get_id();
    c.state = CLIENT_RUNNING;
    return 0;
}

int pipe_client_close(int ch)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    client_channel& c = g_clients[ch];
    std::unique_lock<std::mutex> lk(c.m);
    bool on_reader = c.state != CLIENT_IDLE && c.reader_id == std::this_thread::get_id();
    if (c.state == CLIENT_IDLE) return 0;
    if (c.state == CLIENT_CLOSING) {
        // Someone else is closing it; the reader itself must not wait.
        if (!on_reader) c.idle_cv.wait(lk, [&] { return c.state == CLIENT_IDLE; });
        return 0;
    }
    c.state = CLIENT_CLOSING;
    c.stop.store(true, std::memory_order_release);
    if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
    uint64_t one = 1;
    retry_eintr([&] { return write(c.wake_fd, &one, sizeof(one)); });
    if (on_reader) {
        // Called from one of this channel's callbacks: the reader ends when
        // the callback returns and releases the channel itself.
        c.self_closed = true;
        return 0;
    }
    lk.unlock();
    c.thread.join();
    lk.lock();
    release_locked(c);
    return 0;
}

void pipe_client_close_all(void)
{
    for (int ch = 0; ch < PIPE_CLIENT_MAX_CHANNELS; ch++) pipe_client_close(ch);
}

int pipe_send_control_cmd(const char* name_or_location, const char* cmd)
{
    brisk_pipe::clear_failure();
    if (cmd == nullptr) return PIPE_ERROR_INVALID_ARG;
    size_t len = strlen(cmd);
    if (len == 0 || len > PIPE_MAX_CONTROL_LEN) return PIPE_ERROR_INVALID_ARG;
    char location[PIPE_MAX_LOCATION_LEN + 1], path[128];
    int rc = pipe_expand_location_string(name_or_location, location);
    if (rc < 0) return rc;
    if (!brisk_pipe::join_path(path, sizeof(path), location, PIPE_CONTROL_FILE)) return PIPE_ERROR_INVALID_ARG;

    // Commands go only to a socket of root, this user or the user the pipe
    // folder was handed to, in a trusted folder.
    uid_t server_uid;
    rc = check_socket_file(location, PIPE_CONTROL_FILE, &server_uid);
    if (rc == PIPE_ERROR_SERVER_NOT_AVAILABLE)
        return fail(PIPE_ERROR_CTRL_NOT_AVAILABLE, "ERROR: nothing listens for control commands at %s", location);
    if (rc < 0) return rc;
    struct stat st {};
    if (lstat(path, &st) == 0 && !(brisk_pipe::trusted_uid(st.st_uid) || st.st_uid == server_uid))
        return fail(PIPE_ERROR_UNTRUSTED_PEER,
                    "ERROR: the control socket %s belongs to user %u, neither root nor this user%s", path,
                    static_cast<unsigned>(st.st_uid), server_uid == geteuid() ? "" : " nor the pipe folder's owner");
    int fd = brisk_pipe::connect_unix(path, SOCK_DGRAM);
    if (fd == -EACCES || fd == -EPERM)
        return fail(PIPE_ERROR_PERMISSION_DENIED, "ERROR: permission denied on %s", path);
    if (fd < 0)
        return fail(PIPE_ERROR_CTRL_NOT_AVAILABLE, "ERROR: nothing listens for control commands at %s", location);
    // Never wait long on a server that stopped reading its commands.
    rc = PIPE_ERROR_TIMEOUT;
    for (int tries = 0; tries < 2; tries++) {
        ssize_t n = retry_eintr([&] { return send(fd, cmd, len, MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (n == static_cast<ssize_t>(len)) {
            rc = 0;
            break;
        }
        if (n >= 0 || errno != EAGAIN) {
            rc = PIPE_ERROR_CTRL_NOT_AVAILABLE;
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        retry_eintr([&] { return poll(&p, 1, 500); });
    }
    close(fd);
    return rc;
}
