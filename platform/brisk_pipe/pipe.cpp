// libbrisk_pipe: locations, error texts, signal handling, image format names
// and the socket helpers both halves share. Server side in pipe_server.cpp,
// client side in pipe_client.cpp.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "pipe_internal.h"

volatile int main_running = 0;

namespace brisk_pipe {

bool join_path(char* out, size_t size, const char* location, const char* file) {
    int n = snprintf(out, size, "%s%s", location, file);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool unix_address(const char* path, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(addr.sun_path)) return false;
    strcpy(addr.sun_path, path);
    return true;
}

int connect_unix(const char* path, int type) {
    sockaddr_un addr;
    if (!unix_address(path, addr)) return -ENAMETOOLONG;

    // Non-blocking so that a listener with a full backlog (a stopped server)
    // cannot hold us in connect.
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    int r = retry_eintr([&] { return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)); });
    if (r < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

}  // namespace brisk_pipe

static bool location_char_ok(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-' || c == '/';
}

// Every component between slashes must be a real name: not empty (no "//"),
// not "." and not "..".
static bool components_ok(const char* s, size_t len) {
    if (len > 0 && s[len - 1] == '/') return false;  // an empty last component
    size_t i = 0;
    while (i < len) {
        size_t j = i;
        while (j < len && s[j] != '/') j++;
        size_t n = j - i;
        if (n == 0) return false;
        if (n == 1 && s[i] == '.') return false;
        if (n == 2 && s[i] == '.' && s[i + 1] == '.') return false;
        i = j + 1;
    }
    return true;
}

// The location of in, built in buf. in and the caller's out may be the same
// buffer, so out is written only once the result is known.
static int expand_location(const char* in, char* buf, size_t size) {
    if (in == nullptr || in[0] == '\0') return PIPE_ERROR_INVALID_ARG;
    size_t len = strnlen(in, PIPE_MAX_LOCATION_LEN + 2);
    if (len > PIPE_MAX_LOCATION_LEN) return PIPE_ERROR_INVALID_ARG;
    for (size_t i = 0; i < len; i++) {
        if (!location_char_ok(in[i])) return PIPE_ERROR_INVALID_ARG;
    }

    // An absolute path is kept; a name or relative path ("vrx_latency",
    // "cam/vrx_latency/") lives under the pipe folder. Either way one
    // trailing slash is allowed and added when missing.
    bool absolute = in[0] == '/';
    const char* body = absolute ? in + 1 : in;
    size_t body_len = absolute ? len - 1 : len;
    if (body_len > 0 && body[body_len - 1] == '/') body_len--;
    if (body_len == 0 || !components_ok(body, body_len)) return PIPE_ERROR_INVALID_ARG;
    int n = snprintf(buf, size, "%s%.*s/", absolute ? "/" : PIPE_DIR, static_cast<int>(body_len), body);
    if (n < 0 || n > PIPE_MAX_LOCATION_LEN) return PIPE_ERROR_INVALID_ARG;
    return 0;
}

int pipe_expand_location_string(const char* in, char* out) {
    if (out == nullptr) return PIPE_ERROR_INVALID_ARG;
    char buf[PIPE_MAX_LOCATION_LEN + 1];
    int rc = expand_location(in, buf, sizeof(buf));
    if (rc < 0) {
        out[0] = '\0';
        return rc;
    }
    memcpy(out, buf, strlen(buf) + 1);
    return 0;
}

void pipe_print_error(int e) {
    const char* text = nullptr;
    switch (e) {
        case 0: text = "no error"; break;
        case PIPE_ERROR_OTHER: text = "ERROR: the pipe operation failed"; break;
        case PIPE_ERROR_SERVER_NOT_AVAILABLE:
            text = "ERROR: no server publishes at that location, is it running?";
            break;
        case PIPE_ERROR_REACHED_MAX_NAME_INDEX: text = "ERROR: too many pipes or clients with that name"; break;
        case PIPE_ERROR_FILE_IO: text = "ERROR: could not create or write the pipe's files"; break;
        case PIPE_ERROR_TIMEOUT: text = "ERROR: the pipe server did not answer in time"; break;
        case PIPE_ERROR_INVALID_ARG:
            text = "ERROR: invalid argument (pipe name, channel, size or flags)";
            break;
        case PIPE_ERROR_NOT_CONNECTED: text = "ERROR: that pipe channel is not open"; break;
        case PIPE_ERROR_CTRL_NOT_AVAILABLE: text = "ERROR: nothing listens for control commands at that location"; break;
        case PIPE_ERROR_INFO_NOT_AVAILABLE: text = "ERROR: that pipe has no info available"; break;
        case PIPE_ERROR_CHANNEL_OOB: text = "ERROR: pipe channel number out of range (0 to 15)"; break;
        case PIPE_ERROR_CHANNEL_IN_USE:
            text = "ERROR: that pipe channel or location is already in use";
            break;
        default: break;
    }
    if (text != nullptr)
        fprintf(stderr, "%s\n", text);
    else
        fprintf(stderr, "ERROR: unknown pipe error code %d\n", e);
}

static void stop_handler(int) { main_running = 0; }

int enable_signal_handler(void) {
    struct sigaction sa {};
    sa.sa_handler = stop_handler;
    sigemptyset(&sa.sa_mask);
    // Sleeps (usleep, nanosleep) still end early on the signal; other
    // interrupted calls carry on.
    sa.sa_flags = SA_RESTART;
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) < 0 || sigaction(SIGTERM, &sa, nullptr) < 0 ||
        sigaction(SIGHUP, &sa, nullptr) < 0 || sigaction(SIGPIPE, &ign, nullptr) < 0) {
        perror("ERROR: enable_signal_handler");
        return -1;
    }
    return 0;
}

const char* pipe_image_format_to_string(int format) {
    switch (format) {
        case IMAGE_FORMAT_RAW8: return "RAW8";
        case IMAGE_FORMAT_NV12: return "NV12";
        case IMAGE_FORMAT_STEREO_RAW8: return "STEREO_RAW8";
        case IMAGE_FORMAT_H264: return "H264";
        case IMAGE_FORMAT_H265: return "H265";
        case IMAGE_FORMAT_RGB: return "RGB";
        case IMAGE_FORMAT_YUV420: return "YUV420";
        default: return "UNKNOWN";
    }
}
