// Parsing of the inspector's CSV log: hand-written field splitting and
// std::from_chars, so a million-row log reads in well under a second.
#include "latency_log.h"

#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "fd_io.h"

namespace {

// Takes the next comma-terminated field off the front of s. Fields are a
// few characters long: a plain loop beats a call to memchr.
inline bool next_field(std::string_view& s, std::string_view& field)
{
    const char* const begin = s.data();
    const char* const end = begin + s.size();
    const char* p = begin;
    while (p != end && *p != ',') p++;
    if (p == end) return false;
    field = std::string_view(begin, static_cast<size_t>(p - begin));
    s.remove_prefix(field.size() + 1);
    return true;
}

template <typename T>
bool whole_number(std::string_view f, T& out)
{
    if (f.empty()) return false;
    const char* end = f.data() + f.size();
    // from_chars takes no '+'; the inspector never writes one either.
    auto [p, ec] = std::from_chars(f.data(), end, out);
    return ec == std::errc() && p == end;
}

// m / 10^decimals as the correctly rounded float (the value from_chars
// gives for the text), for m below 10^7 and decimals 0 to 7: m times the
// double nearest 10^-decimals, rounded to a float, is that float for every
// such m (all 8 x 10^7 pairs were checked against the float division), and a
// multiplication takes a fraction of a division's time.
inline float fixed_point_value(uint32_t m, int decimals)
{
    static constexpr double INVERSE_POW10[] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
    return static_cast<float>(m * INVERSE_POW10[decimals]);
}

// The inspector's fixed-point numbers ("-12.345") with at most 7 digits.
// Returns false for anything else.
bool fixed_point(std::string_view f, float& out)
{
    const char* p = f.data();
    const char* const end = p + f.size();
    const bool neg = p != end && *p == '-';
    if (neg) p++;
    uint32_t m = 0;
    int digits = 0, decimals = -1;
    for (; p != end; p++) {
        if (*p == '.') {
            if (decimals >= 0) return false;
            decimals = 0;
            continue;
        }
        const unsigned d = static_cast<unsigned>(*p - '0');
        if (d > 9 || ++digits > 7) return false;
        m = m * 10 + d;
        if (decimals >= 0) decimals++;
    }
    if (digits == 0 || decimals == 0) return false;
    const float v = fixed_point_value(m, decimals < 0 ? 0 : decimals);
    out = neg ? -v : v;
    return true;
}

// The digits of a number held one per byte (values 0 to 9, the first digit
// in the lowest byte, count of them, 1 to 8) as an integer: pairs, then
// quads, then all eight added up in parallel, no branch per digit.
inline uint32_t digits_value(uint64_t digits, int count)
{
    uint64_t v = digits << (8 * (8 - count));  // zeros in front up to eight digits
    v = (v * 10 + (v >> 8)) & 0x00ff00ff00ff00ffull;
    v = (v * 100 + (v >> 16)) & 0x0000ffff0000ffffull;
    return static_cast<uint32_t>(v * 10000 + (v >> 32));
}

// fixed_point for a field of at most 8 bytes that has 8 readable bytes from
// its start (more of the line follows it): the bytes are looked at together,
// so no branch depends on the number's length. Returns false, leaving out
// alone, whenever fixed_point may decide otherwise.
__attribute__((always_inline)) inline bool fixed_point_word(std::string_view f, float& out)
{
    size_t n = f.size();
    if (n == 0 || n > 8) return false;
    uint64_t w;
    memcpy(&w, f.data(), 8);
    w = le64toh(w);
    const bool neg = (w & 0xff) == '-';
    if (neg) {
        w >>= 8;
        n--;
    }
    if (n == 0) return false;
    // Digits become 0 to 9 and the bytes after the field 0.
    const uint64_t field = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
    uint64_t d = (w ^ 0x3030303030303030ull) & field;
    // A '.' (now 0x1e): the lowest one, if any, is taken out. The lowest
    // zero byte of t gets its top bit set (bits above it may be wrong).
    const uint64_t t = d ^ 0x1e1e1e1e1e1e1e1eull;
    const uint64_t dot = (t - 0x0101010101010101ull) & ~t & 0x8080808080808080ull;
    int count = static_cast<int>(n), decimals = 0;
    if (dot != 0) {
        const int at = __builtin_ctzll(dot) / 8;
        const uint64_t before = (1ull << (8 * at)) - 1;
        d = (d & before) | ((d >> 8) & ~before);
        count--;
        decimals = count - at;
    }
    // Every byte left a digit: adding 0x76 sets the top bit of a byte above 9.
    const bool digits = ((d | (d + 0x7676767676767676ull)) & 0x8080808080808080ull) == 0;
    if (!digits || count == 0 || count > 7 || (dot != 0 && decimals == 0)) return false;
    const float v = fixed_point_value(digits_value(d, count), decimals);
    out = neg ? -v : v;
    return true;
}

// A float field the fast way cannot read: any other form from_chars takes
// ("nan", "1e3", more digits). Apart, so the fast way stays small.
__attribute__((noinline)) bool general_number(std::string_view f, float& out)
{
    if (f.empty()) return false;
    if (fixed_point(f, out)) return true;
    const char* end = f.data() + f.size();
    auto [p, ec] = std::from_chars(f.data(), end, out, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // The inspector prints floats whole, so this is a float's own
        // range being exceeded by hand-edited text: refuse it.
        return false;
    }
    return ec == std::errc() && p == end;
}

// A float field; line_end is where the line's bytes end (not f's).
__attribute__((always_inline)) inline bool real_number(std::string_view f, const char* line_end, float& out)
{
    if (line_end - f.data() >= 8 && fixed_point_word(f, out)) return true;
    return general_number(f, out);
}

}  // namespace

namespace {

// The index of the last CSV column: its text is the rest of the line.
constexpr size_t last_csv_column()
{
    size_t last = 0;
    for (size_t i = 0; i < LATENCY_COLUMN_COUNT; i++)
        if (LATENCY_COLUMNS[i].csv_title != nullptr) last = i;
    return last;
}

// Reads CSV column I of the record table off the front of s into r; returns
// nullptr, or what is wrong. Unrolled per column at compile time.
template <size_t I>
const char* parse_column(std::string_view& s, latency_row_t& r, latency_columns_t columns)
{
    constexpr latency_column_t c = LATENCY_COLUMNS[I];
    if constexpr (c.csv_title == nullptr) {
        return nullptr;
    } else {
        std::string_view f;
        if (!(columns & latency_column_bit(I))) {
            // Stepped over: the last column is the rest of the line.
            if constexpr (I == last_csv_column()) return nullptr;
            return next_field(s, f) ? nullptr : "too few fields";
        }
        if constexpr (I == last_csv_column()) {
            // The frame-type text is the rest of the line; it never holds a comma.
            if (s.find(',') != std::string_view::npos) return "too many fields";
            f = s;
        } else if (!next_field(s, f)) {
            return "too few fields";
        }
        char* const at = reinterpret_cast<char*>(static_cast<vrx_latency_packet_t*>(&r)) + c.offset;
        bool ok;
        if constexpr (c.source == SRC_U32 || c.source == SRC_I32) {
            using T = std::conditional_t<c.source == SRC_U32, uint32_t, int32_t>;
            T v;
            ok = whole_number(f, v);
            if (ok) memcpy(at, &v, sizeof v);
        } else if constexpr (c.source == SRC_F32) {
            float v;
            ok = real_number(f, s.data() + s.size(), v);
            if (ok) memcpy(at, &v, sizeof v);
        } else if constexpr (c.source == SRC_AVERAGE) {
            ok = real_number(f, s.data() + s.size(), r.avg_latency_ms);
        } else {
            ok = parse_frame_type(f, r.frame_type, r.codec, r.kind);
        }
        return ok ? nullptr : c.csv_bad;
    }
}

template <size_t... I>
const char* parse_columns(std::string_view s, latency_row_t& r, latency_columns_t columns, std::index_sequence<I...>)
{
    const char* why = nullptr;
    ((why = why != nullptr ? why : parse_column<I>(s, r, columns)), ...);
    return why;
}

}  // namespace

const char* parse_latency_line(std::string_view s, latency_row_t& r, latency_columns_t columns)
{
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    if (s.empty()) return "empty line";
    r.magic_number = 0;
    r.vbat_vdc = 0;
    return parse_columns(s, r, columns, std::make_index_sequence<LATENCY_COLUMN_COUNT>());
}

vrx_latency_packet_t latency_row_to_record(const latency_row_t& row)
{
    vrx_latency_packet_t p = row;
    p.magic_number = RECORD_MAGIC_NUMBER;
    p.vbat_vdc = 0.0f;
    return p;
}

int open_latency_log(const std::string& path)
{
    if (path == "-") return STDIN_FILENO;
    return tarn_io::retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
}

namespace {

struct reader_state {
    size_t number = 0;  // of the last line started
    int run = 0;        // 0 until the first line
};

void set_offset(const latency_log_sink& sink, uint64_t at)
{
    if (sink.offset) *sink.offset = at;
}

bool stopped(const latency_log_sink& sink)
{
    return sink.stop != nullptr && *sink.stop;
}

void bad_line(reader_state& st, const char* why, const latency_log_sink& sink)
{
    if (st.run == 0) st.run = 1;
    if (sink.malformed) sink.malformed(st.number, st.run, why);
}

void handle_line(std::string_view line, reader_state& st, const latency_log_sink& sink)
{
    std::string_view bare = line;
    if (!bare.empty() && bare.back() == '\r') bare.remove_suffix(1);
    if (bare == latency_csv_header()) {
        st.run++;
        if (sink.header) sink.header(st.number, st.run);
        return;
    }
    latency_row_t row{};
    if (const char* why = parse_latency_line(line, row, sink.columns)) {
        bad_line(st, why, sink);
        return;
    }
    // Lines before the first header make a run of their own.
    if (st.run == 0) st.run = 1;
    if (sink.row) sink.row(st.number, st.run, row);
}

}  // namespace

int read_latency_log(int fd, const latency_log_sink& sink)
{
    // Big reads; a line cut by a read boundary is moved to the front.
    constexpr size_t CHUNK = 1 << 20;
    std::vector<char> buf(CHUNK + LATENCY_LOG_MAX_LINE);
    size_t have = 0;    // bytes at the front of buf not yet split into lines
    uint64_t base = 0;  // offset of buf[0] from where reading began
    reader_state st;
    bool skipping = false;  // inside a line already found too long
    // A whole line of buf, [start, end).
    auto take = [&](size_t start, size_t end) {
        st.number++;
        set_offset(sink, base + start);
        if (end - start > LATENCY_LOG_MAX_LINE)
            bad_line(st, "line too long", sink);
        else
            handle_line(std::string_view(buf.data() + start, end - start), st, sink);
    };
    while (!stopped(sink)) {
        if (have == buf.size()) {
            // One line fills the buffer: report it once, drop it to its end.
            if (!skipping) {
                st.number++;
                set_offset(sink, base);
                bad_line(st, "line too long", sink);
            }
            skipping = true;
            base += have;
            have = 0;
            continue;
        }
        ssize_t n = tarn_io::retry_eintr([&] { return read(fd, buf.data() + have, buf.size() - have); });
        if (n < 0) return errno;
        const bool eof = n == 0;
        size_t end = have + static_cast<size_t>(n);
        size_t start = 0;
        while (!stopped(sink)) {
            const void* nl = memchr(buf.data() + start, '\n', end - start);
            if (nl == nullptr) break;
            const size_t at = static_cast<size_t>(static_cast<const char*>(nl) - buf.data());
            if (skipping)
                skipping = false;  // its number was taken when it was found too long
            else
                take(start, at);
            start = at + 1;
        }
        if (stopped(sink)) return 0;
        if (eof) {
            // A last line without its "\n" still counts.
            if (start < end && !skipping) take(start, end);
            return 0;
        }
        if (skipping) {
            base += end;
            have = 0;
        } else {
            memmove(buf.data(), buf.data() + start, end - start);
            base += start;
            have = end - start;
        }
    }
    return 0;
}

std::string read_latency_run(const std::string& path, int run, const latency_run_sink& sink, int* chosen,
                             latency_run_place_t* place)
{
    const int fd = open_latency_log(path);
    if (fd < 0) return fmt::format("cannot open {}: {}", path, strerror(errno));
    int current = 0;
    uint64_t offset = 0;
    latency_run_place_t found;
    bool past = false;  // the run asked for has ended
    // With run 0 every new run replaces what was kept, so the last one stays.
    auto enter = [&](int r) {
        if (r != current) {
            if (run == 0 && sink.restart) sink.restart();
            if (run == 0 || r == run) found.begin = offset;
            if (run != 0 && current == run) {
                found.end = offset;
                past = true;
            }
        }
        current = r;
        return run == 0 || r == run;
    };
    latency_log_sink lines;
    lines.columns = sink.columns;
    lines.offset = &offset;
    lines.stop = &past;
    lines.header = [&](size_t, int r) { enter(r); };
    lines.row = [&](size_t, int r, const latency_row_t& row) {
        if (enter(r) && sink.row) sink.row(row);
    };
    lines.malformed = [&](size_t, int r, const char*) {
        if (enter(r) && sink.malformed) sink.malformed();
    };
    const int err = read_latency_log(fd, lines);
    struct stat st;
    const uint64_t size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : offset;
    if (fd != STDIN_FILENO) close(fd);
    if (err != 0) return fmt::format("cannot read {}: {}", path, strerror(err));
    if (current == 0) return fmt::format("{} holds no runs", path);
    if (run < 0 || run > current)
        return fmt::format("{} holds {} run{}, there is no run {}", path, current, current == 1 ? "" : "s", run);
    if (chosen) *chosen = run == 0 ? current : run;
    if (!past) found.end = std::max(size, found.begin);
    if (place) *place = found;
    return {};
}

std::string load_latency_run(const std::string& path, int run, std::vector<latency_row_t>& rows, size_t* malformed)
{
    rows.clear();
    size_t bad = 0;
    latency_run_sink sink;
    sink.restart = [&] {
        rows.clear();
        bad = 0;
    };
    sink.row = [&](const latency_row_t& row) { rows.push_back(row); };
    sink.malformed = [&] { bad++; };
    std::string why = read_latency_run(path, run, sink);
    if (malformed) *malformed = bad;
    return why;
}

bool latency_times_reader_t::open(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    f_ = fdopen(fd, "r");
    if (f_ == nullptr) ::close(fd);
    return f_ != nullptr;
}

bool latency_times_reader_t::next(int64_t& offset, int64_t& wall_ms)
{
    if (f_ == nullptr) return false;
    char line[128];
    while (fgets(line, sizeof line, f_) != nullptr) {
        if (line[0] == '#') {
            // A comment: skip the rest of a long one.
            while (strchr(line, '\n') == nullptr && fgets(line, sizeof line, f_) != nullptr) {}
            continue;
        }
        long long off = 0, ms = 0;
        char end = 0;
        if (sscanf(line, "%lld %lld%c", &off, &ms, &end) == 3 && end == '\n' && off >= 0 && ms >= 0) {
            offset = off;
            wall_ms = ms;
            return true;
        }
        break;
    }
    fclose(f_);
    f_ = nullptr;
    return false;
}

int64_t latency_times_reader_t::wall_at(int64_t offset)
{
    if (!started_) {
        started_ = true;
        have_ = next(at_, ms_);
    }
    while (have_ && at_ < offset) have_ = next(at_, ms_);
    return have_ && at_ == offset ? ms_ : -1;
}

latency_times_reader_t::~latency_times_reader_t()
{
    if (f_ != nullptr) fclose(f_);
}
