// The data path of tarn-inspect-vrx: record checks, the live table and the
// CSV log. Everything here runs on the pipe library's client thread.
#include <fcntl.h>
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
#include "inspect_vrx.h"

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

// Appends text to the log with one write. A short write is cut back to the
// previous end of file so the log never holds a partial line.
static bool append_whole(int fd, const char* text, size_t len)
{
    struct stat st;
    const bool know_size = fstat(fd, &st) == 0;
    const size_t done = tarn_write_all(fd, text, len);
    if (done == len) return true;
    const int err = errno;
    if (done > 0 && know_size && ftruncate(fd, st.st_size) != 0) {
        // Nothing more can be done; the reason below is the first failure.
    }
    errno = err;
    return false;
}

// Opens the log for appending, refusing anything but a regular file: a FIFO
// would block the open (or every write) and a device is no log. The open
// does not block; the descriptor is made blocking again for the writes.
// -1 with errno set on failure; errno 0 stands for "not a regular file".
static int open_csv(const char* path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        // A FIFO without a reader.
        if (errno == ENXIO) errno = 0;
        return -1;
    }
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = 0;
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        return fd;
    else
        err = errno;
    close(fd);
    errno = err;
    return -1;
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
static void csv_report(csv_log_t& log, bool ok)
{
    if (!ok && !log.failing)
        fprintf(stderr, "ERROR: cannot write %s: %s\n", log.path,
                errno == 0 ? "not a regular file" : strerror(errno));
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
    // removed between buffers.
    int fd = open_csv(log.path);
    bool ok = fd >= 0;
    if (ok && !log.header_written) {
        const std::string header = latency_csv_header() + "\n";
        ok = append_whole(fd, header.data(), header.size());
        log.header_written = ok;
    }
    if (ok) ok = append_whole(fd, lines, len);
    if (fd >= 0 && close(fd) != 0) ok = false;
    csv_report(log, ok);
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
