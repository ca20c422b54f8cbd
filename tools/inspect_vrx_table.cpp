// The data path of tarn-inspect-vrx: record checks, the live table and the
// CSV log. Everything here runs on the pipe library's client thread.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "brisk_json.h"
#include "brisk_pipe.h"
#include "inspect_vrx.h"
#include "out_file.h"

int en_newline = 0;
bool save_to_file = false;
const char* csv_path = "/data/tarn-inspect-vrx.csv";
std::atomic<venc_mode_t> current_encoding_scheme{VENC_H264};

static const char CONFIG_PATH[] = "/etc/hexwing/tarn-vrx.conf";

static std::deque<float> avg_i_latency;
static std::deque<float> avg_p_latency;

void _connect_cb(int, void*)
{
    // Built once from the column table; written through the same writer as
    // the rows, so a blocked terminal cannot hold up a stop.
    static const std::string header = [] {
        std::string h = "\e[1m|";
        for (const latency_column_t& c : LATENCY_COLUMNS) h += c.cell;
        h += "\n\e[0m";
        return h;
    }();
    term_write(header.data(), header.size());
}

void _disconnect_cb(int, void*)
{
    fprintf(stderr, "\nserver disconnected\n");
}

// Appends v in fixed notation with prec (1 or 3) decimals, right-aligned in
// width columns, exactly as printf("%*.*f") prints the float widened to
// double. A float has 24 significant bits, so v * 10^prec (at most 10 more
// bits) is exact in a double, and rounding it to an integer in the default
// rounding mode (ties to even) is the correctly rounded decimal result.
// Values that do not fit an int64 after scaling, NaN and infinities go
// through {fmt}.
static void append_fixed(fmt::memory_buffer& out, float v, int prec, int width)
{
    static const double scale[] = {1, 10, 100, 1000};
    if (!std::isfinite(v) || std::fabs(v) >= 1e15f) {
        fmt::format_to(std::back_inserter(out), "{:>{}.{}f}", double(v), width, prec);
        return;
    }
    const double q = std::nearbyint(std::fabs(double(v)) * scale[prec]);
    auto n = static_cast<uint64_t>(q);
    char digits[32];
    char* end = digits + sizeof digits;
    char* p = end;
    for (int i = 0; i < prec; i++) {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    *--p = '.';
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    if (std::signbit(v)) *--p = '-';
    for (int pad = width - static_cast<int>(end - p); pad > 0; pad--) out.push_back(' ');
    out.append(p, end);
}

static void append_text(fmt::memory_buffer& out, const char* text)
{
    out.append(text, text + strlen(text));
}

// Appends an integer right-aligned in width columns.
template <typename T>
static void append_integer(fmt::memory_buffer& out, T v, int width)
{
    fmt::format_int text(v);
    for (int pad = width - static_cast<int>(text.size()); pad > 0; pad--) out.push_back(' ');
    out.append(text.data(), text.data() + text.size());
}

// What one row shows beyond the record's own members.
struct row_extras {
    float avg;
    const std::string& type;
};

// One column's value, right-aligned in width columns (0: no padding) with
// the given decimals. Unrolled per column at compile time, so the table
// costs the formatter nothing.
template <size_t I>
static void append_value(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const row_extras& x, int width,
                         int decimals)
{
    constexpr latency_column_t c = LATENCY_COLUMNS[I];
    if constexpr (c.source == SRC_U32) {
        append_integer(out, latency_member<uint32_t>(r, c.offset), width);
    } else if constexpr (c.source == SRC_I32) {
        append_integer(out, latency_member<int32_t>(r, c.offset), width);
    } else if constexpr (c.source == SRC_F32) {
        append_fixed(out, latency_member<float>(r, c.offset), decimals, width);
    } else if constexpr (c.source == SRC_AVERAGE) {
        append_fixed(out, x.avg, decimals, width);
    } else {
        for (int pad = width - static_cast<int>(x.type.size()); pad > 0; pad--) out.push_back(' ');
        out.append(x.type.data(), x.type.data() + x.type.size());
    }
}

template <size_t... I>
static void append_row(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const row_extras& x,
                       std::index_sequence<I...>)
{
    out.push_back('|');
    ((append_value<I>(out, r, x, LATENCY_COLUMNS[I].width, LATENCY_COLUMNS[I].decimals),
      append_text(out, LATENCY_COLUMNS[I].after)),
     ...);
}

template <size_t I>
static void append_csv_value(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const row_extras& x,
                             bool& first)
{
    if constexpr (LATENCY_COLUMNS[I].csv_title != nullptr) {
        if (!first) out.push_back(',');
        first = false;
        append_value<I>(out, r, x, 0, LATENCY_COLUMNS[I].csv_decimals);
    }
}

template <size_t... I>
static void append_csv_fields(fmt::memory_buffer& out, const vrx_latency_packet_t& r, const row_extras& x,
                              std::index_sequence<I...>)
{
    bool first = true;
    (append_csv_value<I>(out, r, x, first), ...);
    out.push_back('\n');
}

// Appends text to a regular file. A short write (a full disk) is cut back
// to its last whole line: every line that fitted stays, only a torn last
// line goes.
static bool append_to_file(int fd, const char* text, size_t len)
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
// A reader that stops reading holds the rows, and the table with them, as a
// stopped terminal does: nothing is dropped while the inspector runs; once
// it stops, the wait ends after a slice in which the reader took nothing
// and the rest of the buffer is not logged.
static bool append_to_stream(int fd, const char* text, size_t len)
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

static bool append_whole(int fd, bool stream, const char* text, size_t len)
{
    return stream ? append_to_stream(fd, text, len) : append_to_file(fd, text, len);
}

// Held around each buffer's open, write and close of the log; the main
// thread takes it for good before leaving through _exit.
static std::timed_mutex& csv_mutex = *new std::timed_mutex;

bool csv_hold_for_exit(int budget_ms)
{
    return csv_mutex.try_lock_for(std::chrono::milliseconds(budget_ms));
}

// The log keeps rows of the buffers that could be written; when it starts
// failing one line says why, and nothing more until it has worked again.
static void csv_report(csv_log_t& log, bool ok, const std::string& why)
{
    if (!ok && !log.failing) fprintf(stderr, "ERROR: cannot write %s: %s\n", log.path, why.c_str());
    log.failing = !ok;
}

float inspector_average(const vrx_latency_packet_t& r, std::deque<float>& i_window,
                        std::deque<float>& p_window)
{
    switch (frame_kind_of_code(r.frame_type)) {
    case FRAME_KIND_I: return calc_avg_latency(r.vrx_latency_ms, i_window);
    case FRAME_KIND_P: return calc_avg_latency(r.vrx_latency_ms, p_window);
    default: return r.vrx_latency_ms;
    }
}

void append_csv_line(fmt::memory_buffer& csv, const vrx_latency_packet_t& r, float avg,
                     const std::string& type)
{
    append_csv_fields(csv, r, row_extras{avg, type}, std::make_index_sequence<LATENCY_COLUMN_COUNT>());
}

bool csv_append(csv_log_t& log, const char* lines, size_t len)
{
    // Opened and closed once per buffer, so the file can be moved or
    // removed between buffers. A FIFO or a device the user put at the path
    // (a reader of the log, /dev/null) is written too.
    std::string why;
    const int fd = tarn_io::open_output(log.path, tarn_io::OUT_APPEND | tarn_io::OUT_CREATE | tarn_io::OUT_STREAM_OK,
                                        0666, why);
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
    if (ok) ok = append_whole(fd, stream, lines, len);
    if (!ok && fd >= 0) why = errno == EAGAIN ? "the reader takes no more lines" : strerror(errno);
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        why = strerror(errno);
    }
    csv_report(log, ok, why);
    return ok;
}

static csv_log_t inspector_log;

void _helper_cb(int, char* data, int bytes, void*)
{
    static bool shown_any = false;
    static uint32_t current_sample = 0;
    static fmt::memory_buffer out;
    static fmt::memory_buffer csv;

    const int n = validate_pipe_records(data, bytes, sizeof(vrx_latency_packet_t), 0, "VRX");
    if (n < 0) return;

    out.clear();
    csv.clear();
    const venc_mode_t mode = current_encoding_scheme.load(std::memory_order_relaxed);
    for (int i = 0; i < n; i++) {
        vrx_latency_packet_t r;
        memcpy(&r, data + static_cast<size_t>(i) * sizeof r, sizeof r);
        if (shown_any && r.sample_id == current_sample) continue;

        if (en_newline)
            out.push_back('\n');
        else
            fmt::format_to(std::back_inserter(out), "\r\e[2K");

        const float avg = inspector_average(r, avg_i_latency, avg_p_latency);
        current_sample = r.sample_id;
        shown_any = true;

        const std::string type = nalu_as_string(r.frame_type, mode);
        const row_extras extras{avg, type};
        append_row(out, r, extras, std::make_index_sequence<LATENCY_COLUMN_COUNT>());
        if (save_to_file) append_csv_fields(csv, r, extras, std::make_index_sequence<LATENCY_COLUMN_COUNT>());
    }

    if (save_to_file) {
        std::lock_guard<std::timed_mutex> lk(csv_mutex);
        inspector_log.path = csv_path;
        csv_append(inspector_log, csv.data(), csv.size());
    }

    term_write(out.data(), out.size());
}

void get_encoding_scheme()
{
    bool create_failed = false;
    cJSON* parent =
        open_json(CONFIG_PATH, true, [](const std::string& line) { term_write(line); }, &create_failed);
    if (create_failed) return;
    if (parent == nullptr) {
        term_write("cJSON parent null\n");
        return;
    }
    char encoding[20];
    json_fetch_string_with_default(parent, "encoding", encoding, sizeof encoding, "h264");
    venc_mode_t mode = VENC_OTHER;
    if (strcmp(encoding, "h264") == 0)
        mode = VENC_H264;
    else if (strcmp(encoding, "h265") == 0)
        mode = VENC_H265;
    current_encoding_scheme.store(mode, std::memory_order_relaxed);
    cJSON_Delete(parent);
}
