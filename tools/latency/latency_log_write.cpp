// Appending to the CSV log: whole lines only, to a regular file of ours or
// to a FIFO or device the user put at the path.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "brisk_pipe.h"
#include "latency_log.h"
#include "out_file.h"

namespace {

// Appends text to a regular file. A short write (a full disk) is cut back
// to its last whole line: every line that fitted stays, only a torn last
// line goes.
bool append_to_file(int fd, const char* text, size_t len)
{
    struct stat st;
    const bool know_size = fstat(fd, &st) == 0;
    const size_t done = tarn_write_all(fd, text, len);
    if (done == len) return true;
    const int err = errno;
    size_t whole = done;
    while (whole > 0 && text[whole - 1] != '\n') whole--;
    if (whole < done && know_size && ftruncate(fd, st.st_size + static_cast<off_t>(whole)) != 0) {
        // Nothing more can be done; the reason below is the first failure.
    }
    errno = err;
    return false;
}

// Writes text to a FIFO or a device opened without blocking, in pieces cut
// at line ends and no longer than PIPE_BUF, so a reader gets whole lines.
// A reader that stops reading holds the rows, and the writer with them, as
// a stopped terminal does: nothing is dropped while the program runs; once
// it stops (main_running 0), the wait ends after a slice in which the
// reader took nothing and the rest is not logged.
bool append_to_stream(int fd, const char* text, size_t len)
{
    constexpr int SLICE_MS = 50;
    while (len > 0) {
        size_t piece = len;
        if (piece > PIPE_BUF) {
            piece = PIPE_BUF;
            while (piece > 0 && text[piece - 1] != '\n') piece--;
            if (piece == 0) piece = PIPE_BUF;
        }
        const ssize_t w = write(fd, text, piece);
        if (w > 0) {
            text += w;
            len -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        const int r = poll(&p, 1, SLICE_MS);
        if (r < 0 && errno != EINTR) return false;
        if (r == 0 && main_running == 0) {
            errno = EAGAIN;
            return false;
        }
    }
    return true;
}

bool append_whole(int fd, bool stream, const char* text, size_t len)
{
    return stream ? append_to_stream(fd, text, len) : append_to_file(fd, text, len);
}

// The log keeps rows of the buffers that could be written; when it starts
// failing one line says why, and nothing more until it has worked again.
void csv_report(csv_log_t& log, bool ok, const std::string& why)
{
    if (!ok && !log.failing) fprintf(stderr, "ERROR: cannot write %s: %s\n", log.path, why.c_str());
    log.failing = !ok;
}

}  // namespace

bool csv_append(csv_log_t& log, const char* lines, size_t len)
{
    // Opened and closed once per call, so the file can be moved or removed
    // between buffers.
    std::string why;
    const int fd =
        tarn_io::open_output(log.path, tarn_io::OUT_APPEND | tarn_io::OUT_CREATE | tarn_io::OUT_STREAM_OK, 0666, why);
    bool ok = fd >= 0;
    bool stream = false;
    if (ok) {
        struct stat st;
        stream = fstat(fd, &st) == 0 && !S_ISREG(st.st_mode);
    }
    if (ok && !log.header_written) {
        const std::string header = latency_csv_header() + "\n";
        ok = append_whole(fd, stream, header.data(), header.size());
        log.header_written = ok;
    }
    log.lines_at = -1;
    if (ok && !stream) {
        const off_t at = lseek(fd, 0, SEEK_END);
        if (at >= 0) log.lines_at = static_cast<int64_t>(at);
    }
    if (ok) ok = append_whole(fd, stream, lines, len);
    if (!ok) log.lines_at = -1;
    if (!ok && fd >= 0) why = errno == EAGAIN ? "the reader takes no more lines" : strerror(errno);
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        why = strerror(errno);
    }
    csv_report(log, ok, why);
    return ok;
}

std::string latency_times_path(const std::string& log_path)
{
    return log_path + ".times";
}

bool times_append(const std::string& path, bool& failing, int64_t offset, int64_t wall_ms)
{
    std::string why;
    const int fd = tarn_io::open_output(path.c_str(), tarn_io::OUT_APPEND | tarn_io::OUT_CREATE, 0666, why);
    bool ok = fd >= 0;
    std::string text;
    if (ok) {
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_size == 0)
            text = "# tarn latency log times: byte offset of a row in the log, its arrival in ms since 1970 UTC\n";
        text += fmt::format("{} {}\n", offset, wall_ms);
        ok = tarn_write_all(fd, text.data(), text.size()) == text.size();
        if (!ok) why = strerror(errno);
    }
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        why = strerror(errno);
    }
    if (!ok && !failing) fprintf(stderr, "ERROR: cannot write %s: %s\n", path.c_str(), why.c_str());
    failing = !ok;
    return ok;
}
