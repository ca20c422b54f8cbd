// libbrisk_pipe server side. Each server channel owns a pipe directory with
// a listening SOCK_SEQPACKET socket "data", a SOCK_DGRAM socket "control" and
// the JSON file "info", plus one thread that accepts clients, notices their
// departure and reads control commands. pipe_server_write runs on the
// caller's thread and never blocks.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe_internal.h"

using brisk_pipe::fail;
using brisk_pipe::join_path;
using brisk_pipe::retry_eintr;

namespace {

struct server_client {
    int fd;
    uint64_t dropped;  // chunks this client lost because its buffer was full
    bool foreign;      // runs as neither root nor the server's user
    pid_t pid;         // the client's process, as connected
    uint64_t dropped_bytes;
};

struct server_channel {
    // Serialises create, close and the library's own use of info.
    std::mutex admin;
    // True while a close from another thread holds admin and waits for the
    // server thread, so that thread's callback does not wait for admin.
    std::atomic<bool> closing{false};
    // Guards open, clients and the control callback; held across the
    // non-blocking sends of one write so a departing client's fd cannot be
    // closed (and reused) in the middle.
    std::mutex m;
    bool open = false;
    std::vector<server_client> clients;
    pipe_server_control_cb ctrl_cb = nullptr;
    void* ctrl_ctx = nullptr;
    // Bumped by every create; a thread whose channel was closed from its own
    // control callback sees the change and ends.
    uint64_t generation = 0;

    // Set under admin before the thread starts, cleared after it ended.
    int listen_fd = -1;
    int ctrl_fd = -1;
    int epoll_fd = -1;
    int wake_fd = -1;
    std::thread thread;
    char location[PIPE_MAX_LOCATION_LEN + 1] = {};
    cJSON* info = nullptr;
    // The pipe folder, and the lock file whose flock makes this channel the
    // one server at its location; only the holder removes files there.
    int dir_fd = -1;
    int lock_fd = -1;
    int max_clients = PIPE_DEFAULT_MAX_CLIENTS;

    // Counted without m, so that refusing a flood of strangers never
    // contends with pipe_server_write. The client counts change under m.
    std::atomic<uint64_t> clients_refused{0}, control_refused{0}, control_malformed{0};
    std::atomic<int> num_clients{0}, num_foreign{0};
    // Drops of control datagrams reported on stderr at most once a second;
    // touched by the server thread only.
    uint64_t control_drops = 0;
    int64_t last_drop_report_ns = 0;
    // Chunks dropped for clients in all; the drops file says which, written
    // by the server thread when this changed (at most once a second).
    std::atomic<uint64_t> drops{0};
    uint64_t drops_published = 0;
    int64_t drops_written_ns = 0;
};

// Never destroyed: a channel still open when the process exits must not
// end it in std::terminate from the destructor of its joinable thread.
server_channel (&g_servers)[PIPE_SERVER_MAX_CHANNELS] = *new server_channel[1][PIPE_SERVER_MAX_CHANNELS];

// The channel whose server thread this is, -1 on other threads.
thread_local int tl_server_channel = -1;

bool channel_ok(int ch)
{
    return ch >= 0 && ch < PIPE_SERVER_MAX_CHANNELS;
}

// Takes admin. A control callback (on the channel's own thread) gives up
// instead when another thread is closing the channel and waits for it.
bool lock_admin(int ch, server_channel& s)
{
    if (tl_server_channel != ch) {
        s.admin.lock();
        return true;
    }
    for (;;) {
        if (s.admin.try_lock()) return true;
        if (s.closing.load(std::memory_order_acquire)) return false;
        usleep(200);
    }
}

void close_fd(int& fd)
{
    if (fd >= 0) close(fd);
    fd = -1;
}

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A name for a temporary file in the pipe folder that no other file has:
// the lock holder is the only writer there, and the counter is this
// process's.
void temp_name(char* out, size_t size, const char* file)
{
    static std::atomic<unsigned> counter{0};
    snprintf(out, size, ".%s.%d.%u", file, static_cast<int>(getpid()), counter.fetch_add(1));
}

// Binds a socket of type under a temporary name in the channel's folder,
// gives it mode, and only then renames it to file, replacing what a dead
// server left: the socket never shows with another mode. Caller holds the
// lock.
int bind_socket_file(server_channel& s, const char* file, int type, mode_t mode)
{
    char tmp[64], tmp_path[128];
    temp_name(tmp, sizeof(tmp), file);
    if (!join_path(tmp_path, sizeof(tmp_path), s.location, tmp))
        return fail(PIPE_ERROR_INVALID_ARG, "ERROR: pipe location %s is too long", s.location);
    sockaddr_un addr;
    if (!brisk_pipe::unix_address(tmp_path, addr))
        return fail(PIPE_ERROR_INVALID_ARG, "ERROR: pipe location %s is too long", s.location);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(PIPE_ERROR_OTHER, "ERROR: cannot make a socket for %s: %s", s.location, strerror(errno));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        int e = errno;
        close(fd);
        return fail(e == EACCES ? PIPE_ERROR_PERMISSION_DENIED : PIPE_ERROR_FILE_IO, "ERROR: cannot create %s: %s",
                    tmp_path, strerror(e));
    }
    // The folder is trusted, so nobody else can have swapped the name.
    if (fchmodat(s.dir_fd, tmp, mode, 0) < 0 || renameat(s.dir_fd, tmp, s.dir_fd, file) < 0) {
        int e = errno;
        unlinkat(s.dir_fd, tmp, 0);
        close(fd);
        return fail(PIPE_ERROR_FILE_IO, "ERROR: cannot publish %s%s: %s", s.location, file, strerror(e));
    }
    return fd;
}

// Makes this channel the one server at the folder: creates or opens the lock
// file and takes its flock. LOCK_BUSY when another server holds it,
// LOCK_FAILED for other failures (both recorded with fail(), code in rc),
// LOCK_RETRY when a closing server removed the file or folder under us.
enum lock_result { LOCK_TAKEN, LOCK_BUSY, LOCK_RETRY, LOCK_FAILED };

lock_result take_lock(server_channel& s, int& rc)
{
    int fd = openat(s.dir_fd, PIPE_LOCK_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, PIPE_LOCK_MODE);
    if (fd < 0) {
        if (errno == ENOENT) return LOCK_RETRY;  // the folder was removed
        int e = errno;
        rc = fail(e == EACCES ? PIPE_ERROR_PERMISSION_DENIED : PIPE_ERROR_FILE_IO, "ERROR: cannot open %s%s: %s",
                  s.location, PIPE_LOCK_FILE, strerror(e));
        return LOCK_FAILED;
    }
    struct stat st {};
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || !brisk_pipe::trusted_uid(st.st_uid)) {
        close(fd);
        rc = fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: %s%s is not a lock file of root or this user", s.location,
                  PIPE_LOCK_FILE);
        return LOCK_FAILED;
    }
    if (retry_eintr([&] { return flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
        int e = errno;
        close(fd);
        if (e == EWOULDBLOCK) {
            rc = fail(PIPE_ERROR_CHANNEL_IN_USE, "ERROR: another server already publishes at %s", s.location);
            return LOCK_BUSY;
        }
        rc = fail(PIPE_ERROR_FILE_IO, "ERROR: cannot lock %s%s: %s", s.location, PIPE_LOCK_FILE, strerror(e));
        return LOCK_FAILED;
    }
    // A server that closed removes its lock file and maybe the folder: the
    // lock we got must still be the file at the location's path.
    struct stat now {
    }, dir{}, path_dir{};
    if (fstatat(s.dir_fd, PIPE_LOCK_FILE, &now, AT_SYMLINK_NOFOLLOW) < 0 || now.st_ino != st.st_ino ||
        now.st_dev != st.st_dev || fstat(s.dir_fd, &dir) < 0 || stat(s.location, &path_dir) < 0 ||
        dir.st_ino != path_dir.st_ino || dir.st_dev != path_dir.st_dev) {
        close(fd);
        return LOCK_RETRY;
    }
    if (st.st_uid == geteuid()) fchmod(fd, PIPE_LOCK_MODE);
    s.lock_fd = fd;
    return LOCK_TAKEN;
}

int max_clients_setting()
{
    const char* v = getenv(PIPE_MAX_CLIENTS_ENV);
    if (v == nullptr || *v == '\0') return PIPE_DEFAULT_MAX_CLIENTS;
    char* end = nullptr;
    long n = strtol(v, &end, 10);
    if (*end != '\0' || n < 1 || n > 4096) {
        fprintf(stderr, "ERROR: %s=%s is not a number from 1 to 4096, using %d\n", PIPE_MAX_CLIENTS_ENV, v,
                PIPE_DEFAULT_MAX_CLIENTS);
        return PIPE_DEFAULT_MAX_CLIENTS;
    }
    return static_cast<int>(n);
}

// The last component of a location such as "/run/bpa/vrx_latency/".
void location_name(const char* location, char* out, size_t size)
{
    size_t len = strlen(location);
    if (len > 0 && location[len - 1] == '/') len--;
    size_t start = len;
    while (start > 0 && location[start - 1] != '/') start--;
    snprintf(out, size, "%.*s", static_cast<int>(len - start), location + start);
}

// Writes the info object to <location>info through a temporary file and a
// rename, so readers see the old or the new file whole. Caller holds admin.
// Writes text (len bytes) as the file `name` of the pipe folder: a new file
// under a fresh name, renamed over the old one.
int write_folder_file(server_channel& s, const char* name, const char* text, size_t len)
{
    char tmp[64];
    temp_name(tmp, sizeof(tmp), name);
    int rc = 0;
    // A fresh name, never an existing file or a symlink.
    int fd = retry_eintr(
        [&] { return openat(s.dir_fd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, PIPE_INFO_MODE); });
    if (fd < 0 || fchmod(fd, PIPE_INFO_MODE) < 0) {
        rc = fail(PIPE_ERROR_FILE_IO, "ERROR: cannot write %s%s: %s", s.location, tmp, strerror(errno));
        if (fd >= 0) {
            close(fd);
            unlinkat(s.dir_fd, tmp, 0);
        }
    } else {
        const size_t done = tarn_io::write_all(fd, text, len);
        if (close(fd) < 0 || done != len) rc = PIPE_ERROR_FILE_IO;
        if (rc == 0 && renameat(s.dir_fd, tmp, s.dir_fd, name) < 0) rc = PIPE_ERROR_FILE_IO;
        if (rc != 0) {
            fail(rc, "ERROR: cannot write %s%s: %s", s.location, name, strerror(errno));
            unlinkat(s.dir_fd, tmp, 0);
        }
    }
    return rc;
}

int write_info_file(server_channel& s)
{
    char* text = cJSON_Print(s.info);
    if (text == nullptr) return PIPE_ERROR_OTHER;
    size_t len = strlen(text);
    text[len++] = '\n';  // replaces the terminator; len bytes are written
    const int rc = write_folder_file(s, PIPE_INFO_FILE, text, len);
    cJSON_free(text);
    return rc;
}

// The drops file, when the drops changed and a second has passed since it
// was last written (server thread).
void publish_drops(server_channel& s)
{
    const uint64_t drops = s.drops.load(std::memory_order_relaxed);
    if (drops == s.drops_published) return;
    const int64_t now = now_ns();
    if (now - s.drops_written_ns < 1000000000) return;
    std::string text;
    {
        std::lock_guard<std::mutex> lk(s.m);
        for (const server_client& c : s.clients)
            if (c.dropped > 0)
                text += std::to_string(c.pid) + " " + std::to_string(c.dropped) + " " +
                        std::to_string(c.dropped_bytes) + "\n";
    }
    s.drops_published = drops;
    s.drops_written_ns = now;
    write_folder_file(s, PIPE_DROPS_FILE, text.data(), text.size());
}

// The descriptors a server thread works with, copied so that it never reads
// the channel's fields while close changes them.
struct thread_fds {
    int epoll_fd, wake_fd, listen_fd, ctrl_fd;
};

// Takes client i out of the list; the caller closes its descriptor after
// letting go of m (no write can use it once it is out of the list), so that
// the publisher never waits for a close.
void remove_client_locked(server_channel& s, size_t i)
{
    s.num_clients.fetch_sub(1, std::memory_order_relaxed);
    if (s.clients[i].foreign) s.num_foreign.fetch_sub(1, std::memory_order_relaxed);
    s.clients[i] = s.clients.back();
    s.clients.pop_back();
}

void accept_clients(server_channel& s, const thread_fds& t)
{
    for (;;) {
        int fd = retry_eintr([&] { return accept4(t.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); });
        if (fd < 0) {
            // Out of descriptors or memory: the listener stays readable, so
            // pause instead of spinning until something is freed.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) usleep(10000);
            return;  // also EAGAIN, or a client that gave up already
        }
        ucred peer{};
        socklen_t plen = sizeof(peer);
        bool foreign = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &plen) < 0 || !brisk_pipe::trusted_uid(peer.uid);
        // Over the limit: closed at once. Strangers never take the last
        // quarter of the places, so root and the server's user still get in.
        // Only this thread adds clients, so the counts cannot grow meanwhile.
        int reserved = s.max_clients / 4 > 0 ? s.max_clients / 4 : 1;
        if (s.num_clients.load(std::memory_order_relaxed) >= s.max_clients ||
            (foreign && s.num_foreign.load(std::memory_order_relaxed) >= s.max_clients - reserved)) {
            s.clients_refused.fetch_add(1, std::memory_order_relaxed);
            close(fd);
            continue;
        }
        int size = foreign ? PIPE_FOREIGN_CLIENT_SNDBUF : PIPE_CLIENT_SNDBUF;
        // Privileged processes may exceed wmem_max; others get the cap.
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) < 0)
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = fd;
        if (epoll_ctl(t.epoll_fd, EPOLL_CTL_ADD, fd, &ev) < 0) {
            close(fd);
            continue;
        }
        std::lock_guard<std::mutex> lk(s.m);
        s.clients.push_back(server_client{fd, 0, foreign, peer.pid, 0});
        s.num_clients.fetch_add(1, std::memory_order_relaxed);
        if (foreign) s.num_foreign.fetch_add(1, std::memory_order_relaxed);
    }
}

// Counts a dropped control datagram and says so on stderr, at most once a
// second with the running count.
void report_control_drop(server_channel& s, const char* why, ssize_t n)
{
    s.control_drops++;
    int64_t t = now_ns();
    if (s.control_drops > 1 && t - s.last_drop_report_ns < 1000000000) return;
    s.last_drop_report_ns = t;
    fprintf(stderr, "ERROR: pipe server at %s dropped a %zd-byte control command: %s (%llu dropped)\n", s.location, n,
            why, static_cast<unsigned long long>(s.control_drops));
}

// Returns false when the callback closed the channel.
bool read_control(int ch, server_channel& s, const thread_fds& t, uint64_t generation)
{
    char buf[PIPE_MAX_CONTROL_LEN + 1];
    for (int i = 0; i < 64; i++) {
        // The kernel attaches the sender's credentials to every datagram
        // (SO_PASSCRED): the socket's mode is not the only guard.
        alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(ucred))];
        iovec iov{buf, PIPE_MAX_CONTROL_LEN};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = cbuf;
        msg.msg_controllen = sizeof(cbuf);
        ssize_t n = retry_eintr([&] { return recvmsg(t.ctrl_fd, &msg, MSG_DONTWAIT | MSG_TRUNC); });
        if (n < 0) return true;
        const ucred* cred = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len >= CMSG_LEN(sizeof(ucred)))
                cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
        if (cred == nullptr || !brisk_pipe::trusted_uid(cred->uid)) {
            s.control_refused.fetch_add(1, std::memory_order_relaxed);
            report_control_drop(s, "sender is neither root nor this server's user", n);
            continue;
        }
        if (n == 0 || n > PIPE_MAX_CONTROL_LEN) {
            s.control_malformed.fetch_add(1, std::memory_order_relaxed);
            report_control_drop(s, n == 0 ? "empty" : "longer than 4096 bytes", n);
            continue;
        }
        buf[n] = '\0';
        pipe_server_control_cb cb;
        void* ctx;
        {
            std::lock_guard<std::mutex> lk(s.m);
            cb = s.ctrl_cb;
            ctx = s.ctrl_ctx;
        }
        if (cb == nullptr) continue;
        cb(ch, buf, static_cast<int>(n), ctx);
        std::lock_guard<std::mutex> lk(s.m);
        if (s.generation != generation) return false;
    }
    return true;
}

// A client sends its name once after connecting and nothing else; anything
// it sends is read and discarded. End of file or an error means it left.
void client_event(server_channel& s, const thread_fds& t, int fd, uint32_t events)
{
    bool gone = (events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
    if (!gone && (events & EPOLLIN)) {
        char buf[256];
        // Bounded, so a chatty client cannot hold the thread; epoll reports
        // the rest next time.
        for (int i = 0; i < 64; i++) {
            ssize_t n = retry_eintr([&] { return recv(fd, buf, sizeof(buf), MSG_DONTWAIT); });
            if (n > 0) continue;
            if (n == 0 || errno != EAGAIN) gone = true;
            break;
        }
    }
    if (!gone) return;
    bool found = false;
    {
        std::lock_guard<std::mutex> lk(s.m);
        for (size_t i = 0; i < s.clients.size(); i++) {
            if (s.clients[i].fd == fd) {
                remove_client_locked(s, i);
                found = true;
                break;
            }
        }
    }
    if (found) {
        epoll_ctl(t.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
    }
}

void server_thread(int ch, thread_fds t, uint64_t generation)
{
    server_channel& s = g_servers[ch];
    tl_server_channel = ch;
    epoll_event evs[32];
    for (;;) {
        // Wakes once a second while it has clients, to publish their drops.
        const bool clients = s.num_clients.load(std::memory_order_relaxed) > 0;
        int n = epoll_wait(t.epoll_fd, evs, 32, clients ? 1000 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "ERROR: pipe server channel %d: epoll_wait: %s\n", ch, strerror(errno));
            return;
        }
        for (int i = 0; i < n; i++) {
            int fd = evs[i].data.fd;
            if (fd == t.wake_fd) return;
            if (fd == t.listen_fd) {
                accept_clients(s, t);
            } else if (fd == t.ctrl_fd) {
                if (!read_control(ch, s, t, generation)) {
                    // Closed from the callback: these descriptors are ours.
                    close(t.epoll_fd);
                    close(t.wake_fd);
                    close(t.listen_fd);
                    close(t.ctrl_fd);
                    return;
                }
            } else {
                client_event(s, t, fd, evs[i].events);
            }
        }
        publish_drops(s);
    }
}

// Undoes whatever create managed so far. Caller holds admin; the thread is
// not running.
// Only the lock holder removes files: a server that lost the race for the
// location leaves the winner's alone.
void teardown(server_channel& s)
{
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.open = false;
    }
    if (s.lock_fd >= 0) {
        // Unlink before closing the listener so reconnecting clients find no
        // socket instead of a dying one; the lock file goes last, still held.
        const char* files[] = {PIPE_DATA_FILE, PIPE_CONTROL_FILE, PIPE_INFO_FILE, PIPE_DROPS_FILE, PIPE_LOCK_FILE};
        for (const char* f : files) unlinkat(s.dir_fd, f, 0);
        close_fd(s.lock_fd);
        rmdir(s.location);  // only when empty: never removes other files
    }
    close_fd(s.dir_fd);
    close_fd(s.listen_fd);
    close_fd(s.ctrl_fd);
    std::vector<server_client> gone;
    {
        std::lock_guard<std::mutex> lk(s.m);
        gone.swap(s.clients);
    }
    for (auto& c : gone) close(c.fd);
    s.num_clients = 0;
    s.num_foreign = 0;
    close_fd(s.epoll_fd);
    close_fd(s.wake_fd);
    if (s.info != nullptr) cJSON_Delete(s.info);
    s.info = nullptr;
    s.location[0] = '\0';
}

int add_to_epoll(int ep, int fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

int create_locked(int ch, server_channel& s, const char* name_or_location)
{
    char location[PIPE_MAX_LOCATION_LEN + 1];
    int rc = pipe_expand_location_string(name_or_location, location);
    if (rc < 0) return rc;
    snprintf(s.location, sizeof(s.location), "%s", location);

    // The folder must be trusted, and this channel the one server there; a
    // closing server may remove the folder under us, so try again then.
    lock_result got = LOCK_RETRY;
    for (int tries = 0; tries < 20 && got == LOCK_RETRY; tries++) {
        close_fd(s.dir_fd);
        s.dir_fd = brisk_pipe::open_trusted_folder(location, true);
        if (s.dir_fd < 0) {
            rc = s.dir_fd;
            s.dir_fd = -1;
            return rc;
        }
        got = take_lock(s, rc);
    }
    if (got == LOCK_RETRY) return fail(PIPE_ERROR_FILE_IO, "ERROR: pipe folder %s keeps disappearing", location);
    if (got != LOCK_TAKEN) return rc;
    s.max_clients = max_clients_setting();
    {
        // Never a reallocation while the publisher waits for m.
        std::lock_guard<std::mutex> lk(s.m);
        s.clients.reserve(static_cast<size_t>(s.max_clients));
    }
    s.clients_refused = 0;
    s.control_refused = 0;
    s.control_malformed = 0;
    s.control_drops = 0;
    s.last_drop_report_ns = 0;

    // Sockets a dead server left are replaced by the renames below.
    s.listen_fd = bind_socket_file(s, PIPE_DATA_FILE, SOCK_SEQPACKET, PIPE_DATA_MODE);
    if (s.listen_fd < 0) {
        rc = s.listen_fd;
        s.listen_fd = -1;
        return rc;
    }
    if (listen(s.listen_fd, 64) < 0)
        return fail(PIPE_ERROR_FILE_IO, "ERROR: cannot listen on %s: %s", location, strerror(errno));
    s.ctrl_fd = bind_socket_file(s, PIPE_CONTROL_FILE, SOCK_DGRAM, PIPE_CONTROL_MODE);
    if (s.ctrl_fd < 0) {
        rc = s.ctrl_fd;
        s.ctrl_fd = -1;
        return rc;
    }
    int on = 1;
    if (setsockopt(s.ctrl_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) < 0)
        return fail(PIPE_ERROR_OTHER, "ERROR: cannot check senders on %s%s: %s", location, PIPE_CONTROL_FILE,
                    strerror(errno));
    s.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    s.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.epoll_fd < 0 || s.wake_fd < 0) return PIPE_ERROR_OTHER;
    if (add_to_epoll(s.epoll_fd, s.wake_fd) < 0 || add_to_epoll(s.epoll_fd, s.listen_fd) < 0 ||
        add_to_epoll(s.epoll_fd, s.ctrl_fd) < 0)
        return PIPE_ERROR_OTHER;

    char name[PIPE_MAX_NAME_LEN + 1];
    location_name(location, name, sizeof(name));
    s.info = cJSON_CreateObject();
    if (s.info == nullptr) return PIPE_ERROR_OTHER;
    cJSON_AddStringToObject(s.info, "name", name);
    cJSON_AddStringToObject(s.info, "location", location);
    cJSON_AddStringToObject(s.info, "type", "unknown");
    cJSON_AddStringToObject(s.info, "server_name", program_invocation_short_name);
    cJSON_AddNumberToObject(s.info, "server_pid", getpid());
    rc = write_info_file(s);
    if (rc < 0) return rc;

    uint64_t generation;
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.open = true;
        generation = ++s.generation;
    }
    try {
        s.thread =
            std::thread(server_thread, ch, thread_fds{s.epoll_fd, s.wake_fd, s.listen_fd, s.ctrl_fd}, generation);
    } catch (...) {
        return PIPE_ERROR_OTHER;
    }
    return 0;
}

}  // namespace

int pipe_server_create(int ch, const char* name_or_location, int flags)
{
    (void)flags;
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    brisk_pipe::clear_failure();
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return PIPE_ERROR_CHANNEL_IN_USE;
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    {
        std::lock_guard<std::mutex> lk2(s.m);
        if (s.open) return PIPE_ERROR_CHANNEL_IN_USE;
    }
    int rc = create_locked(ch, s, name_or_location);
    if (rc < 0) teardown(s);
    return rc;
}

int pipe_server_write(int ch, const void* data, int bytes)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    // A zero-length record would read as end of stream on the client.
    if (data == nullptr || bytes <= 0) return PIPE_ERROR_INVALID_ARG;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    if (!s.open) return PIPE_ERROR_NOT_CONNECTED;
    int delivered = 0;
    bool too_big = false;
    for (auto& c : s.clients) {
        ssize_t n =
            retry_eintr([&] { return send(c.fd, data, static_cast<size_t>(bytes), MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (n == bytes) {
            delivered++;
        } else if (n < 0 && errno == EMSGSIZE) {
            too_big = true;
        } else {
            // EAGAIN: buffer full, the whole chunk is lost for this client.
            // Other errors: the client left; the server thread removes it.
            c.dropped++;
            c.dropped_bytes += static_cast<uint64_t>(bytes);
            s.drops.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (too_big && delivered == 0) return PIPE_ERROR_INVALID_ARG;
    return delivered;
}

int pipe_server_get_num_clients(int ch)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    if (!s.open) return PIPE_ERROR_NOT_CONNECTED;
    return static_cast<int>(s.clients.size());
}

void pipe_server_set_control_cb(int ch, pipe_server_control_cb cb, void* context)
{
    if (!channel_ok(ch)) return;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    s.ctrl_cb = cb;
    s.ctrl_ctx = context;
}

int pipe_server_get_stats(int ch, pipe_server_stats_t* out)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    if (out == nullptr) return PIPE_ERROR_INVALID_ARG;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    if (!s.open) return PIPE_ERROR_NOT_CONNECTED;
    out->clients_refused = s.clients_refused.load(std::memory_order_relaxed);
    out->control_refused = s.control_refused.load(std::memory_order_relaxed);
    out->control_malformed = s.control_malformed.load(std::memory_order_relaxed);
    return 0;
}

int pipe_server_close(int ch)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return 0;  // the other closer finishes the job
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    {
        std::lock_guard<std::mutex> lk2(s.m);
        if (!s.open) return 0;
        s.open = false;
    }
    if (s.thread.joinable()) {
        if (s.thread.get_id() == std::this_thread::get_id()) {
            // Closing from the channel's own control callback: the thread
            // cannot join itself. It ends when the callback returns and
            // closes its own descriptors then.
            s.thread.detach();
            {
                std::lock_guard<std::mutex> lk2(s.m);
                s.generation++;
            }
            s.epoll_fd = s.wake_fd = s.listen_fd = s.ctrl_fd = -1;
        } else {
            s.closing.store(true, std::memory_order_release);
            uint64_t one = 1;
            retry_eintr([&] { return write(s.wake_fd, &one, sizeof(one)); });
            s.thread.join();
            s.closing.store(false, std::memory_order_release);
        }
    }
    teardown(s);
    return 0;
}

void pipe_server_close_all(void)
{
    for (int ch = 0; ch < PIPE_SERVER_MAX_CHANNELS; ch++) pipe_server_close(ch);
}

cJSON* pipe_server_get_info_json_ptr(int ch)
{
    if (!channel_ok(ch)) return nullptr;
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return nullptr;
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    return s.info;
}

int pipe_server_update_info(int ch)
{
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    brisk_pipe::clear_failure();
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return PIPE_ERROR_NOT_CONNECTED;
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    if (s.info == nullptr) return PIPE_ERROR_NOT_CONNECTED;
    return write_info_file(s);
}
