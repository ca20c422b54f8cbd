// Opening the files the programs write, without following a link or
// writing a file another user could have put in the way (out_file.h).
#include "out_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "fd_io.h"

namespace tarn_io {

namespace {

// Links the kernel itself would follow before giving up with ELOOP.
constexpr int MAX_LINKS = 40;

bool trusted_owner(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

int open_root_or_cwd(bool absolute)
{
    return retry_eintr([&] { return open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC); });
}

bool refuse(std::string& why, std::string text, int err)
{
    why = std::move(text);
    errno = err;
    return false;
}

int refuse_fd(std::string& why, std::string text, int err)
{
    refuse(why, std::move(text), err);
    return -1;
}

}  // namespace

bool output_object_ok(const struct stat& st, bool stream_ok, std::string& why)
{
    const bool stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
    if (!S_ISREG(st.st_mode) && !(stream && stream_ok)) return refuse(why, "not a regular file", 0);
    if (stream) {
        if (!trusted_owner(st.st_uid))
            return refuse(why, "belongs to user " + std::to_string(st.st_uid) + ", not root or this user", 0);
        return true;
    }
    if (st.st_uid != geteuid())
        return refuse(why, "belongs to user " + std::to_string(st.st_uid) + ", not this user", 0);
    if (st.st_nlink != 1)
        return refuse(why, "has " + std::to_string(st.st_nlink) + " names (hard links), not written", 0);
    return true;
}

bool find_output_place(const char* path, out_place& place, std::string& why)
{
    place = out_place{};
    if (path == nullptr || path[0] == '\0') return refuse(why, "empty path", EINVAL);
    std::string rest = path;
    int dir = open_root_or_cwd(rest[0] == '/');
    if (dir < 0) return refuse(why, strerror(errno), errno);
    int links = 0;
    size_t pos = 0;
    for (;;) {
        while (pos < rest.size() && rest[pos] == '/') pos++;
        size_t end = rest.find('/', pos);
        if (end == std::string::npos) end = rest.size();
        const std::string name = rest.substr(pos, end - pos);
        size_t next = end;
        while (next < rest.size() && rest[next] == '/') next++;
        const bool last = next >= rest.size();
        if (name.empty() || (last && end < rest.size())) {
            close(dir);
            return refuse(why, "is a folder", EISDIR);
        }
        const int fd = retry_eintr([&] { return openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
        if (fd < 0 && last && errno == ENOENT) {
            place.dir_fd = dir;
            place.name = name;
            return true;
        }
        if (fd < 0) {
            const int err = errno;
            close(dir);
            return refuse(why, strerror(err), err);
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            const int err = errno;
            close(fd);
            close(dir);
            return refuse(why, strerror(err), err);
        }
        if (S_ISLNK(st.st_mode)) {
            if (!trusted_owner(st.st_uid)) {
                close(fd);
                close(dir);
                return refuse(why, "is a link of user " + std::to_string(st.st_uid) + ", not followed", 0);
            }
            char target[PATH_MAX];
            const ssize_t n = readlinkat(fd, "", target, sizeof target);
            const int err = errno;
            close(fd);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof target || ++links > MAX_LINKS) {
                close(dir);
                return refuse(why, strerror(n < 0 ? err : ELOOP), n < 0 ? err : ELOOP);
            }
            // The target is looked up from the folder that holds the link,
            // followed by whatever of the path came after the link.
            std::string expanded(target, static_cast<size_t>(n));
            if (!last) expanded += "/" + rest.substr(next);
            rest = std::move(expanded);
            pos = 0;
            if (rest[0] == '/') {
                close(dir);
                dir = open_root_or_cwd(true);
                if (dir < 0) return refuse(why, strerror(errno), errno);
            }
            continue;
        }
        if (last) {
            close(fd);
            if (name == "." || name == ".." || S_ISDIR(st.st_mode)) {
                close(dir);
                return refuse(why, "is a folder", EISDIR);
            }
            place.dir_fd = dir;
            place.name = name;
            return true;
        }
        close(dir);
        if (!S_ISDIR(st.st_mode)) {
            close(fd);
            return refuse(why, strerror(ENOTDIR), ENOTDIR);
        }
        dir = fd;
        pos = next;
    }
}

namespace {

// The file name could not be opened as it was found (removed, replaced by
// a link, created by someone else in between): look it up again.
constexpr int OPEN_AGAIN = -2;

int open_in(int dir_fd, const char* name, unsigned flags, mode_t mode, std::string& why)
{
    const bool new_only = (flags & OUT_NEW_ONLY) != 0;
    const int base =
        O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | ((flags & OUT_APPEND) != 0 ? O_APPEND : 0);
    int fd = -1;
    bool created = false;
    if (!new_only) fd = retry_eintr([&] { return openat(dir_fd, name, base); });
    if (new_only || (fd < 0 && errno == ENOENT && (flags & OUT_CREATE) != 0)) {
        fd = retry_eintr([&] { return openat(dir_fd, name, base | O_CREAT | O_EXCL, mode); });
        created = fd >= 0;
    }
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP || (err == EEXIST && !new_only)) return OPEN_AGAIN;
        // Only a FIFO without a reader fails so (the open does not block).
        if (err == ENXIO)
            return refuse_fd(why, (flags & OUT_STREAM_OK) != 0 ? "no process reads the FIFO" : "not a regular file",
                             err);
        return refuse_fd(why, strerror(err), err);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        return refuse_fd(why, strerror(err), err);
    }
    if (!created && !output_object_ok(st, (flags & OUT_STREAM_OK) != 0, why)) {
        close(fd);
        errno = 0;
        return -1;
    }
    if (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode)) {
        const int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0 ||
            (S_ISREG(st.st_mode) && (flags & OUT_APPEND) == 0 && st.st_size > 0 && ftruncate(fd, 0) != 0)) {
            const int err = errno;
            close(fd);
            return refuse_fd(why, strerror(err), err);
        }
    }
    return fd;
}

}  // namespace

int open_output_at(int dir_fd, const char* name, unsigned flags, mode_t mode, std::string& why)
{
    const int fd = open_in(dir_fd, name, flags, mode, why);
    if (fd == OPEN_AGAIN) return refuse_fd(why, "the file changed while it was opened", EAGAIN);
    return fd;
}

int open_output(const char* path, unsigned flags, mode_t mode, std::string& why)
{
    // A name that changes between the look and the open (a link put in its
    // place, a file made by someone else) is looked up again, a few times
    // at most.
    for (int round = 0; round < 3; round++) {
        out_place p;
        if (!find_output_place(path, p, why)) return -1;
        const int fd = open_in(p.dir_fd, p.name.c_str(), flags, mode, why);
        const int err = errno;
        close(p.dir_fd);
        errno = err;
        if (fd != OPEN_AGAIN) return fd;
    }
    return refuse_fd(why, "the file changed while it was opened", EAGAIN);
}

}  // namespace tarn_io
