// libbrisk_json: JSON files with an optional leading comment header, read
// whole and replaced atomically.
#include "brisk_json.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd_io.h"
#include "out_file.h"

namespace {

// Mode of a file this library creates, before the umask.
constexpr mode_t NEW_FILE_MODE = 0666;

int open_retry(const char* path, int flags, mode_t mode)
{
    return tarn_io::retry_eintr([&] { return open(path, flags, mode); });
}

bool write_all(int fd, const char* p, size_t n)
{
    return tarn_io::write_all(fd, p, n) == n;
}

// Reads a regular file of at most JSON_MAX_FILE_SIZE bytes. The open does not
// block (a FIFO would wait for a writer); anything but a regular file (a
// FIFO, /dev/zero) is refused before a byte is read. Returns null, or why
// it failed.
const char* read_whole_file(const char* path, std::string& out)
{
    static const char too_big[] = "larger than " JSON_MAX_FILE_SIZE_TEXT;
    int fd = open_retry(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0) return strerror(errno);
    struct stat st;
    const char* failure = nullptr;
    if (fstat(fd, &st) != 0)
        failure = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        failure = "not a regular file";
    else if (st.st_size > JSON_MAX_FILE_SIZE)
        failure = too_big;
    if (failure != nullptr) {
        close(fd);
        return failure;
    }
    out.reserve(static_cast<size_t>(st.st_size));
    char buf[8192];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            failure = strerror(errno);
            close(fd);
            return failure;
        }
        if (r == 0) break;
        // The file may grow while it is read.
        if (out.size() + static_cast<size_t>(r) > JSON_MAX_FILE_SIZE) {
            close(fd);
            return too_big;
        }
        out.append(buf, static_cast<size_t>(r));
    }
    close(fd);
    return nullptr;
}

// Creates a fresh temporary file beside name in the folder dir_fd; returns
// its descriptor and name, or -1. The umask applies to it as to any new file.
int make_temp_beside(int dir_fd, const std::string& name, std::string& tmp_name, std::string& why)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned n = __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED);
        tmp_name = name + ".tmp." + std::to_string(getpid()) + "." + std::to_string(n);
        int fd = tarn_io::open_output_at(dir_fd, tmp_name.c_str(), tarn_io::OUT_NEW_ONLY, NEW_FILE_MODE, why);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    why = strerror(EEXIST);
    return -1;
}

void sync_folder(int dir_fd)
{
    int dfd = tarn_io::retry_eintr([&] { return openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (dfd < 0) return;
    fsync(dfd);
    close(dfd);
}

// Writes text to a new temporary file beside target and renames it over
// target. The path is found as every output file's is (out_file.h): a link
// is followed only when root or this user made it, and in a folder others
// may write only a file of this user is replaced. An existing target keeps
// its mode and, where allowed, its owner.
int replace_file(const char* target, const std::string& text)
{
    tarn_io::out_place place;
    std::string why;
    if (!tarn_io::find_output_place(target, place, why)) {
        fprintf(stderr, "json: cannot write %s: %s\n", target, why == "is a folder" ? "is a directory" : why.c_str());
        return -1;
    }
    const int dir = place.dir_fd;
    const char* name = place.name.c_str();
    struct stat old_st;
    struct stat dir_st;
    const bool existed = fstatat(dir, name, &old_st, AT_SYMLINK_NOFOLLOW) == 0;
    const char* refused = nullptr;
    if (existed && S_ISDIR(old_st.st_mode))
        refused = "is a directory";
    else if (existed && !S_ISREG(old_st.st_mode))
        // The rename would put a plain file in place of a FIFO, a device
        // node, or a link that appeared since the path was looked up.
        refused = "not a regular file";
    else if (existed && old_st.st_uid != geteuid() && fstat(dir, &dir_st) == 0 &&
             (dir_st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        refused = "belongs to another user, in a folder others may write";
    if (refused != nullptr) {
        fprintf(stderr, "json: cannot write %s: %s\n", target, refused);
        close(dir);
        return -1;
    }

    std::string tmp;
    int fd = make_temp_beside(dir, place.name, tmp, why);
    if (fd < 0) {
        fprintf(stderr, "json: cannot create a temporary file for %s: %s\n", target, why.c_str());
        close(dir);
        return -1;
    }
    bool ok = true;
    if (existed) {
        if (fchown(fd, old_st.st_uid, old_st.st_gid) != 0) {
            // Only root may give a file away; the mode is kept all the same.
        }
        ok = fchmod(fd, old_st.st_mode & 07777) == 0;
    }
    ok = ok && write_all(fd, text.data(), text.size()) && fsync(fd) == 0;
    int e = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && renameat(dir, tmp.c_str(), dir, name) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        unlinkat(dir, tmp.c_str(), 0);
        close(dir);
        fprintf(stderr, "json: failed to write %s: %s\n", target, strerror(e));
        return -1;
    }
    sync_folder(dir);
    close(dir);
    return 0;
}

// ---- The writers' lock --------------------------------------------------
//
// An exclusive flock on "<path>.lock", a file beside path that lives only
// while a writer holds it: the holder removes it before letting go, and a
// writer that got the lock on a file that is no longer the one at that name
// starts over. A writer killed while holding it leaves the file behind but
// not the lock (the kernel drops it with the process); the next writer
// takes and removes it. The lock file is opened without following a
// symbolic link and must be a regular file owned by this user or root.
//
// Reentrant per thread: locks this thread holds, by path.
struct held_lock {
    std::string path;
    int fd;
    int depth;
};
thread_local std::vector<held_lock> held_locks;

held_lock* find_held(const char* path)
{
    for (auto& h : held_locks)
        if (h.path == path) return &h;
    return nullptr;
}

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

constexpr int NO_LOCK_HERE = -2;

// Opens (creating) the lock file and waits for the lock; the descriptor, -1
// after one line on stderr, or NO_LOCK_HERE when the folder takes no new
// file (missing, read-only, not writable).
int acquire(const std::string& lock_path)
{
    const int64_t deadline = now_ms() + JSON_LOCK_WAIT_MS;
    useconds_t pause = 200;
    for (;;) {
        int fd =
            open_retry(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            const int err = errno;
            struct stat st;
            // No lock file can be made where no file can be written: the
            // caller goes on without it and meets the same failure there.
            if (err == ENOENT || err == EROFS || (err == EACCES && lstat(lock_path.c_str(), &st) != 0))
                return NO_LOCK_HERE;
            fprintf(stderr, "json: cannot lock %s: %s\n", lock_path.c_str(), strerror(err));
            return -1;
        }
        struct stat st;
        const char* refused = nullptr;
        if (fstat(fd, &st) != 0)
            refused = strerror(errno);
        else if (!S_ISREG(st.st_mode))
            refused = "not a regular file";
        else if (st.st_uid != geteuid() && st.st_uid != 0)
            refused = "owned by another user";
        if (refused != nullptr) {
            close(fd);
            fprintf(stderr, "json: cannot lock %s: %s\n", lock_path.c_str(), refused);
            return -1;
        }
        int r;
        while ((r = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {}
        if (r == 0) {
            // Still the file at that name? Its holder may have removed it
            // while this writer waited.
            struct stat now;
            if (stat(lock_path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) return fd;
            close(fd);
        } else {
            const int err = errno;
            close(fd);
            if (err != EWOULDBLOCK) {
                fprintf(stderr, "json: cannot lock %s: %s\n", lock_path.c_str(), strerror(err));
                return -1;
            }
        }
        if (now_ms() >= deadline) {
            fprintf(stderr, "json: cannot lock %s: another writer has held it for %d s\n", lock_path.c_str(),
                    JSON_LOCK_WAIT_MS / 1000);
            return -1;
        }
        usleep(pause);
        if (pause < 5000) pause *= 2;
    }
}

int lock_path_of(const char* path)
{
    if (held_lock* h = find_held(path)) {
        h->depth++;
        return 0;
    }
    const std::string lock_path = std::string(path) + ".lock";
    int fd = acquire(lock_path);
    if (fd == -1) return -1;
    // Without a lock file (fd -1) there is nothing to release later.
    held_locks.push_back({path, fd < 0 ? -1 : fd, 1});
    return 0;
}

void unlock_path_of(const char* path)
{
    held_lock* h = find_held(path);
    if (h == nullptr || --h->depth > 0) return;
    // Removed while still held, so no writer can take a lock on a file that
    // is about to go.
    if (h->fd >= 0) {
        unlink((h->path + ".lock").c_str());
        close(h->fd);
    }
    held_locks.erase(held_locks.begin() + (h - held_locks.data()));
}

int write_locked(const char* path, cJSON* obj, const char* header);

int write_with_header(const char* path, cJSON* obj, const char* header)
{
    if (path == nullptr || obj == nullptr) {
        fprintf(stderr, "json: write called with a NULL %s\n", path == nullptr ? "path" : "object");
        return -1;
    }
    if (lock_path_of(path) != 0) return -1;
    int rc = write_locked(path, obj, header);
    unlock_path_of(path);
    return rc;
}

int write_locked(const char* path, cJSON* obj, const char* header)
{
    char* json = cJSON_Print(obj);
    if (json == nullptr) {
        fprintf(stderr, "json: cannot print the tree for %s\n", path);
        return -1;
    }
    std::string text;
    if (header != nullptr) text = header;
    text += json;
    text += '\n';
    cJSON_free(json);
    return replace_file(path, text);
}

// Line and column (both from 1) of offset in text.
void line_and_column(const std::string& text, size_t offset, int& line, int& column)
{
    line = 1;
    column = 1;
    for (size_t i = 0; i < offset && i < text.size(); i++) {
        if (text[i] == '\n') {
            line++;
            column = 1;
        } else {
            column++;
        }
    }
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Offset of the first byte after the leading comment block, or npos with
// the offset of an unterminated "/*" in bad_at.
// True when the JSON text from start holds more than max values. Every value
// but the first follows a ',' or opens an array or object ('[', '{'; an
// empty one still counts), outside strings: an upper bound, found in one
// pass before cJSON allocates a node per value.
bool more_values_than(const std::string& text, size_t start, size_t max)
{
    size_t values = 1;
    bool in_string = false;
    for (size_t i = start; i < text.size(); i++) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                i++;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ',' || c == '[' || c == '{') {
            if (++values > max) return true;
        }
    }
    return false;
}

size_t skip_comment_header(const std::string& text, size_t& bad_at)
{
    size_t i = 0;
    for (;;) {
        while (i < text.size() && is_blank(text[i])) i++;
        if (text.compare(i, 2, "/*") == 0) {
            size_t close = text.find("*/", i + 2);
            if (close == std::string::npos) {
                bad_at = i;
                return std::string::npos;
            }
            i = close + 2;
        } else if (text.compare(i, 2, "//") == 0) {
            size_t eol = text.find('\n', i + 2);
            i = eol == std::string::npos ? text.size() : eol + 1;
        } else {
            return i;
        }
    }
}

}  // namespace

extern "C" {

int json_make_empty_file_if_missing(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        fprintf(stderr, "json: no path given to create\n");
        return -1;
    }
    tarn_io::out_place place;
    std::string why;
    if (!tarn_io::find_output_place(path, place, why)) {
        fprintf(stderr, "json: cannot create %s: %s\n", path, why.c_str());
        return -1;
    }
    const int dir = place.dir_fd;
    const char* name = place.name.c_str();
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        close(dir);
        return 0;
    }
    if (errno != ENOENT) {
        fprintf(stderr, "json: cannot check %s: %s\n", path, strerror(errno));
        close(dir);
        return -1;
    }
    // The empty document is written beside the file and linked into place,
    // so a process killed half way never leaves an empty or torn file, and
    // a file that appears meanwhile is kept (link refuses to replace it).
    std::string tmp;
    int fd = make_temp_beside(dir, place.name, tmp, why);
    if (fd < 0) {
        fprintf(stderr, "json: cannot create %s: %s\n", path, why.c_str());
        close(dir);
        return -1;
    }
    static const char empty[] = "{}\n";
    bool ok = write_all(fd, empty, sizeof empty - 1) && fsync(fd) == 0;
    int e = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    int made = 1;
    if (ok && linkat(dir, tmp.c_str(), dir, name, 0) != 0) {
        if (errno == EEXIST) {
            made = 0;
        } else {
            ok = false;
            e = errno;
        }
    }
    unlinkat(dir, tmp.c_str(), 0);
    if (!ok) {
        fprintf(stderr, "json: cannot write %s: %s\n", path, strerror(e));
        close(dir);
        return -1;
    }
    if (made) sync_folder(dir);
    close(dir);
    return made;
}

cJSON* json_read_file(const char* path)
{
    if (path == nullptr) {
        fprintf(stderr, "json: no path given to read\n");
        return nullptr;
    }
    std::string text;
    if (const char* failure = read_whole_file(path, text)) {
        fprintf(stderr, "json: cannot read %s: %s\n", path, failure);
        return nullptr;
    }
    int line, column;
    size_t bad_at = 0;
    size_t start = skip_comment_header(text, bad_at);
    if (start == std::string::npos) {
        line_and_column(text, bad_at, line, column);
        fprintf(stderr, "json: cannot parse %s: comment opened at line %d column %d is not closed\n", path, line,
                column);
        return nullptr;
    }
    if (more_values_than(text, start, JSON_MAX_VALUES)) {
        fprintf(stderr, "json: cannot read %s: more than " JSON_MAX_VALUES_TEXT " values\n", path);
        return nullptr;
    }
    const char* begin = text.c_str();
    const char* end = nullptr;
    cJSON* tree = cJSON_ParseWithOpts(begin + start, &end, 1);
    // A NUL byte inside the file ends cJSON's view early; it is garbage too.
    if (tree != nullptr && end != begin + text.size()) {
        cJSON_Delete(tree);
        tree = nullptr;
    }
    if (tree == nullptr) {
        size_t at = end != nullptr && end >= begin ? static_cast<size_t>(end - begin) : start;
        line_and_column(text, at, line, column);
        fprintf(stderr, "json: cannot parse %s: invalid JSON at line %d column %d\n", path, line, column);
        return nullptr;
    }
    return tree;
}

int json_fetch_string_with_default(cJSON* parent, const char* name, char* str, int maxlen, const char* default_val)
{
    if (str == nullptr || maxlen <= 0) return -1;
    str[0] = '\0';
    if (name == nullptr) return -1;
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(parent, name);
    const char* src = default_val;
    int result = 1;
    if (cJSON_IsString(item) && item->valuestring != nullptr) {
        src = item->valuestring;
        result = 0;
    }
    if (src == nullptr) return result;
    size_t n = strnlen(src, static_cast<size_t>(maxlen - 1));
    memcpy(str, src, n);
    str[n] = '\0';
    return result;
}

int json_lock_file(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        fprintf(stderr, "json: no path given to lock\n");
        return -1;
    }
    return lock_path_of(path);
}

void json_unlock_file(const char* path)
{
    if (path != nullptr) unlock_path_of(path);
}

int json_write_to_file(const char* path, cJSON* obj)
{
    return write_with_header(path, obj, nullptr);
}

int json_write_to_file_with_header(const char* path, cJSON* obj, const char* header)
{
    return write_with_header(path, obj, header);
}

}  // extern "C"
