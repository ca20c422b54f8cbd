// libbrisk_pipe server side. Each server channel owns a pipe directory with
// a listening SOCK_SEQPACKET socket "data", a SOCK_DGRAM socket "control" and
// the JSON file "info", plus one thread that accepts clients, notices their
// departure and reads control commands. pipe_server_write runs on the
// caller's thread and never blocks.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "pipe_internal.h"

using brisk_pipe::join_path;
using brisk_pipe::retry_eintr;

namespace {

struct server_client {
    int fd;
    uint64_t dropped;  // chunks this client lost because its buffer was full
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
};

// Never destroyed: a channel still open when the process exits must not
// end it in std::terminate from the destructor of its joinable thread.
server_channel (&g_servers)[PIPE_SERVER_MAX_CHANNELS] = *new server_channel[1][PIPE_SERVER_MAX_CHANNELS];

// The channel whose server thread this is, -1 on other threads.
thread_local int tl_server_channel = -1;

bool channel_ok(int ch) { return ch >= 0 && ch < PIPE_SERVER_MAX_CHANNELS; }

// Takes admin. A control callback (on the channel's own thread) gives up
// instead when another thread is closing the channel and waits for it.
bool lock_admin(int ch, server_channel& s) {
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

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// mkdir -p for a location ending in '/'.
int make_dirs(const char* location) {
    char path[PIPE_MAX_LOCATION_LEN + 1];
    snprintf(path, sizeof(path), "%s", location);
    for (char* p = path + 1; *p != '\0'; p++) {
        if (*p != '/') continue;
        *p = '\0';
        if (mkdir(path, 0755) < 0 && errno != EEXIST) return -errno;
        *p = '/';
    }
    struct stat st {};
    if (stat(location, &st) < 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

int bind_unix(const char* path, int type) {
    sockaddr_un addr;
    if (!brisk_pipe::unix_address(path, addr)) return -ENAMETOOLONG;
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

// The last component of a location such as "/run/bpa/vrx_latency/".
void location_name(const char* location, char* out, size_t size) {
    size_t len = strlen(location);
    if (len > 0 && location[len - 1] == '/') len--;
    size_t start = len;
    while (start > 0 && location[start - 1] != '/') start--;
    snprintf(out, size, "%.*s", static_cast<int>(len - start), location + start);
}

// Writes the info object to <location>info through a temporary file and a
// rename, so readers see the old or the new file whole. Caller holds admin.
int write_info_file(server_channel& s) {
    char path[128], tmp[128];
    if (!join_path(path, sizeof(path), s.location, PIPE_INFO_FILE) ||
        !join_path(tmp, sizeof(tmp), s.location, "." PIPE_INFO_FILE ".tmp"))
        return PIPE_ERROR_FILE_IO;
    char* text = cJSON_Print(s.info);
    if (text == nullptr) return PIPE_ERROR_OTHER;
    int rc = 0;
    int fd = retry_eintr([&] { return open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); });
    if (fd < 0) {
        rc = PIPE_ERROR_FILE_IO;
    } else {
        size_t len = strlen(text);
        text[len++] = '\n';  // replaces the terminator; len bytes are written
        size_t done = 0;
        while (done < len) {
            ssize_t n = retry_eintr([&] { return write(fd, text + done, len - done); });
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (close(fd) < 0 || done != len) rc = PIPE_ERROR_FILE_IO;
        if (rc == 0 && rename(tmp, path) < 0) rc = PIPE_ERROR_FILE_IO;
        if (rc != 0) unlink(tmp);
    }
    cJSON_free(text);
    return rc;
}

// The descriptors a server thread works with, copied so that it never reads
// the channel's fields while close changes them.
struct thread_fds {
    int epoll_fd, wake_fd, listen_fd, ctrl_fd;
};

void remove_client_locked(server_channel& s, int epoll_fd, size_t i) {
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, s.clients[i].fd, nullptr);
    close(s.clients[i].fd);
    s.clients[i] = s.clients.back();
    s.clients.pop_back();
}

void accept_clients(server_channel& s, const thread_fds& t) {
    for (;;) {
        int fd = retry_eintr([&] { return accept4(t.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); });
        if (fd < 0) {
            // Out of descriptors or memory: the listener stays readable, so
            // pause instead of spinning until something is freed.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) usleep(10000);
            return;  // also EAGAIN, or a client that gave up already
        }
        int size = PIPE_CLIENT_SNDBUF;
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
        s.clients.push_back(server_client{fd, 0});
    }
}

// Returns false when the callback closed the channel.
bool read_control(int ch, server_channel& s, const thread_fds& t, uint64_t generation) {
    char buf[PIPE_MAX_CONTROL_LEN + 1];
    for (int i = 0; i < 64; i++) {
        ssize_t n = retry_eintr([&] { return recv(t.ctrl_fd, buf, PIPE_MAX_CONTROL_LEN, MSG_DONTWAIT | MSG_TRUNC); });
        if (n < 0) return true;
        if (n > PIPE_MAX_CONTROL_LEN) {
            fprintf(stderr, "ERROR: pipe server channel %d dropped a %zd-byte control command (limit %d)\n", ch, n,
                    PIPE_MAX_CONTROL_LEN);
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
void client_event(server_channel& s, const thread_fds& t, int fd, uint32_t events) {
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
    std::lock_guard<std::mutex> lk(s.m);
    for (size_t i = 0; i < s.clients.size(); i++) {
        if (s.clients[i].fd == fd) {
            remove_client_locked(s, t.epoll_fd, i);
            break;
        }
    }
}

void server_thread(int ch, thread_fds t, uint64_t generation) {
    server_channel& s = g_servers[ch];
    tl_server_channel = ch;
    epoll_event evs[32];
    for (;;) {
        int n = epoll_wait(t.epoll_fd, evs, 32, -1);
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
    }
}

// Undoes whatever create managed so far. Caller holds admin; the thread is
// not running.
void teardown(server_channel& s, bool remove_files) {
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.open = false;
    }
    if (remove_files && s.location[0] != '\0') {
        char path[128];
        // Unlink before closing the listener so reconnecting clients find no
        // socket instead of a dying one.
        const char* files[] = {PIPE_DATA_FILE, PIPE_CONTROL_FILE, PIPE_INFO_FILE, "." PIPE_INFO_FILE ".tmp"};
        for (const char* f : files)
            if (join_path(path, sizeof(path), s.location, f)) unlink(path);
        rmdir(s.location);  // only when empty: never removes other files
    }
    close_fd(s.listen_fd);
    close_fd(s.ctrl_fd);
    std::vector<server_client> gone;
    {
        std::lock_guard<std::mutex> lk(s.m);
        gone.swap(s.clients);
    }
    for (auto& c : gone) close(c.fd);
    close_fd(s.epoll_fd);
    close_fd(s.wake_fd);
    if (s.info != nullptr) cJSON_Delete(s.info);
    s.info = nullptr;
    s.location[0] = '\0';
}

int add_to_epoll(int ep, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

int create_locked(int ch, server_channel& s, const char* name_or_location) {
    char location[PIPE_MAX_LOCATION_LEN + 1];
    int rc = pipe_expand_location_string(name_or_location, location);
    if (rc < 0) return rc;
    char data_path[128], ctrl_path[128];
    if (!join_path(data_path, sizeof(data_path), location, PIPE_DATA_FILE) ||
        !join_path(ctrl_path, sizeof(ctrl_path), location, PIPE_CONTROL_FILE))
        return PIPE_ERROR_INVALID_ARG;

    if (make_dirs(location) < 0) return PIPE_ERROR_FILE_IO;
    // A socket file some server still listens on is not stale.
    int probe = brisk_pipe::connect_unix(data_path, SOCK_SEQPACKET);
    if (probe >= 0 || probe == -EAGAIN) {
        if (probe >= 0) close(probe);
        return PIPE_ERROR_CHANNEL_IN_USE;
    }
    unlink(data_path);
    unlink(ctrl_path);

    snprintf(s.location, sizeof(s.location), "%s", location);
    s.listen_fd = bind_unix(data_path, SOCK_SEQPACKET);
    if (s.listen_fd < 0 || listen(s.listen_fd, 64) < 0) return PIPE_ERROR_FILE_IO;
    s.ctrl_fd = bind_unix(ctrl_path, SOCK_DGRAM);
    if (s.ctrl_fd < 0) return PIPE_ERROR_FILE_IO;
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
        s.thread = std::thread(server_thread, ch, thread_fds{s.epoll_fd, s.wake_fd, s.listen_fd, s.ctrl_fd},
                               generation);
    } catch (...) {
        return PIPE_ERROR_OTHER;
    }
    return 0;
}

}  // namespace

int pipe_server_create(int ch, const char* name_or_location, int flags) {
    (void)flags;
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return PIPE_ERROR_CHANNEL_IN_USE;
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    {
        std::lock_guard<std::mutex> lk2(s.m);
        if (s.open) return PIPE_ERROR_CHANNEL_IN_USE;
    }
    int rc = create_locked(ch, s, name_or_location);
    if (rc < 0) teardown(s, true);
    return rc;
}

int pipe_server_write(int ch, const void* data, int bytes) {
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    // A zero-length record would read as end of stream on the client.
    if (data == nullptr || bytes <= 0) return PIPE_ERROR_INVALID_ARG;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    if (!s.open) return PIPE_ERROR_NOT_CONNECTED;
    int delivered = 0;
    bool too_big = false;
    for (auto& c : s.clients) {
        ssize_t n = retry_eintr([&] { return send(c.fd, data, static_cast<size_t>(bytes), MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (n == bytes) {
            delivered++;
        } else if (n < 0 && errno == EMSGSIZE) {
            too_big = true;
        } else {
            // EAGAIN: buffer full, the whole chunk is lost for this client.
            // Other errors: the client left; the server thread removes it.
            c.dropped++;
        }
    }
    if (too_big && delivered == 0) return PIPE_ERROR_INVALID_ARG;
    return delivered;
}

int pipe_server_get_num_clients(int ch) {
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    if (!s.open) return PIPE_ERROR_NOT_CONNECTED;
    return static_cast<int>(s.clients.size());
}

void pipe_server_set_control_cb(int ch, pipe_server_control_cb cb, void* context) {
    if (!channel_ok(ch)) return;
    server_channel& s = g_servers[ch];
    std::lock_guard<std::mutex> lk(s.m);
    s.ctrl_cb = cb;
    s.ctrl_ctx = context;
}

int pipe_server_close(int ch) {
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
    teardown(s, true);
    return 0;
}

void pipe_server_close_all(void) {
    for (int ch = 0; ch < PIPE_SERVER_MAX_CHANNELS; ch++) pipe_server_close(ch);
}

cJSON* pipe_server_get_info_json_ptr(int ch) {
    if (!channel_ok(ch)) return nullptr;
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return nullptr;
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    return s.info;
}

int pipe_server_update_info(int ch) {
    if (!channel_ok(ch)) return PIPE_ERROR_CHANNEL_OOB;
    server_channel& s = g_servers[ch];
    if (!lock_admin(ch, s)) return PIPE_ERROR_NOT_CONNECTED;
    std::lock_guard<std::mutex> lk(s.admin, std::adopt_lock);
    if (s.info == nullptr) return PIPE_ERROR_NOT_CONNECTED;
    return write_info_file(s);
}
