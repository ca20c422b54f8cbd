// libbrisk_pipe: locations, error texts, signal handling, image format names
// and the socket helpers both halves share. Server side in pipe_server.cpp,
// client side in pipe_client.cpp.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "pipe_internal.h"

volatile int main_running = 0;

namespace {

// The last failure on this thread, its code and its line naming the path.
thread_local int tl_fail_code = 0;
thread_local char tl_fail_text[256];

}  // namespace

namespace brisk_pipe {

bool trusted_uid(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

int fail(int code, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(tl_fail_text, sizeof(tl_fail_text), fmt, ap);
    va_end(ap);
    tl_fail_code = code;
    return code;
}

void clear_failure()
{
    tl_fail_code = 0;
}

namespace {

// Checks one folder of a location. path names it in messages; last is true
// for the pipe folder itself, which may never be writable by others. With
// owner_later, a folder of another user is let through with *pending set,
// for the delegation check once the pipe folder is reached.
int check_folder(int fd, const char* path, bool last, bool owner_later, struct stat& st, bool* pending)
{
    if (fstat(fd, &st) < 0) return fail(PIPE_ERROR_FILE_IO, "ERROR: cannot inspect %s: %s", path, strerror(errno));
    const char* what = last ? "pipe folder" : "folder";
    if (!S_ISDIR(st.st_mode)) return fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: %s %s is not a folder", what, path);
    *pending = !trusted_uid(st.st_uid);
    if (*pending && !owner_later)
        return fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: %s %s belongs to user %u, not root or this user", what, path,
                    static_cast<unsigned>(st.st_uid));
    bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (others_write && (last || (st.st_mode & S_ISVTX) == 0))
        return fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: %s %s is writable by others", what, path);
    return 0;
}

// Writable by its owner alone: no group or other write bit, sticky or not.
bool owner_alone_writes(const struct stat& st)
{
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder of the location as the walk saw it.
struct seen_folder {
    struct stat st;
    bool pending;                          // owned by neither root nor this user
    char path[PIPE_MAX_LOCATION_LEN + 1];  // no slash at the end
};

// Decides on the folders of other users that the walk let through: f holds
// the folders from "/" down to the pipe folder, n of them. Only the pipe
// folder's owner S may own any, and only the pipe folder and the folder
// above it, handed to S by root or this user through a folder that its
// owner alone may write (open_trusted_folder). 0 with *delegate set, or a
// code recorded with fail().
int check_delegation(const seen_folder* f, int n, const char* location, uid_t* delegate)
{
    *delegate = geteuid();
    const seen_folder& pipe_dir = f[n - 1];
    const uid_t s = pipe_dir.st.st_uid;
    // The folder S was given: the pipe folder, or the folder above it when
    // that is S's too. The giver is the folder above what S was given.
    int given = n - 1;
    if (pipe_dir.pending && n >= 3 && f[n - 2].pending && f[n - 2].st.st_uid == s) given = n - 2;
    for (int i = 0; i < n; i++) {
        if (!f[i].pending || (pipe_dir.pending && i >= given)) continue;
        return fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: folder %s belongs to user %u, not root or this user",
                    f[i].path, static_cast<unsigned>(f[i].st.st_uid));
    }
    if (!pipe_dir.pending) return 0;
    const seen_folder& giver = f[given - 1];
    const seen_folder& above = f[n - 2];
    const seen_folder* open_to_others = !owner_alone_writes(giver.st)   ? &giver
                                        : !owner_alone_writes(above.st) ? &above
                                                                        : nullptr;
    if (open_to_others != nullptr)
        return fail(PIPE_ERROR_UNTRUSTED_FOLDER,
                    "ERROR: pipe folder %s belongs to user %u, not root or this user, and others may write %s: "
                    "make %s owned by the receiver's user, mode 0755",
                    location, static_cast<unsigned>(s), open_to_others->path, above.path);
    *delegate = s;
    return 0;
}

}  // namespace

int open_trusted_folder(const char* location, bool create, uid_t* delegate)
{
    char path[PIPE_MAX_LOCATION_LEN + 1];
    snprintf(path, sizeof(path), "%s", location);
    size_t len = strlen(path);
    if (len < 2 || path[0] != '/' || path[len - 1] != '/')
        return fail(PIPE_ERROR_INVALID_ARG, "ERROR: invalid pipe location %s", location);
    // Every folder from "/" down to the pipe folder (at most one for every
    // two characters of the location).
    seen_folder seen[PIPE_MAX_LOCATION_LEN / 2 + 2];
    const bool owner_later = delegate != nullptr;
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return fail(PIPE_ERROR_FILE_IO, "ERROR: cannot open /: %s", strerror(errno));
    snprintf(seen[0].path, sizeof(seen[0].path), "/");
    int rc = check_folder(dir, "/", false, owner_later, seen[0].st, &seen[0].pending);
    int n_seen = 1;
    char* name = path + 1;
    while (rc == 0 && *name != '\0') {
        char* slash = strchr(name, '/');
        *slash = '\0';
        bool last = slash[1] == '\0';
        bool made = false;
        int next = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(dir, name, PIPE_FOLDER_MODE) == 0) {
                made = true;
            } else if (errno != EEXIST) {
                int e = errno;
                rc = fail(e == EACCES || e == EPERM ? PIPE_ERROR_PERMISSION_DENIED : PIPE_ERROR_FILE_IO,
                          "ERROR: cannot create the folder %s: %s", path, strerror(e));
                break;
            }
            next = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0 && (errno == ELOOP || errno == ENOTDIR)) {
            // A symlink is followed only when root or this user made it.
            struct stat ls {};
            if (fstatat(dir, name, &ls, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(ls.st_mode)) {
                if (!trusted_uid(ls.st_uid)) {
                    rc = fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: %s is a symlink of user %u, not followed", path,
                              static_cast<unsigned>(ls.st_uid));
                    break;
                }
                next = openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            } else {
                errno = ENOTDIR;
            }
        }
        if (next < 0) {
            int e = errno;
            if (e == ENOENT)
                rc =
                    fail(PIPE_ERROR_SERVER_NOT_AVAILABLE, "ERROR: no server publishes at %s, is it running?", location);
            else if (e == EACCES || e == EPERM)
                rc = fail(PIPE_ERROR_PERMISSION_DENIED, "ERROR: permission denied on %s", path);
            else
                rc = fail(PIPE_ERROR_UNTRUSTED_FOLDER, "ERROR: cannot open the folder %s: %s", path, strerror(e));
            break;
        }
        close(dir);
        dir = next;
        // A folder we made gets its mode whatever the umask.
        if (made && fchmod(dir, PIPE_FOLDER_MODE) < 0) {
            rc = fail(PIPE_ERROR_FILE_IO, "ERROR: cannot set the mode of %s: %s", path, strerror(errno));
            break;
        }
        seen_folder& f = seen[n_seen++];
        snprintf(f.path, sizeof(f.path), "%s", path);
        rc = check_folder(dir, last ? location : path, last, owner_later, f.st, &f.pending);
        *slash = '/';
        name = slash + 1;
    }
    if (rc == 0 && owner_later) rc = check_delegation(seen, n_seen, location, delegate);
    if (rc < 0) {
        close(dir);
        return rc;
    }
    return dir;
}

bool join_path(char* out, size_t size, const char* location, const char* file)
{
    int n = snprintf(out, size, "%s%s", location, file);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool unix_address(const char* path, sockaddr_un& addr)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(addr.sun_path)) return false;
    strcpy(addr.sun_path, path);
    return true;
}

int connect_unix(const char* path, int type)
{
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

static bool location_char_ok(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '/';
}

// Every component between slashes must be a real name: not empty (no "//"),
// not "." and not "..".
static bool components_ok(const char* s, size_t len)
{
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
static int expand_location(const char* in, char* buf, size_t size)
{
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

int pipe_expand_location_string(const char* in, char* out)
{
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

void pipe_print_error(int e)
{
    // The failure just recorded on this thread names its path.
    if (e < 0 && e == tl_fail_code) {
        fprintf(stderr, "%s\n", tl_fail_text);
        return;
    }
    const char* text = nullptr;
    switch (e) {
    case 0: text = "no error"; break;
    case PIPE_ERROR_OTHER: text = "ERROR: the pipe operation failed"; break;
    case PIPE_ERROR_SERVER_NOT_AVAILABLE: text = "ERROR: no server publishes at that location, is it running?"; break;
    case PIPE_ERROR_REACHED_MAX_NAME_INDEX: text = "ERROR: too many pipes or clients with that name"; break;
    case PIPE_ERROR_FILE_IO: text = "ERROR: could not create or write the pipe's files"; break;
    case PIPE_ERROR_TIMEOUT: text = "ERROR: the pipe server did not answer in time"; break;
    case PIPE_ERROR_INVALID_ARG: text = "ERROR: invalid argument (pipe name, channel, size or flags)"; break;
    case PIPE_ERROR_NOT_CONNECTED: text = "ERROR: that pipe channel is not open"; break;
    case PIPE_ERROR_CTRL_NOT_AVAILABLE: text = "ERROR: nothing listens for control commands at that location"; break;
    case PIPE_ERROR_INFO_NOT_AVAILABLE: text = "ERROR: that pipe has no info available"; break;
    case PIPE_ERROR_CHANNEL_OOB: text = "ERROR: pipe channel number out of range (0 to 15)"; break;
    case PIPE_ERROR_CHANNEL_IN_USE: text = "ERROR: that pipe channel or location is already in use"; break;
    case PIPE_ERROR_PERMISSION_DENIED: text = "ERROR: permission denied on the pipe"; break;
    case PIPE_ERROR_UNTRUSTED_FOLDER:
        text = "ERROR: the pipe folder or a folder above it is writable by others or not owned by root or this user";
        break;
    case PIPE_ERROR_UNTRUSTED_PEER:
        text = "ERROR: the pipe server runs as another user, neither root nor this user";
        break;
    default: break;
    }
    if (text != nullptr)
        fprintf(stderr, "%s\n", text);
    else
        fprintf(stderr, "ERROR: unknown pipe error code %d\n", e);
}

static void stop_handler(int)
{
    main_running = 0;
}

int enable_signal_handler(void)
{
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

const char* pipe_image_format_to_string(int format)
{
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
